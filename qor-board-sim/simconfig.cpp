#include "simconfig.h"

#include "simout.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int traceFile = -1;
bool showAlways = false;
double scale = 1.0;
char keysDir[PATH_MAX] = "";
// Whether the warning about an unusable file of key 0 or 1 was given.
std::atomic<bool> keyWarned[2] = {{false}, {false}};

// Like open(2), but never on descriptors 0 to 2: a program started with one
// of them closed would otherwise write its standard output into our file, or
// read our file as its input.
int openAbove2(const char* path, int flags, mode_t mode = 0) {
    int fd = open(path, flags | O_CLOEXEC, mode);
    if (fd < 0 || fd > 2) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

void openTrace() {
    const char* path = getenv("QOR_BOARD_TRACE");
    if (!path || !*path) {
        return;
    }
    traceFile = openAbove2(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (traceFile < 0) {
        simout::warn("cannot open the file named by QOR_BOARD_TRACE; calls are not traced");
    }
}

void readScale() {
    const char* text = getenv("QOR_BOARD_DELAY_SCALE");
    if (!text) {
        return;
    }
    char* end = nullptr;
    double value = strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value < 0) {
        simout::warn("QOR_BOARD_DELAY_SCALE is not a non-negative number; using 1");
        return;
    }
    scale = value;
}

void readKeysDir() {
    const char* dir = getenv("QOR_BOARD_KEYS");
    if (!dir || !*dir) {
        return;
    }
    if (strlen(dir) + 8 >= sizeof keysDir) {
        simout::warn("QOR_BOARD_KEYS is too long; keys read 0");
        return;
    }
    strcpy(keysDir, dir);
}

void readShow() {
    const char* show = getenv("QOR_BOARD_SHOW");
    showAlways = show && strcmp(show, "1") == 0;
}

__attribute__((constructor)) void loadConfig() {
    openTrace();
    readShow();
    readScale();
    readKeysDir();
}

} // namespace

namespace simconfig {

int traceFd() {
    return traceFile;
}
bool showing() {
    return showAlways || traceFile < 0;
}
double delayScale() {
    return scale;
}

// Never blocks: O_NONBLOCK lets a FIFO open at once, and only a regular file
// is read. A missing file is released; any other file that cannot be read is
// released too, with one warning per key.
bool keyFileIsSet(int key) {
    if (!keysDir[0]) {
        return false;
    }
    char path[PATH_MAX];
    size_t dirLen = strlen(keysDir);
    memcpy(path, keysDir, dirLen);
    memcpy(path + dirLen, "/key0", 6);
    path[dirLen + 4] = static_cast<char>('0' + key);
    int fd = openAbove2(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) {
        return false;
    }
    struct stat info;
    char first = 0;
    bool readable = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ssize_t got = readable ? read(fd, &first, 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    if (got < 0 && !keyWarned[key].exchange(true)) {
        simout::warn(path, " is not a readable regular file; the key reads 0");
    }
    return got == 1 && first == '1';
}

} // namespace simconfig
