#ifndef STDINDEVICE_H
#define STDINDEVICE_H

#include <QIODevice>

// Standard input as a plain blocking descriptor. Qt's file device switches
// the descriptor to non-blocking for every read; when standard input and
// output share a terminal, a line written by another thread at that moment
// fails and the output stream stops writing for good.
class StdinDevice : public QIODevice {
  public:
    explicit StdinDevice(int fd);

    bool isSequential() const override { return true; }

  protected:
    // Blocks until some input is there; returns what one read gives, or -1
    // at the end of input.
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    int fd;
};

#endif
