// One run of a real program on the simulated board, started in private mount
// and network namespaces so that its /etc and its interfaces are the test's.
#ifndef PROGRAMRUN_H
#define PROGRAMRUN_H

#include "boardsandbox.h"

#include <QStringList>
#include <QTest>
#include <sys/types.h>
#include <sys/wait.h>

namespace testkit {

struct RunOptions {
    QString program;
    QStringList args;
    // Shown at /etc/qor-driver/relay-conf.json; when unset, that file is absent.
    bool withConfig = false;
    QByteArray config;
    // Shell commands run as root in the private /etc after the configuration is
    // placed, e.g. to put a FIFO at /etc/qor-driver/relay-conf.json instead.
    QStringList etcSetup;
    // Shell commands run as root in the new network namespace before the start,
    // e.g. "ip link add eth0 type veth peer name p0".
    QStringList netSetup;
    // Extra "NAME=value" entries for the environment.
    QStringList env;
    bool trace = true;
    // Standard output made non-blocking, as another process sharing it might.
    bool nonBlockingOutput = false;
    // A standard descriptor (0, 1 or 2) the program starts without; -1 for none.
    int closedFd = -1;
    // A program of the machine running the tests: never started through the emulator.
    bool native = false;
    // Standard output on a terminal set to "stty tostop", the program a
    // background job of the terminal's session, as a shell with job control
    // starts "program &". Its output is read from the terminal; signals for
    // the run reach the program through the session's leader (SIGTERM,
    // SIGINT and SIGHUP), which ends as the program does.
    bool backgroundOnTerminal = false;
    // With backgroundOnTerminal: standard input on the terminal too.
    bool inputFromTerminal = false;
};

struct OutputLine {
    long long tUs; // monotonic time at which the whole line was read
    QString text;
};

class ProgramRun {
  public:
    ProgramRun(const BoardSandbox& board, const RunOptions& options);
    ~ProgramRun();

    // Waits until the program itself runs, past the namespace set-up; false
    // when the run ended before (the standard error says why) or the time ran out.
    bool waitStarted(int timeoutMs = 10000);
    // False when not all could be written (the reason goes out as a warning).
    bool write(const QByteArray& data);
    void closeInput();
    // Closes the read end of the program's standard output: its reader is gone.
    void closeOutput();
    // While held, standard output is left unread (standard error is still read).
    void holdOutput(bool hold) { outputHeld = hold; }
    // Bytes written by the program to standard output and not read yet.
    int outputPending() const;
    // Kernel function a thread of the program sleeps in ("" if none is known),
    // the thread found by its name.
    QString threadWaitChannel(const QString& threadName) const;
    // Id of a thread of the program that sleeps reading a pipe (for most
    // programs, standard input), 0 when none does at the moment.
    qint64 threadReadingPipe() const;
    // Whether the program still has the thread `tid`.
    bool hasThread(qint64 tid) const;
    // Resident memory in KiB, -1 when it cannot be read.
    long residentKb() const;
    // Reads output until `count` lines have arrived in all, or the time is up.
    bool waitForLines(int count, int timeoutMs);
    // Index of the first line from `from` on equal to `text`, or -1 at time-out.
    int waitForLine(const QString& text, int timeoutMs, int from = 0);
    // Waits for the relay driver's banner and the empty line after it; the
    // index of the first line after those, or -1.
    int waitForBanner(int timeoutMs);
    // Reads output for the given time.
    void pump(int ms);

    const QList<OutputLine>& lines() const { return out; }
    QStringList texts(int from = 0) const;
    QByteArray errorOutput();
    qint64 pid() const { return child; }
    // Write end of the program's standard input, for a second writer (it stays owned here).
    int inputFd() const { return inFd; }
    // Writes all of `data` to `fd`; what failed, or an empty text. It touches
    // nothing of a run, so a thread of the test may feed inputFd() with it.
    static QString writeAll(int fd, const QByteArray& data);
    // CPU time used so far (user + system), from /proc.
    double cpuSeconds() const { return cpuSecondsOf(pid()); }
    // CPU time used so far by any process, -1 when it cannot be read.
    static double cpuSecondsOf(qint64 pid);
    // The process state letter from /proc ('S' while it sleeps, 'R' while it
    // runs), 0 when it cannot be read.
    static char stateOf(qint64 pid);
    void signal(int signum);
    // Exit code after a normal exit, -1 on a crash or time-out.
    int waitForExit(int timeoutMs);
    // The most memory the program had resident at once, in KiB, once it has
    // ended (the emulator's, for a program run under it).
    long peakResidentKb() const { return exited ? peakKb : -1; }
    // The signal that ended the program, 0 when it exited or still runs.
    int exitSignal() const { return exited && WIFSIGNALED(status) ? WTERMSIG(status) : 0; }
    bool running() const { return child > 0 && !exited; }

    static QString emulator();
    // What a reaction of a program may take beyond its nominal time on a
    // loaded machine; more under the emulator.
    static long long slackUs();
    // Why the private namespaces cannot be made here (e.g. not root), or an
    // empty text when they can; found out once by a trial run.
    static QString isolationProblem();
    // When the current test has failed, shows the standard error of every
    // run still there, to say why: for a test's cleanup(). A run dropped
    // while its test is failing shows its own.
    static void showErrorOutputs();

  private:
    struct Launch;
    // QProcess cannot start programs under qemu-arm (its clone flags are not
    // emulated), so the run is a plain fork and exec with three pipes.
    void start(const Launch& launch);
    bool openPipes(int (&pipes)[3][2]);
    // Waits up to timeoutMs for output, reads what is there, reaps the child.
    void readAvailable(int timeoutMs = 0);
    void readStream(int& fd, QByteArray& into);
    void splitLines();
    // A call of the kit that failed: a warning now, and kept with the
    // program's standard error so that assertion messages show it.
    void failed(const QString& what);
    void showErrorOutput();
    // The first argument of the running process, as in /proc.
    QByteArray runningArgv0() const;
    // A terminal for backgroundOnTerminal: its master end, and its slave's path.
    bool openTerminal(QByteArray& slavePath);

    pid_t child = -1;
    QByteArray argv0; // of the program itself, once the set-up has exec'd it
    QString program;
    bool exited = false;
    bool outputHeld = false;
    int status = 0;
    long peakKb = -1;
    int inFd = -1, outFd = -1, errFd = -1, pidFd = -1;
    int terminalFd = -1; // master end of the run's terminal
    QByteArray partial;
    QByteArray err;
    QList<OutputLine> out;
};

} // namespace testkit

// Skips the calling test (from initTestCase, the whole test program) where the
// runs cannot get their private namespaces.
#define TESTKIT_SKIP_WITHOUT_NAMESPACES()                                                          \
    do {                                                                                           \
        const QString why = testkit::ProgramRun::isolationProblem();                               \
        if (!why.isEmpty()) {                                                                      \
            QSKIP(qPrintable("the runs need private mount and network namespaces: " + why));       \
        }                                                                                          \
    } while (false)

#endif
