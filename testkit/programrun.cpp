#include "programrun.h"

#include "childlaunch.h"
#include "etcview.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testkit {

namespace {

// Shell commands to run inside the namespaces before the program: most runs
// need none and so no shell.
QString setupScript(const RunOptions& o) {
    QStringList s{"set -e"};
    s << o.setup;
    s << (o.closedFd >= 0 ? QString("exec \"$@\" %1>&-").arg(o.closedFd) : "exec \"$@\"");
    return s.join('\n');
}

QStringList environmentFor(const BoardSandbox& board, const RunOptions& o) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& key : env.keys()) {
        if (key.startsWith("QOR_BOARD_")) {
            env.remove(key);
        }
    }
    if (o.trace) {
        env.insert("QOR_BOARD_TRACE", board.tracePath());
    }
    env.insert("QOR_BOARD_KEYS", board.keysDir());
    // In a thread-sanitizer run every exit would otherwise sleep a second.
    if (env.contains("TSAN_OPTIONS")) {
        env.insert("TSAN_OPTIONS", env.value("TSAN_OPTIONS") + " atexit_sleep_ms=0");
    }
    for (const QString& kv : o.env) {
        env.insert(kv.section('=', 0, 0), kv.section('=', 1));
    }
    return env.toStringList();
}

// A stream the program has closed (or started without) is closed here too:
// poll() would report it ready at once for ever after.
void closeAtEnd(int& fd) {
    close(fd);
    fd = -1;
}

} // namespace

QString ProgramRun::emulator() {
    return QString(QOR_TEST_EMULATOR);
}

long long ProgramRun::slackUs() {
    return emulator().isEmpty() ? 500000 : 1500000;
}

QString ProgramRun::isolationProblem() {
    static const QString problem = [] {
        BoardSandbox board;
        RunOptions o;
        o.program = "true";
        o.native = true;
        ProgramRun trial(board, o);
        int status = trial.waitForExit(60000);
        QString err = QString::fromLocal8Bit(trial.errorOutput()).trimmed();
        return status == 0     ? QString()
               : err.isEmpty() ? QString("exit status %1").arg(status)
                               : err;
    }();
    return problem;
}

namespace {

// The runs that exist, for showErrorOutputs(); tests make them on one thread.
QList<ProgramRun*> runs;

} // namespace

void ProgramRun::showErrorOutputs() {
    if (QTest::currentTestFailed()) {
        for (ProgramRun* run : runs) {
            run->showErrorOutput();
        }
    }
}

void ProgramRun::showErrorOutput() {
    QByteArray text = errorOutput();
    if (!text.isEmpty()) {
        qInfo().noquote() << QString("standard error of %1 (process %2):\n%3")
                                 .arg(program)
                                 .arg(child)
                                 .arg(QString::fromLocal8Bit(text).trimmed());
    }
}

ProgramRun::ProgramRun(const BoardSandbox& board, const RunOptions& o) : program(o.program) {
    runs.append(this);
    start(board, o);
}

