#ifndef STOPCONTROL_H
#define STOPCONTROL_H

#include <QObject>
#include <QSocketNotifier>
#include <atomic>

// The driver's way out, in one place, so that nothing outside it can hold a
// relay active. The state and how it moves:
//
//   RUNNING --SIGTSTP--> SUSPENDING --next tick: pulse outputs at rest, the
//      |                               process stops itself; SIGCONT--> RUNNING
//      |--reader of standard output gone--> FINISHING --running pulses ended
//      |                                                 on their ticks--> ENDED
//      '--a signal that ends the driver--> STOPPING --next tick: pulse outputs
//         (from SUSPENDING or FINISHING too)           at rest, no tick after--> ENDED
//
// Signal handlers and the writer thread only write a byte to a socket pair
// that the main thread watches; the main thread moves the state; the cycle
// thread reads it on every tick and carries it out; the console activates
// no output once the driver is on its way out. At ENDED the main thread
// gives queued lines a moment to go out and ends the process: with status 0
// for the stop signals (SIGTERM, SIGINT, SIGHUP), 128 + the number for any
// other signal, exitReaderGone when the reader went away. The crash signals
// are FailSafe's.
class StopControl : public QObject {
    Q_OBJECT

  public:
    enum State { RUNNING, SUSPENDING, FINISHING, STOPPING, ENDED };

    static constexpr int exitReaderGone = 3;

    // The exit status after a signal that ends the driver.
    static int exitStatusFor(int signum);

    // Makes the socket pair and installs the handlers; call first thing in
    // main, before any other thread exists. SIGPIPE and SIGXFSZ are ignored
    // from then on: a closed standard output or a file-size limit shows as a
    // write error. SIGTTOU and SIGTTIN are ignored too, so that job control
    // never stops the driver: a background write to a terminal goes through
    // and a background read ends the input.
    static void installHandlers();
    // From any thread, once: the reader of standard output is gone.
    static void readerGone(int error);
    // Sleeps on the main thread before the board is touched. A signal that
    // ends the driver ends it at once, without a call to the board library.
    static void sleepBeforeBoard(int ms);

    // From any thread.
    static State state() { return current.load(); }
    static bool takesActivations() { return state() <= SUSPENDING; }
    // On the cycle thread, once the pulse outputs are at rest: stops the
    // process until it is continued (SUSPENDING), or ends it (STOPPING, and
    // FINISHING once no pulse runs).
    static void rested();

    // Watches the socket pair; made on the main thread before its event loop.
    StopControl();

  private slots:
    void sl_notice();
    void sl_ended();

  private:
    static void onSignal(int signum);
    // Moves the state on; false when it may not move that way now.
    static bool move(State from, State to);
    void stopNow(int status);
    void finishPulses();

    static std::atomic<State> current;
    static int channel[2];
    static bool goneBeforeBoard;
    static StopControl* instance;
    QSocketNotifier* notifier;
    int stopStatus = exitReaderGone;
};

#endif
