#include "stopcontrol.h"

#include <QCoreApplication>
#include <QDebug>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The byte for "reader gone"; a stop signal sends its number.
const char readerGoneNotice = 0;
std::atomic<int> goneError{0};

void send(int fd, char notice) {
    int saved = errno; // may run in a signal handler
    ssize_t ignored = ::write(fd, &notice, 1);
    (void)ignored;
    errno = saved;
}

} // namespace

int StopControl::channel[2] = {-1, -1};

void StopControl::installHandlers() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        qFatal("qor-driver-relay: cannot create the stop channel: %s", strerror(errno));
    }
    // A handler must never block on a full channel.
    fcntl(channel[0], F_SETFL, fcntl(channel[0], F_GETFL) | O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signum : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signum, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
}

void StopControl::onSignal(int signum) {
    send(channel[0], static_cast<char>(signum));
}

void StopControl::readerGone(int error) {
    goneError.store(error);
    send(channel[0], readerGoneNotice);
}

StopControl::StopControl(CyclePin* cyclePin)
    : notifier(new QSocketNotifier(channel[1], QSocketNotifier::Read, this)), cyclePin(cyclePin) {
    connect(notifier, SIGNAL(activated(int)), this, SLOT(sl_notice()));
    connect(cyclePin, SIGNAL(stopped()), this, SLOT(sl_stopped()));
    connect(cyclePin, SIGNAL(finished()), this, SLOT(sl_finished()));
}

void StopControl::sl_notice() {
    char notice = 0;
    if (::read(channel[1], &notice, 1) != 1) {
        return;
    }
    if (notice == readerGoneNotice) {
        finishPulses();
    } else {
        stopNow();
    }
}

void StopControl::stopNow() {
    if (!stopping) {
        stopping = true;
        cyclePin->requestStop();
    }
}

void StopControl::finishPulses() {
    if (stopping || finishing) {
        return;
    }
    finishing = true;
    qWarning().noquote() << QString("qor-driver-relay: standard output is gone (%1); exiting "
                                    "with status %2 once the running pulses have ended")
                                .arg(QString::fromLocal8Bit(strerror(goneError.load())))
                                .arg(exitReaderGone);
    cyclePin->requestFinish();
}

void StopControl::sl_stopped() {
    QCoreApplication::exit(0);
}

// A stop that came after the last pulse ended finds nothing left to rest.
void StopControl::sl_finished() {
    QCoreApplication::exit(stopping ? 0 : exitReaderGone);
}
