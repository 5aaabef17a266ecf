// Where the dump goes. It is written to a temporary file first, so that a
// failure (a bad trace line, a full disk) leaves nothing partial behind and
// an earlier output untouched, and memory stays flat however long the trace.
#ifndef DUMPFILE_H
#define DUMPFILE_H

#include <fstream>
#include <string>

class DumpFile {
  public:
    // `path` empty or "-" for standard output.
    explicit DumpFile(const std::string& path);
    // Removes the temporary file unless the dump was put in place.
    ~DumpFile();
    DumpFile(const DumpFile&) = delete;
    DumpFile& operator=(const DumpFile&) = delete;

    // Makes the temporary file; an empty text, or what failed.
    std::string open();
    std::ostream& stream() { return out; }
    // An empty text while every write went through, or what failed.
    std::string writeError();
    // Puts the dump in place: a regular file (or a new one) is replaced by
    // renaming, standard output and anything else get a copy. An empty
    // text, or what failed.
    std::string commit();

  private:
    // A regular file, or none yet: replaced by renaming the temporary file.
    bool replaceable() const;
    std::string copyTo(int fd);
    std::string failure(const std::string& what, const std::string& path) const;

    std::string shown;  // as given, for messages
    std::string target; // empty for standard output
    std::string temporary;
    std::ofstream out;
    int savedErrno = 0;
};

#endif
