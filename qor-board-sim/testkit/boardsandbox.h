// A private place for one program run: trace file, key files, and the files
// that are shown to the program at /etc inside its mount namespace.
#ifndef BOARDSANDBOX_H
#define BOARDSANDBOX_H

#include "boardtrace.h"

#include <QByteArray>
#include <QTemporaryDir>

namespace testkit {

class BoardSandbox {
  public:
    BoardSandbox();

    QString dir() const { return tmp.path(); }
    QString tracePath() const { return tmp.filePath("trace"); }
    QString keysDir() const { return tmp.filePath("keys"); }
    // Writes "1" or "0" to the key file (atomically, by rename).
    void setKey(int key, bool pressed) const;
    void setKeyFile(int key, const QByteArray& content) const;
    void removeKeyFile(int key) const;
    BoardTrace trace() const { return BoardTrace::read(tracePath()); }
    // Re-reads the trace until it holds at least `count` calls of `op` or the
    // time is up; returns the trace as last read.
    BoardTrace waitForTrace(const QString& op, int count, int timeoutMs) const;

  private:
    QTemporaryDir tmp;
};

} // namespace testkit

#endif
