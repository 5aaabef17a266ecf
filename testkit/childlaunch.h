// What a run's child process does between fork and exec: its standard
// descriptors on the run's pipes, private mount and network namespaces (in a
// user namespace of its own when the tests do not run as root), the run's
// view of /etc, then the program. Everything is made before the fork, so
// that the child makes only async-signal-safe calls.
#ifndef CHILDLAUNCH_H
#define CHILDLAUNCH_H

#include <QByteArray>
#include <QStringList>
#include <sys/types.h>
#include <vector>

namespace testkit {

class ChildLaunch {
  public:
    ChildLaunch(const QStringList& argv, const QStringList& env);

    // Mount options of the overlay on /etc, and the folder bound over
    // /etc/qor-driver.
    QByteArray etcOptions;
    QByteArray driverFolder;
    // A standard descriptor the program starts without; -1 for none.
    int closedFd = -1;
    bool nonBlockingOutput = false;
    // The slave end of a terminal: the program runs as a background job of
    // its session (see RunOptions::backgroundOnTerminal).
    QByteArray terminal;
    bool inputFromTerminal = false;

    // In the child: `pipes` are standard input, output and error.
    [[noreturn]] void run(const int (&pipes)[3][2]) const;

  private:
    void enterNamespaces(int errFd) const;
    void mapToRoot(int errFd) const;
    void mountEtc(int errFd) const;
    [[noreturn]] void runAsBackgroundJob(int errFd) const;

    std::vector<QByteArray> argvBytes, envBytes;
    std::vector<char*> argvPointers, envPointers;
    uid_t uid;
    gid_t gid;
    pid_t parent; // the test
};

} // namespace testkit

#endif
