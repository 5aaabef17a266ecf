#include "stopcontrol.h"

#include "console.h"
#include "outputwriter.h"

#include <QDeadlineTimer>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The byte for "reader gone"; a signal sends its number.
const char readerGoneNotice = 0;
std::atomic<int> goneError{0};

// How long lines queued before the end may take to go out. During the
// banner the stop itself comes within a tick, so less.
const int drainAtEndMs = 1000;
const int drainBeforeBoardMs = 50;

void send(int fd, char notice) {
    int saved = errno; // may run in a signal handler
    ssize_t ignored = ::write(fd, &notice, 1);
    (void)ignored;
    errno = saved;
}

bool isStopSignal(int signum) {
    return signum == SIGTERM || signum == SIGINT || signum == SIGHUP;
}

// Every catchable signal whose default action ends the process, but for
// the crash signals (see FailSafe).
QVector<int> endingSignals() {
    QVector<int> list{SIGTERM,   SIGINT,  SIGHUP,    SIGQUIT, SIGTRAP, SIGUSR1, SIGUSR2, SIGALRM,
                      SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};
    for (int rt = SIGRTMIN; rt <= SIGRTMAX; ++rt) {
        list << rt;
    }
    return list;
}

// Job control: the relays are at rest by then.
void stopThisProcess() {
    kill(getpid(), SIGSTOP);
}

QString goneReason(int error) {
    return error == OutputWriter::hangUp ? QString("hang-up")
                                         : QString::fromLocal8Bit(strerror(error));
}

} // namespace

std::atomic<StopControl::State> StopControl::current{RUNNING};
int StopControl::channel[2] = {-1, -1};
bool StopControl::goneBeforeBoard = false;
StopControl* StopControl::instance = nullptr;

int StopControl::exitStatusFor(int signum) {
    return isStopSignal(signum) ? 0 : 128 + signum;
}

void StopControl::installHandlers() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        Console::warn(QString("cannot create the stop channel: %1").arg(strerror(errno)));
        _exit(EXIT_FAILURE);
    }
    // A handler must never block on a full channel.
    fcntl(channel[0], F_SETFL, fcntl(channel[0], F_GETFL) | O_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Some real-time signals may be taken (by an emulator, say): those keep
    // their default action.
    for (int signum : endingSignals()) {
        sigaction(signum, &action, nullptr);
    }
    sigaction(SIGTSTP, &action, nullptr);
    for (int signum : {SIGPIPE, SIGXFSZ, SIGTTOU, SIGTTIN}) {
        signal(signum, SIG_IGN);
    }
}

void StopControl::onSignal(int signum) {
    send(channel[0], static_cast<char>(signum));
}

void StopControl::readerGone(int error) {
    goneError.store(error);
    send(channel[0], readerGoneNotice);
}

void StopControl::sleepBeforeBoard(int ms) {
    QDeadlineTimer deadline(ms);
    for (qint64 left; (left = deadline.remainingTime()) > 0;) {
        pollfd wait{channel[1], POLLIN, 0};
        char notice = 0;
        if (poll(&wait, 1, int(left)) <= 0 || ::read(channel[1], &notice, 1) != 1) {
            continue;
        }
        if (notice == readerGoneNotice) {
            goneBeforeBoard = true; // the pulses to end come later, if any
        } else if (notice == SIGTSTP) {
            stopThisProcess();
        } else {
            Console::out.waitEmpty(drainBeforeBoardMs);
            _exit(exitStatusFor(notice));
        }
    }
}

bool StopControl::move(State from, State to) {
    return current.compare_exchange_strong(from, to);
}

void StopControl::rested() {
    if (state() == SUSPENDING) {
        stopThisProcess();
        move(SUSPENDING, RUNNING); // continued, unless the state moved on meanwhile
    } else if (move(STOPPING, ENDED) || move(FINISHING, ENDED)) {
        QMetaObject::invokeMethod(instance, "sl_ended", Qt::QueuedConnection);
    }
}

StopControl::StopControl()
    : notifier(new QSocketNotifier(channel[1], QSocketNotifier::Read, this)) {
    instance = this;
    connect(notifier, SIGNAL(activated(int)), this, SLOT(sl_notice()));
    if (goneBeforeBoard) {
        finishPulses();
    }
}

void StopControl::sl_notice() {
    char notice = 0;
    if (::read(channel[1], &notice, 1) != 1) {
        return;
    }
    if (notice == readerGoneNotice) {
        finishPulses();
    } else if (notice == SIGTSTP) {
        move(RUNNING, SUSPENDING); // on its way out, the driver ends instead
    } else {
        stopNow(exitStatusFor(notice));
    }
}

void StopControl::stopNow(int status) {
    for (State s = state(); s != STOPPING && s != ENDED; s = state()) {
        if (move(s, STOPPING)) {
            stopStatus = status;
            return;
        }
    }
}

void StopControl::finishPulses() {
    if (move(RUNNING, FINISHING) || move(SUSPENDING, FINISHING)) {
        Console::warn(QString("standard output is gone (%1); exiting with status %2 once the "
                              "running pulses have ended")
                          .arg(goneReason(goneError.load()))
                          .arg(exitReaderGone));
    }
}

// The worker threads are never stopped (the console may be blocked
// reading), so the process ends here without tearing anything down.
void StopControl::sl_ended() {
    Console::out.waitEmpty(drainAtEndMs);
    _exit(stopStatus);
}
