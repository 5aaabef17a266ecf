#include "consolethroughput.h"

#include "relayprotocol.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const int answerTimeoutMs = 120000;
}

ConsoleThroughput::ConsoleThroughput(const QString& dir, long long lines)
    : path(QDir(dir).filePath("throughput-input")), lineCount(lines) {}

bool ConsoleThroughput::writeInput() const {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    const long long perBlock = 65536;
    QByteArray block = QByteArray("pickup\n").repeated(static_cast<int>(perBlock));
    for (long long left = lineCount; left > 0; left -= perBlock) {
        qint64 n = left >= perBlock ? block.size() : left * 7;
        if (file.write(block.constData(), n) != n) {
            return false;
        }
    }
    return file.write("dialplan\n") == 9 && file.flush();
}

bool ConsoleThroughput::measure(testkit::ProgramRun& driver) {
    if (!writeInput()) {
        return false;
    }
    double catSeconds = bestCatToNull(); // also brings the file into the page cache
    catRate = catSeconds > 0 ? static_cast<double>(lineCount) / catSeconds : 0;
    bool ok = timeDriver(driver) && closeDialogue(driver);
    QFile::remove(path);
    return ok;
}

pid_t ConsoleThroughput::startCat(int fd) const {
    QByteArray file = QFile::encodeName(path);
    pid_t child = fork();
    if (child == 0) {
        dup2(fd, STDOUT_FILENO);
        execlp("cat", "cat", file.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

bool ConsoleThroughput::catSucceeded(pid_t child) {
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

double ConsoleThroughput::runCat(int fd) const {
    long long start = testkit::monotonicUs();
    if (!catSucceeded(startCat(fd))) {
        return -1;
    }
    return static_cast<double>(testkit::monotonicUs() - start) / 1e6;
}

double ConsoleThroughput::bestCatToNull() const {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    double best = -1;
    for (int i = 0; i < 4; ++i) {
        double s = runCat(null);
        if (i > 0 && s > 0 && (best < 0 || s < best)) {
            best = s; // the first run only warms the page cache
        }
    }
    close(null);
    return best;
}

bool ConsoleThroughput::timeDriver(testkit::ProgramRun& driver) {
    int from = driver.lines().size();
    long long start = testkit::monotonicUs();
    pid_t cat = startCat(driver.inputFd());
    // The answer is awaited before cat is reaped, so it is read the moment it comes.
    int at = driver.waitForLine(testkit::protocol::roomsAsked, answerTimeoutMs, from);
    if (!catSucceeded(cat) || at < 0) {
        return false;
    }
    double seconds = static_cast<double>(driver.lines()[at].tUs - start) / 1e6;
    driverRate = static_cast<double>(lineCount) / seconds;
    return true;
}

// Ends both room lists so that the driver takes commands again.
bool ConsoleThroughput::closeDialogue(testkit::ProgramRun& driver) {
    int from = driver.lines().size();
    driver.write("-1\n-1\n");
    return driver.waitForLines(from + 6, 5000);
}
