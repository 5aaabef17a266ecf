#ifndef LINEREADER_H
#define LINEREADER_H

#include <QByteArray>
#include <QIODevice>

// Command input as lines of bytes split at line feeds. The bytes are not
// decoded here, so nothing in the input changes how later lines are read.
// A line longer than maxLine bytes is skipped up to its line feed without
// being kept, so memory stays flat whatever comes in.
class LineReader {
  public:
    static constexpr int maxLine = 4096;

    explicit LineReader(QIODevice* device);
    // Starts over on another device; nothing read so far is kept.
    void setDevice(QIODevice* device);
    // The next line without its line feed and a carriage return directly
    // before it; a last line without a line feed counts. False at the end.
    bool readLine(QByteArray& line);

  private:
    // Reads more input after what is kept; false at the end of input.
    bool fill();
    bool takeLine(int end, QByteArray& line);
    void skipLong();

    static constexpr int chunk = 65536;
    QIODevice* device;
    QByteArray buf;
    int start = 0;   // first byte not handed out yet
    int scanned = 0; // bytes before this hold no line feed
    bool skipping = false;
    bool atEnd = false;
};

#endif