ProgramRun::~ProgramRun() {
    runs.removeOne(this);
    if (QTest::currentTestFailed()) {
        showErrorOutput();
    }
    if (running()) {
        signal(SIGKILL);
        if (waitForExit(5000) == -1 && running()) {
            qWarning("testkit: process %d did not end after SIGKILL", int(child));
        }
    }
    for (int fd : {inFd, outFd, errFd, pidFd, terminalFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void ProgramRun::failed(const QString& what) {
    qWarning().noquote() << "testkit:" << what;
    err.append("testkit: " + what.toLocal8Bit() + "\n");
}

// QProcess cannot start programs under qemu-arm (its clone flags are not
// emulated), so the run is a plain fork and exec with three pipes.
bool ProgramRun::start(const BoardSandbox& board, const RunOptions& o) {
    EtcView etc(board.dir(), o.config, o.placeConfig);
    if (!etc.error().isEmpty()) {
        failed(etc.error());
        return false;
    }
    QStringList command;
    if (!o.native && !emulator().isEmpty()) {
        command << emulator();
    }
    command << o.program << o.args;
    argv0 = command.first().toLocal8Bit();
    QStringList argv = command;
    if (!o.setup.isEmpty()) {
        argv = QStringList{"sh", "-c", setupScript(o), "sh"} + command;
    }
    ChildLaunch launch(argv, environmentFor(board, o));
    launch.etcOptions = etc.mountOptions();
    launch.driverFolder = etc.driverFolder();
    launch.closedFd = o.setup.isEmpty() ? o.closedFd : -1;
    launch.nonBlockingOutput = o.nonBlockingOutput;
    launch.inputFromTerminal = o.inputFromTerminal;
    if (o.backgroundOnTerminal && !openTerminal(launch.terminal)) {
        return false;
    }
    ::signal(SIGPIPE, SIG_IGN); // a program that has ended must not end the test
    int pipes[3][2];            // standard input, output and error
    if (!openPipes(pipes)) {
        return false;
    }
    child = fork();
    int forkError = errno;
    if (child == 0) {
        launch.run(pipes);
    }
    close(pipes[0][0]);
    close(pipes[1][1]);
    close(pipes[2][1]);
    inFd = pipes[0][1];
    outFd = pipes[1][0];
    errFd = pipes[2][0];
    if (terminalFd >= 0) {
        // The program's output comes through the terminal.
        close(outFd);
        outFd = terminalFd;
        terminalFd = -1;
    }
    if (child < 0) {
        failed(QString("fork: %1").arg(strerror(forkError)));
        closeAtEnd(inFd);
        closeAtEnd(outFd);
        closeAtEnd(errFd);
        return false;
    }
    // Without it, waits for the end poll a little slower.
    if ((pidFd = static_cast<int>(syscall(SYS_pidfd_open, child, 0))) < 0) {
        qWarning("testkit: pidfd_open: %s", strerror(errno));
    }
    return true;
}

bool ProgramRun::openTerminal(QByteArray& slavePath) {
    terminalFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (terminalFd < 0 || grantpt(terminalFd) != 0 || unlockpt(terminalFd) != 0 ||
        ptsname_r(terminalFd, name, sizeof name) != 0) {
        failed(QString("a terminal for the run: %1").arg(strerror(errno)));
        return false;
    }
    slavePath = name;
    return true;
}

bool ProgramRun::openPipes(int (&pipes)[3][2]) {
    for (int i = 0; i < 3; ++i) {
        if (pipe2(pipes[i], O_CLOEXEC) != 0) {
            failed(QString("pipe2: %1").arg(strerror(errno)));
            for (int j = 0; j < i; ++j) {
                close(pipes[j][0]);
                close(pipes[j][1]);
            }
            return false;
        }
    }
    return true;
}

QByteArray ProgramRun::runningArgv0() const {
    QFile cmdline(QString("/proc/%1/cmdline").arg(child));
    return cmdline.open(QIODevice::ReadOnly) ? cmdline.readAll().split('\0').value(0)
                                             : QByteArray();
}

bool ProgramRun::waitStarted(int timeoutMs) {
    QElapsedTimer t;
    t.start();
    readAvailable();
    while (running() && runningArgv0() != argv0) {
        if (t.elapsed() >= timeoutMs) {
            return false;
        }
        readAvailable(5);
    }
    return running();
}

bool ProgramRun::write(const QByteArray& data) {
    if (inFd < 0) {
        failed(QString("%1 bytes not written: standard input is closed").arg(data.size()));
        return false;
    }
    QString error = writeAll(inFd, data);
    if (!error.isEmpty()) {
        failed(error);
    }
    return error.isEmpty();
}

QString ProgramRun::writeAll(int fd, const QByteArray& data) {
    for (qint64 done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno != EINTR) {
            return QString("writing to standard input: %1").arg(strerror(errno));
        }
        done += qMax<ssize_t>(n, 0);
    }
    return {};
}

void ProgramRun::closeInput() {
    if (inFd >= 0) {
        closeAtEnd(inFd);
    }
}

void ProgramRun::closeOutput() {
    if (outFd >= 0) {
        closeAtEnd(outFd);
    }
}

namespace {

int pendingIn(int fd, const char* what) {
    int bytes = 0;
    if (fd >= 0 && ioctl(fd, FIONREAD, &bytes) != 0) {
        qWarning("testkit: FIONREAD on %s: %s", what, strerror(errno));
    }
    return bytes;
}

} // namespace

int ProgramRun::outputPending() const {
    return pendingIn(outFd, "standard output");
}

int ProgramRun::inputPending() const {
    return pendingIn(inFd, "standard input");
}

void ProgramRun::readAvailable(int timeoutMs) {
    // The process descriptor wakes the wait when the program ends.
    pollfd fds[3] = {{outputHeld ? -1 : outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
    int ready = poll(fds, 3, timeoutMs);
    if (ready < 0 && errno != EINTR) {
        failed(QString("poll: %1").arg(strerror(errno)));
    }
    char buf[65536];
    if (ready > 0 && fds[1].revents) {
        err.append(buf, readStream(errFd, buf, sizeof buf));
    }
    if (ready > 0 && fds[0].revents) {
        out.append(buf, readStream(outFd, buf, sizeof buf));
    }
    reap();
}

void ProgramRun::reap() {
    if (child <= 0 || exited) {
        return;
    }
    rusage usage{};
    pid_t reaped = wait4(child, &status, WNOHANG, &usage);
    if (reaped == child) {
        exited = true;
        peakKb = usage.ru_maxrss;
        closeAtEnd(pidFd);
    } else if (reaped < 0) {
        failed(QString("waitpid: %1").arg(strerror(errno)));
        exited = true; // nothing more will come of it
    }
}

int ProgramRun::readStream(int& fd, char* buf, int size) {
    ssize_t n = read(fd, buf, size_t(size));
    if (n > 0) {
        return int(n);
    }
    if (n == 0 || errno == EIO) { // EIO: a terminal whose other end is closed everywhere
        closeAtEnd(fd);
    } else if (errno != EINTR && errno != EAGAIN) {
        int readError = errno;
        closeAtEnd(fd);
        failed(QString("reading from the program: %1").arg(strerror(readError)));
    }
    return 0;
}

bool ProgramRun::waitForLines(int count, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    readAvailable();
    while (out.count() < count && t.elapsed() < timeoutMs && running()) {
        readAvailable(static_cast<int>(qBound<qint64>(1, timeoutMs - t.elapsed(), 50)));
    }
    pump(0);
    return out.count() >= count;
}

int ProgramRun::waitForLine(const QString& text, int timeoutMs, int from) {
    QElapsedTimer t;
    t.start();
    for (;;) {
        readAvailable();
        int at = out.indexOf(text, from);
        if (at >= 0) {
            return at;
        }
        from = qMax(from, out.count());
        if (t.elapsed() >= timeoutMs || !running()) {
            return -1;
        }
        readAvailable(static_cast<int>(qBound<qint64>(1, timeoutMs - t.elapsed(), 50)));
    }
}

void ProgramRun::pump(int ms) {
    QElapsedTimer t;
    t.start();
    do {
        readAvailable(static_cast<int>(qBound<qint64>(0, ms - t.elapsed(), 50)));
    } while (t.elapsed() < ms && running());
    // Drain what is already there without waiting.
    for (int i = 0; i < 1000; ++i) {
        int before = out.count() + out.partialBytes() + err.size();
        readAvailable();
        if (out.count() + out.partialBytes() + err.size() == before) {
            break;
        }
    }
}

QByteArray ProgramRun::errorOutput() {
    pump(0);
    return err;
}

void ProgramRun::signal(int signum) {
    if (running() && ::kill(child, signum) != 0) {
        failed(QString("kill %1: %2").arg(signum).arg(strerror(errno)));
    }
}

int ProgramRun::waitForExit(int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (running() && t.elapsed() < timeoutMs) {
        readAvailable(static_cast<int>(qBound<qint64>(1, timeoutMs - t.elapsed(), 20)));
    }
    pump(0);
    if (running() || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

} // namespace testkit
