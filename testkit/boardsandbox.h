// A private place for one program run: trace file, key files, and the files
// that are shown to the program at /etc inside its mount namespace.
#ifndef BOARDSANDBOX_H
#define BOARDSANDBOX_H

#include "boardtrace.h"
#include "tracereader.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <functional>
#include <mutex>

namespace testkit {

class BoardSandbox {
  public:
    BoardSandbox();

    QString dir() const { return tmp.path(); }
    QString tracePath() const { return tmp.filePath("trace"); }
    QString keysDir() const { return tmp.filePath("keys"); }
    // Writes "1" or "0" to the key file (atomically, by rename). These three
    // give a warning and return false when the file could not be changed.
    bool setKey(int key, bool pressed) const;
    bool setKeyFile(int key, const QByteArray& content) const;
    bool removeKeyFile(int key) const;
    // As the board reads the key file: pressed when its first byte is '1'.
    bool keyPressed(int key) const;
    // The trace as it is now; only what was appended since the last look is read.
    BoardTrace trace() const;
    // Reads the trace until it holds at least `count` calls of `op` or the
    // time is up; returns the trace as last read.
    BoardTrace waitForTrace(const QString& op, int count, int timeoutMs) const;
    // Reads the trace until `done` holds for it; false when the time ran out first.
    bool waitUntilTrace(const std::function<bool(const BoardTrace&)>& done, int timeoutMs) const;

  private:
    QString keyPath(int key) const;

    // Where sandboxes go: $TMPDIR when set, else memory (/dev/shm) when it
    // can be written, else /tmp. A test makes and drops many small files,
    // which a disk file system (one that discards freed blocks at once, above
    // all) makes slow.
    static QString root();

    QTemporaryDir tmp{root() + "/qor-board-XXXXXX"};
    mutable std::mutex traceLock;
    mutable TraceReader reader{tracePath()};
};

} // namespace testkit

#endif
