#include "programrun.h"

#include "processusage.h"
#include "relayprotocol.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testkit {

namespace {

// Runs inside the new namespaces: an overlay over /etc keeps the machine's
// own /etc untouched, then the network is set up and the program exec'd.
QString setupScript(const BoardSandbox& board, const RunOptions& o) {
    QString d = board.dir();
    QStringList s;
    s << "set -e";
    s << QString("mkdir -p '%1/etc-up' '%1/etc-work'").arg(d);
    s << QString(
             "mount -t overlay overlay -o lowerdir=/etc,upperdir='%1/etc-up',workdir='%1/etc-work' "
             "/etc")
             .arg(d);
    s << "rm -rf /etc/qor-driver";
    if (o.withConfig) {
        s << "mkdir -p /etc/qor-driver";
        s << QString("cp '%1/relay-conf.json' /etc/qor-driver/relay-conf.json").arg(d);
    }
    s << o.etcSetup;
    s << o.netSetup;
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

ProgramRun::ProgramRun(const BoardSandbox& board, const RunOptions& o) {
    if (o.withConfig) {
        QFile conf(QDir(board.dir()).filePath("relay-conf.json"));
        if (conf.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            conf.write(o.config);
        }
    }
    QStringList argv{"unshare", "--mount", "--net", "--propagation",       "private",
                     "--",      "sh",      "-c",    setupScript(board, o), "sh"};
    if (!emulator().isEmpty()) {
        argv << emulator();
    }
    argv << o.program << o.args;
    nonBlockingOutput = o.nonBlockingOutput;
    start(argv, environmentFor(board, o));
}

void ProgramRun::start(const QStringList& argvList, const QStringList& envList) {
    ::signal(SIGPIPE, SIG_IGN); // a program that has ended must not end the test
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
        return;
    }
    std::vector<QByteArray> argvBytes = toBytes(argvList);
    std::vector<QByteArray> envBytes = toBytes(envList);
    std::vector<char*> argv = pointers(argvBytes);
    std::vector<char*> envp = pointers(envBytes);
    bool nonBlocking = nonBlockingOutput;
    child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (nonBlocking) {
            fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
        }
        dup2(err[1], 2);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    inFd = in[1];
    outFd = out[0];
    errFd = err[0];
}

ProgramRun::~ProgramRun() {
    if (running()) {
        ::kill(child, SIGKILL);
        waitForExit(5000);
    }
    for (int fd : {inFd, outFd, errFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool ProgramRun::waitStarted(int) {
    return child > 0;
}

void ProgramRun::write(const QByteArray& data) {
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0 && inFd >= 0) {
        ssize_t n = ::write(inFd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        p += n;
        left -= n;
    }
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
    return outFd >= 0 && ioctl(outFd, FIONREAD, &bytes) == 0 ? bytes : 0;
}

QString ProgramRun::threadWaitChannel(const QString& threadName) const {
    QDir tasks(QString("/proc/%1/task").arg(child));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + "/comm"));
        QFile wchan(tasks.filePath(tid + "/wchan"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == threadName.toUtf8() &&
            wchan.open(QIODevice::ReadOnly)) {
            return QString::fromUtf8(wchan.readAll().trimmed());
        }
    }
    return QString();
}

long ProgramRun::residentKb() const {
    return ProcessUsage::memoryKb(child, "VmRSS");
}

void ProgramRun::readAvailable(int timeoutMs) {
    pollfd fds[2] = {{outputHeld ? -1 : outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) > 0) {
        char buf[65536];
        if (fds[1].revents) {
            ssize_t n = read(errFd, buf, sizeof buf);
            if (n > 0) {
                err.append(buf, static_cast<int>(n));
            } else if (n == 0) {
                closeAtEnd(errFd);
            }
        }
        if (fds[0].revents) {
            ssize_t n = read(outFd, buf, sizeof buf);
            if (n > 0) {
                long long now = monotonicUs();
                partial.append(buf, static_cast<int>(n));
                int start = 0, nl;
                while ((nl = partial.indexOf('\n', start)) >= 0) {
                    out.append({now, QString::fromUtf8(partial.constData() + start, nl - start)});
                    start = nl + 1;
                }
                partial.remove(0, start);
            } else if (n == 0) {
                closeAtEnd(outFd);
            }
        }
    }
    if (child > 0 && !exited && waitpid(child, &status, WNOHANG) == child) {
        exited = true;
    }
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
    if (running()) {
        ::kill(child, signum);
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
