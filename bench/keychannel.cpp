#include "keychannel.h"

#include "boardtrace.h"

#include <QDir>
#include <QFile>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
const long long tickUs = 100000;
const long long graceUs = 1500000;
} // namespace

KeyChannel::KeyChannel(int key, const QString& keysDir, int quota)
    : path(QDir(keysDir).filePath(QString("key%1").arg(key))), quota(quota) {
    // An earlier phase may have left the key pressed.
    QFile file(path);
    pressed = file.open(QIODevice::ReadOnly) && file.read(1) == "1";
}

bool KeyChannel::due(long long nowUs) const {
    return !waiting && flips() < quota && nowUs >= nextAtUs;
}

void KeyChannel::flip() {
    pressed = !pressed;
    QByteArray file = QFile::encodeName(path);
    QByteArray part = file + ".part";
    int fd = open(part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t ignored = write(fd, pressed ? "1" : "0", 1);
        (void)ignored;
        close(fd);
    }
    sentUs = testkit::monotonicUs();
    std::rename(part.constData(), file.constData());
    waiting = true;
}

void KeyChannel::reported(int state, long long tUs, long long nowUs, std::mt19937& rng) {
    if (!waiting || state != (pressed ? 1 : 0)) {
        ++unexpectedCount;
        return;
    }
    latencyMs.add(static_cast<double>(tUs - sentUs) / 1000.0);
    schedule(nowUs, rng);
}

// The next flip comes a random part of a tick after this report: the flips
// fall on every phase of the tick and each tick sees one change.
void KeyChannel::schedule(long long nowUs, std::mt19937& rng) {
    waiting = false;
    nextAtUs = nowUs + std::uniform_int_distribution<long long>(0, tickUs - 1)(rng);
}

void KeyChannel::checkTimeout(long long nowUs, std::mt19937& rng) {
    if (waiting && nowUs - sentUs > graceUs) {
        ++lostCount;
        schedule(nowUs, rng);
    }
}
