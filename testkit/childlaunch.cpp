#include "childlaunch.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace testkit {

namespace {

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

// A failure is told on the standard error pipe, with the exit status 127 a
// shell would give.
[[noreturn]] void childFailed(int errFd, const char* call) {
    const char* why = strerror(errno);
    for (const char* part : {"testkit: ", call, ": ", why, "\n"}) {
        ssize_t ignored = ::write(errFd, part, strlen(part));
        (void)ignored;
    }
    _exit(127);
}

bool writeFile(const char* path, const char* text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, text, strlen(text)) == ssize_t(strlen(text));
    close(fd);
    return ok;
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

} // namespace

ChildLaunch::ChildLaunch(const QStringList& argv, const QStringList& env)
    : argvBytes(toBytes(argv)), envBytes(toBytes(env)), argvPointers(pointers(argvBytes)),
      envPointers(pointers(envBytes)), uid(getuid()), gid(getgid()), parent(getpid()) {}

void ChildLaunch::run(const int (&pipes)[3][2]) const {
    const int err = pipes[2][1];
    if (dup2(pipes[0][0], 0) < 0 || dup2(pipes[1][1], 1) < 0 || dup2(err, 2) < 0) {
        childFailed(err, "dup2");
    }
    if (nonBlockingOutput && fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK) < 0) {
        childFailed(err, "fcntl");
    }
    // A crash leaves no core file behind.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    enterNamespaces(err);
    // Nothing the test starts outlives it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(127); // the test ended before the line above
    }
    mountEtc(err);
    if (closedFd >= 0) {
        close(closedFd);
    }
    if (!terminal.isEmpty()) {
        runAsBackgroundJob(err);
    }
    execvpe(argvPointers[0], argvPointers.data(), envPointers.data());
    childFailed(err, argvPointers[0]);
}

// As root the namespaces come straight; otherwise a user namespace of its own
// gives the rights over them where the system allows one.
void ChildLaunch::enterNamespaces(int errFd) const {
    int flags = CLONE_NEWNS | CLONE_NEWNET;
    if (uid != 0) {
        flags |= CLONE_NEWUSER;
    }
    if (unshare(flags) != 0) {
        childFailed(errFd, uid == 0 ? "unshare" : "unshare (with a user namespace)");
    }
    if (uid != 0) {
        mapToRoot(errFd);
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        childFailed(errFd, "mount --make-rprivate /");
    }
}

// The test's user is root in the namespace, so that the set-up commands run
// as root there.
void ChildLaunch::mapToRoot(int errFd) const {
    char uidMap[32], gidMap[32];
    snprintf(uidMap, sizeof uidMap, "0 %u 1", unsigned(uid));
    snprintf(gidMap, sizeof gidMap, "0 %u 1", unsigned(gid));
    if (!writeFile("/proc/self/uid_map", uidMap) || !writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/gid_map", gidMap)) {
        childFailed(errFd, "mapping the user to root in the user namespace");
    }
}

// The run's layer over /etc, read-only, and its own /etc/qor-driver over
// whatever the machine has there.
void ChildLaunch::mountEtc(int errFd) const {
    if (mount("overlay", "/etc", "overlay", 0, etcOptions.constData()) != 0) {
        childFailed(errFd, "mount overlay on /etc");
    }
    if (mount(driverFolder.constData(), "/etc/qor-driver", nullptr, MS_BIND, nullptr) != 0) {
        childFailed(errFd, "mount --bind on /etc/qor-driver");
    }
}

// Becomes a session's leader with the terminal as its controlling terminal,
// set to stop background writers (tostop), starts the program as a
// background job of that session and waits for it, as a shell with job
// control would.
void ChildLaunch::runAsBackgroundJob(int errFd) const {
    if (setsid() < 0) {
        childFailed(errFd, "setsid");
    }
    int tty = open(terminal.constData(), O_RDWR); // the first one opened is the controlling one
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
    pid_t job = fork();
    if (job == 0) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        setpgid(0, 0); // a process group of its own, not the terminal's foreground
        if (dup2(tty, 1) < 0 || (inputFromTerminal && dup2(tty, 0) < 0)) {
            childFailed(errFd, "dup2");
        }
        close(tty);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execvpe(argvPointers[0], argvPointers.data(), envPointers.data());
        childFailed(errFd, argvPointers[0]);
    }
    if (job < 0) {
        childFailed(errFd, "fork");
    }
    setpgid(job, job);
    int status = 0;
    const timespec look{0, 20000000};
    while (waitpid(job, &status, WNOHANG) == 0) {
        int signum = sigtimedwait(&passed, nullptr, &look);
        if (signum > 0) {
            kill(job, signum);
        }
    }
    endLikeJob(status);
}

} // namespace testkit
