#ifndef STOPCONTROL_H
#define STOPCONTROL_H

#include "cyclepin.h"

#include <QObject>
#include <QSocketNotifier>

// Ends the driver so that no relay is left active by something outside it.
// Every catchable signal whose default action would end the process stops
// the tick, puts the pulse outputs at rest and exits: with status 0 for the
// stop signals (SIGTERM, SIGINT, SIGHUP), 128 + the signal's number for the
// others. SIGTSTP puts the pulse outputs at rest before the driver stops
// itself; SIGCONT resumes service. When the reader of standard output has
// gone, the running pulses end on their normal ticks and the driver exits
// with exitReaderGone. Signal handlers and the writer thread only write a
// byte to a socket pair that the main thread watches. The crash signals are
// FailSafe's.
class StopControl : public QObject {
    Q_OBJECT

  public:
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

    explicit StopControl(CyclePin* cyclePin);

  private slots:
    void sl_notice();
    void sl_stopped();
    void sl_finished();

  private:
    static void onSignal(int signum);
    void stopNow(int status);
    void finishPulses();

    static int channel[2];
    static bool goneBeforeBoard;
    QSocketNotifier* notifier;
    CyclePin* cyclePin;
    int stopStatus = -1; // set by the first signal that ends the driver
    bool finishing = false;
};

#endif
