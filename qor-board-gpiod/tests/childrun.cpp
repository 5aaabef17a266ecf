#include "childrun.h"

#include <QTemporaryFile>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace childrun {

Run run(const QString& program, const QStringList& args, const QString& map,
        const QStringList& env) {
    QTemporaryFile out, err;
    if (!out.open() || !err.open()) {
        return {-1, QString(), "cannot make the output files: " + out.errorString()};
    }
    QList<QByteArray> argv, envv;
    QString emulator = QOR_TEST_EMULATOR;
    for (const QString& a : (emulator.isEmpty() ? QStringList() : QStringList{emulator}) +
                                QStringList{program} + args) {
        argv << a.toLocal8Bit();
    }
    for (char** e = environ; *e; ++e) {
        if (strncmp(*e, "QOR_BOARD_LINES=", 16) != 0) {
            envv << *e;
        }
    }
    if (!map.isNull()) {
        envv << "QOR_BOARD_LINES=" + map.toLocal8Bit();
    }
    for (const QString& e : env) {
        envv << e.toLocal8Bit();
    }
    std::vector<char*> av, ev;
    for (QByteArray& a : argv) {
        av.push_back(a.data());
    }
    for (QByteArray& e : envv) {
        ev.push_back(e.data());
    }
    av.push_back(nullptr);
    ev.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(out.handle(), 1) < 0 ||
            dup2(err.handle(), 2) < 0) {
            _exit(126);
        }
        execve(av[0], av.data(), ev.data());
        _exit(127);
    }
    if (pid < 0) {
        return {-1, QString(), QString("fork: ") + strerror(errno)};
    }
    int status = 0;
    if (!QTest::qWaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60000)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return {-1, QString(), "did not end within 60 s"};
    }
    if (!WIFEXITED(status)) {
        return {-1, QString(), QString("ended by signal %1").arg(WTERMSIG(status))};
    }
    out.seek(0);
    err.seek(0);
    return {WEXITSTATUS(status), QString::fromLocal8Bit(out.readAll()),
            QString::fromLocal8Bit(err.readAll())};
}

} // namespace childrun
