#ifndef STOPCONTROL_H
#define STOPCONTROL_H

#include "cyclepin.h"

#include <QObject>
#include <QSocketNotifier>

// Ends the driver so that no relay is left active by something outside it.
// A stop signal (SIGTERM, SIGINT, SIGHUP) stops the tick, puts the pulse
// outputs at rest and exits with status 0. When the reader of standard output
// has gone, the running pulses end on their normal ticks and the driver exits
// with exitReaderGone. Signal handlers and the writer thread only write a byte
// to a socket pair that the main thread's event loop watches.
class StopControl : public QObject {
    Q_OBJECT

  public:
    static constexpr int exitReaderGone = 3;

    // Makes the socket pair and installs the handlers; call first thing in
    // main, before any other thread exists. SIGPIPE is ignored from then on:
    // a closed standard output shows as a write error instead.
    static void installHandlers();
    // From any thread, once: the reader of standard output is gone.
    static void readerGone(int error);

    explicit StopControl(CyclePin* cyclePin);

  private slots:
    void sl_notice();
    void sl_stopped();
    void sl_finished();

  private:
    static void onSignal(int signum);
    void stopNow();
    void finishPulses();

    static int channel[2];
    QSocketNotifier* notifier;
    CyclePin* cyclePin;
    bool stopping = false;
    bool finishing = false;
};

#endif
