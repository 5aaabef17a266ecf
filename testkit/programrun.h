// One run of a real program on the simulated board, started in private mount
// and network namespaces so that its /etc and its interfaces are the test's:
// its input, its output lines, its standard error, signals and its end. What
// the run looks like from /proc is ProcessUsage's.
#ifndef PROGRAMRUN_H
#define PROGRAMRUN_H

#include "boardsandbox.h"
#include "outputlines.h"

#include <QStringList>
#include <QTest>
#include <functional>
#include <optional>
#include <sys/types.h>
#include <sys/wait.h>

namespace testkit {

struct RunOptions {
    QString program;
    QStringList args;
    // /etc/qor-driver/relay-conf.json of the run; absent when unset...
    std::optional<QByteArray> config;
    // ...unless this makes something else at that path (given as the path
    // outside the run): a FIFO, a link, a folder.
    std::function<bool(const QString& path)> placeConfig;
    // Shell commands run in the namespaces, as their root, before the
    // program, e.g. "ip link add eth0 type veth peer name p0".
    QStringList setup;
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

class ProgramRun {
  public:
    ProgramRun(const BoardSandbox& board, const RunOptions& options);
    // Ends the program if it still runs; shows its standard error when the
    // current test has failed.
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // Waits until the program itself runs, past the namespace set-up; false
    // when the run ended before (the standard error says why) or the time ran out.
    bool waitStarted(int timeoutMs = 10000);

    // False when not all could be written (the reason goes out as a warning).
    bool write(const QByteArray& data);
    void closeInput();
    // Write end of the program's standard input, for a second writer (it stays owned here).
    int inputFd() const { return inFd; }
    // Bytes written to the program's standard input and not read by it yet.
    int inputPending() const;
    // Writes all of `data` to `fd`; what failed, or an empty text. It touches
    // nothing of a run, so a thread of the test may feed inputFd() with it.
    static QString writeAll(int fd, const QByteArray& data);

    // Closes the read end of the program's standard output: its reader is gone.
    void closeOutput();
    // While held, standard output is left unread (standard error is still read).
    void holdOutput(bool hold) { outputHeld = hold; }
    // Bytes written by the program to standard output and not read yet.
    int outputPending() const;
    // Reads output until `count` lines have arrived in all, or the time is up.
    bool waitForLines(int count, int timeoutMs);
    // Index of the first line from `from` on equal to `text`, or -1 at time-out.
    int waitForLine(const QString& text, int timeoutMs, int from = 0);
    // Reads output for the given time.
    void pump(int ms);
    const QList<OutputLine>& lines() const { return out.all(); }
    QStringList texts(int from = 0) const { return out.texts(from); }
    QByteArray errorOutput();

    qint64 pid() const { return child; }
    bool running() const { return child > 0 && !exited; }
    void signal(int signum);
    // Exit code after a normal exit, -1 on a crash or time-out.
    int waitForExit(int timeoutMs);
    // The signal that ended the program, 0 when it exited or still runs.
    int exitSignal() const { return exited && WIFSIGNALED(status) ? WTERMSIG(status) : 0; }
    // The most memory the program had resident at once, in KiB, once it has
    // ended (the emulator's, for a program run under it).
    long peakResidentKb() const { return exited ? peakKb : -1; }

    static QString emulator();
    // What a reaction of a program may take beyond its nominal time on a
    // loaded machine; more under the emulator.
    static long long slackUs();
    // Why the private namespaces cannot be made here (no root and no user
    // namespaces, say), or an empty text when they can; found out once by a
    // trial run.
    static QString isolationProblem();
    // When the current test has failed, shows the standard error of every
    // run still there, to say why: for a test's cleanup().
    static void showErrorOutputs();

  private:
    bool start(const BoardSandbox& board, const RunOptions& o);
    bool openPipes(int (&pipes)[3][2]);
    // A terminal for backgroundOnTerminal: its master end, and its slave's path.
    bool openTerminal(QByteArray& slavePath);
    // Waits up to timeoutMs for output, reads what is there, reaps the child.
    void readAvailable(int timeoutMs = 0);
    // What one read gives, or 0 at the end (the descriptor is then closed).
    int readStream(int& fd, char* buf, int size);
    void reap();
    // A call of the kit that failed: a warning now, and kept with the
    // program's standard error so that assertion messages show it.
    void failed(const QString& what);
    // The first argument of the running process, as in /proc.
    QByteArray runningArgv0() const;
    void showErrorOutput();

    pid_t child = -1;
    QByteArray argv0; // of the program itself, once the set-up has exec'd it
    QString program;
    bool exited = false;
    bool outputHeld = false;
    int status = 0;
    long peakKb = -1;
    int inFd = -1, outFd = -1, errFd = -1, pidFd = -1;
    int terminalFd = -1; // master end of the run's terminal, until the start
    QByteArray err;
    OutputLines out;
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
