#include "linereader.h"

#include "console.h"

LineReader::LineReader(QIODevice* device) : device(device) {}

void LineReader::setDevice(QIODevice* newDevice) {
    device = newDevice;
    buf.clear();
    start = scanned = 0;
    skipping = atEnd = false;
}

bool LineReader::readLine(QByteArray& line) {
    for (;;) {
        int feed = buf.indexOf('\n', scanned);
        if (feed >= 0) {
            bool ends = !skipping;
            skipping = false;
            if (ends && takeLine(feed, line)) {
                return true;
            }
            start = scanned = feed + 1;
            continue;
        }
        scanned = buf.size();
        // One byte more than the limit for a carriage return before the feed.
        if (!skipping && buf.size() - start > maxLine + 1) {
            skipLong();
        }
        if (skipping) {
            start = scanned;
        }
        if (!fill()) {
            bool last = !skipping && start < buf.size() && takeLine(buf.size(), line);
            start = scanned = buf.size();
            return last;
        }
    }
}

// The line from `start` up to `end`; false when it is too long to take.
bool LineReader::takeLine(int end, QByteArray& line) {
    int length = end - start;
    if (end < buf.size() && length > 0 && buf.at(end - 1) == '\r') {
        --length;
    }
    if (length > maxLine) {
        skipLong();
        skipping = false;
        return false;
    }
    line = buf.mid(start, length);
    start = scanned = end + 1;
    return true;
}

void LineReader::skipLong() {
    skipping = true;
    Console::warn(QString("an input line longer than %1 bytes was skipped").arg(maxLine));
}

bool LineReader::fill() {
    if (atEnd || !device) {
        return false;
    }
    buf.remove(0, start);
    scanned -= start;
    start = 0;
    int kept = buf.size();
    buf.resize(kept + chunk);
    qint64 got = device->read(buf.data() + kept, chunk);
    buf.resize(kept + int(qMax<qint64>(got, 0)));
    atEnd = got <= 0;
    return !atEnd;
}
