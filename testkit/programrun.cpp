#include "programrun.h"

#include "etcoverlay.h"
#include "processusage.h"
#include "relayprotocol.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace testkit {

namespace {

// Shell commands to run inside the namespaces before the program: most runs
// need none and so no shell.
QString setupScript(const RunOptions& o) {
    QStringList s{"set -e"};
    s << o.etcSetup << o.netSetup;
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

std::vector<QByteArray> toBytes(const QStringList& list) {
    std::vector<QByteArray> out;
    for (const QString& s : list) {
        out.push_back(s.toLocal8Bit());
    }
    return out;
}

std::vector<char*> pointers(std::vector<QByteArray>& list) {
    std::vector<char*> out;
    for (QByteArray& s : list) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

// In the child after fork: only async-signal-safe calls. A failure is told
// on the standard error pipe, with the exit status 127 a shell would give.
[[noreturn]] void childFailed(int errFd, const char* call) {
    const char* why = strerror(errno);
    for (const char* part : {"testkit: ", call, ": ", why, "\n"}) {
        ssize_t ignored = ::write(errFd, part, strlen(part));
        (void)ignored;
    }
    _exit(127);
}

// Ends the session leader as its job ended: the same exit status, or the
// same signal.
[[noreturn]] void endLikeJob(int status) {
    if (WIFSIGNALED(status)) {
        ::signal(WTERMSIG(status), SIG_DFL);
        kill(getpid(), WTERMSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
}

// In the child after fork: becomes a session's leader with `terminal` as its
// controlling terminal set to stop background writers (tostop), starts the
// program as a background job of that session and waits for it.
[[noreturn]] void runAsBackgroundJob(const char* terminal, bool input, char* const* argv,
                                     char* const* envp, int errFd) {
    if (setsid() < 0) {
        childFailed(errFd, "setsid");
    }
    int tty = open(terminal, O_RDWR); // the first terminal opened is the controlling one
    termios mode{};
    if (tty < 0 || tcgetattr(tty, &mode) != 0) {
        childFailed(errFd, "opening the terminal");
    }
    mode.c_lflag |= TOSTOP;
    mode.c_oflag &= ~ONLCR; // lines end in a line feed alone, as on a pipe
    if (tcsetattr(tty, TCSANOW, &mode) != 0) {
        childFailed(errFd, "tcsetattr");
    }
    // The signals the leader passes on are taken with sigtimedwait, not by a
    // handler, which a sanitizer's run time would defer in a forked child.
    sigset_t passed;
    sigemptyset(&passed);
    for (int signum : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&passed, signum);
    }
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &passed, &previous);
    pid_t backgroundJob = fork();
    if (backgroundJob == 0) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        setpgid(0, 0); // a process group of its own, not the terminal's foreground
        if (dup2(tty, 1) < 0 || (input && dup2(tty, 0) < 0)) {
            childFailed(errFd, "dup2");
        }
        close(tty);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execvpe(argv[0], argv, envp);
        childFailed(errFd, argv[0]);
    }
    if (backgroundJob < 0) {
        childFailed(errFd, "fork");
    }
    setpgid(backgroundJob, backgroundJob);
    int status = 0;
    const timespec look{0, 20000000};
    while (waitpid(backgroundJob, &status, WNOHANG) == 0) {
        int signum = sigtimedwait(&passed, nullptr, &look);
        if (signum > 0) {
            kill(backgroundJob, signum);
        }
    }
    endLikeJob(status);
}

} // namespace

// Everything the child needs, made before the fork: between fork and exec
// only async-signal-safe calls are made.
struct ProgramRun::Launch {
    std::vector<QByteArray> argvBytes, envBytes;
    std::vector<char*> argv, envp;
    QByteArray overlay;
    int closedFd = -1;
    bool nonBlocking = false;
    QByteArray terminal; // the slave's path, for a background job
    bool inputFromTerminal = false;

    // Standard descriptors on the pipes, the private namespaces with their
    // own /etc, then the program.
    [[noreturn]] void inChild(const int (&pipes)[3][2]) const {
        const int err = pipes[2][1];
        // Nothing the test starts outlives it, and a crash leaves no core file.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        if (dup2(pipes[0][0], 0) < 0 || dup2(pipes[1][1], 1) < 0 || dup2(err, 2) < 0) {
            childFailed(err, "dup2");
        }
        if (nonBlocking && fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK) < 0) {
            childFailed(err, "fcntl");
        }
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
            childFailed(err, "unshare");
        }
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            childFailed(err, "mount --make-rprivate /");
        }
        if (mount("overlay", "/etc", "overlay", 0, overlay.constData()) != 0) {
            childFailed(err, "mount overlay on /etc");
        }
        if (closedFd >= 0) {
            close(closedFd);
        }
        if (!terminal.isEmpty()) {
            runAsBackgroundJob(terminal.constData(), inputFromTerminal, argv.data(), envp.data(),
                               err);
        }
        execvpe(argv[0], argv.data(), envp.data());
        childFailed(err, argv[0]);
    }
};

namespace {

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
    if (!QTest::currentTestFailed()) {
        return;
    }
    for (ProgramRun* run : runs) {
        run->showErrorOutput();
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
    EtcOverlay etc(board.dir(), o.withConfig, o.config);
    if (!etc.error().isEmpty()) {
        failed(etc.error());
        return;
    }
    QStringList command;
    if (!o.native && !emulator().isEmpty()) {
        command << emulator();
    }
    command << o.program << o.args;
    argv0 = command.first().toLocal8Bit();
    Launch launch;
    launch.overlay = etc.mountOptions();
    launch.nonBlocking = o.nonBlockingOutput;
    launch.inputFromTerminal = o.inputFromTerminal;
    if (o.backgroundOnTerminal && !openTerminal(launch.terminal)) {
        return;
    }
    QStringList argv = command;
    if (o.etcSetup.isEmpty() && o.netSetup.isEmpty()) {
        launch.closedFd = o.closedFd;
    } else {
        argv = QStringList{"sh", "-c", setupScript(o), "sh"} + command;
    }
    launch.argvBytes = toBytes(argv);
    launch.envBytes = toBytes(environmentFor(board, o));
    launch.argv = pointers(launch.argvBytes);
    launch.envp = pointers(launch.envBytes);
    start(launch);
}

void ProgramRun::failed(const QString& what) {
    qWarning().noquote() << "testkit:" << what;
    err.append("testkit: " + what.toLocal8Bit() + "\n");
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

void ProgramRun::start(const Launch& launch) {
    ::signal(SIGPIPE, SIG_IGN); // a program that has ended must not end the test
    int pipes[3][2];            // standard input, output and error
    if (!openPipes(pipes)) {
        return;
    }
    child = fork();
    int forkError = errno;
    if (child == 0) {
        launch.inChild(pipes);
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
        return;
    }
    // Without it, waits for the end poll a little slower.
    if ((pidFd = static_cast<int>(syscall(SYS_pidfd_open, child, 0))) < 0) {
        qWarning("testkit: pidfd_open: %s", strerror(errno));
    }
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
        close(inFd);
        inFd = -1;
    }
}

void ProgramRun::closeOutput() {
    if (outFd >= 0) {
        close(outFd);
        outFd = -1;
    }
}

int ProgramRun::outputPending() const {
    int bytes = 0;
    if (outFd >= 0 && ioctl(outFd, FIONREAD, &bytes) != 0) {
        qWarning("testkit: FIONREAD on standard output: %s", strerror(errno));
    }
    return bytes;
}

QString ProgramRun::threadWaitChannel(const QString& threadName) const {
    for (qint64 tid : ProcessUsage::threads(child)) {
        if (ProcessUsage::threadName(child, tid) == threadName.toUtf8()) {
            return QString::fromUtf8(ProcessUsage::waitChannel(child, tid));
        }
    }
    return QString();
}

qint64 ProgramRun::threadReadingPipe() const {
    for (qint64 tid : ProcessUsage::threads(child)) {
        // pipe_wait before Linux 5.6, anon_pipe_read since 6.16
        QByteArray where = ProcessUsage::waitChannel(child, tid);
        if (where.contains("pipe_read") || where.contains("pipe_wait")) {
            return tid;
        }
    }
    return 0;
}

bool ProgramRun::hasThread(qint64 tid) const {
    return QFileInfo::exists(QString("/proc/%1/task/%2").arg(child).arg(tid));
}

long ProgramRun::residentKb() const {
    return ProcessUsage::memoryKb(child, "VmRSS");
}

void ProgramRun::readAvailable(int timeoutMs) {
    // The process descriptor wakes the wait when the program ends.
    pollfd fds[3] = {{outputHeld ? -1 : outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
    int ready = poll(fds, 3, timeoutMs);
    if (ready < 0 && errno != EINTR) {
        failed(QString("poll: %1").arg(strerror(errno)));
    }
    if (ready > 0 && fds[1].revents) {
        readStream(errFd, err);
    }
    if (ready > 0 && fds[0].revents) {
        readStream(outFd, partial);
        splitLines();
    }
    if (child > 0 && !exited) {
        rusage usage{};
        pid_t reaped = wait4(child, &status, WNOHANG, &usage);
        peakKb = usage.ru_maxrss;
        if (reaped == child) {
            exited = true;
            closeAtEnd(pidFd);
        } else if (reaped < 0) {
            failed(QString("waitpid: %1").arg(strerror(errno)));
            exited = true; // nothing more will come of it
        }
    }
}

void ProgramRun::readStream(int& fd, QByteArray& into) {
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, static_cast<int>(n));
    } else if (n == 0) {
        closeAtEnd(fd);
    } else if (errno == EIO) {
        closeAtEnd(fd); // a terminal whose other end is closed everywhere
    } else if (errno != EINTR && errno != EAGAIN) {
        int readError = errno;
        closeAtEnd(fd);
        failed(QString("reading from the program: %1").arg(strerror(readError)));
    }
}

// Every complete line gets the time it was read.
void ProgramRun::splitLines() {
    long long now = monotonicUs();
    int start = 0, nl;
    while ((nl = partial.indexOf('\n', start)) >= 0) {
        out.append({now, QString::fromUtf8(partial.constData() + start, nl - start)});
        start = nl + 1;
    }
    partial.remove(0, start);
}

bool ProgramRun::waitForLines(int count, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    readAvailable();
    while (out.size() < count && t.elapsed() < timeoutMs && running()) {
        readAvailable(static_cast<int>(qBound<qint64>(1, timeoutMs - t.elapsed(), 50)));
    }
    pump(0);
    return out.size() >= count;
}

int ProgramRun::waitForLine(const QString& text, int timeoutMs, int from) {
    QElapsedTimer t;
    t.start();
    for (;;) {
        readAvailable();
        for (int i = from; i < out.size(); ++i) {
            if (out[i].text == text) {
                return i;
            }
        }
        from = qMax(from, out.size());
        if (t.elapsed() >= timeoutMs || !running()) {
            return -1;
        }
        readAvailable(static_cast<int>(qBound<qint64>(1, timeoutMs - t.elapsed(), 50)));
    }
}

int ProgramRun::waitForBanner(int timeoutMs) {
    int ready = waitForLine(protocol::ready, timeoutMs);
    if (ready < 0 || !waitForLines(ready + 2, 5000) || !out[ready + 1].text.isEmpty()) {
        return -1;
    }
    return ready + 2;
}

void ProgramRun::pump(int ms) {
    QElapsedTimer t;
    t.start();
    do {
        readAvailable(static_cast<int>(qBound<qint64>(0, ms - t.elapsed(), 50)));
    } while (t.elapsed() < ms && running());
    // Drain what is already there without waiting.
    for (int i = 0; i < 1000; ++i) {
        int before = out.size() + err.size() + partial.size();
        readAvailable();
        if (out.size() + err.size() + partial.size() == before) {
            break;
        }
    }
}

QStringList ProgramRun::texts(int from) const {
    QStringList s;
    for (int i = from; i < out.size(); ++i) {
        s << out[i].text;
    }
    return s;
}

QByteArray ProgramRun::errorOutput() {
    pump(0);
    return err;
}

double ProgramRun::cpuSecondsOf(qint64 pid) {
    return ProcessUsage::cpuSeconds(pid);
}

char ProgramRun::stateOf(qint64 pid) {
    QByteArray state = ProcessUsage::field(QString("/proc/%1/status").arg(pid), "State");
    return state.isEmpty() ? 0 : state[0];
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
