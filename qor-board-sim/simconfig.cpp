#include "simconfig.h"

#include "simout.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace {

int traceFile = -1;
bool showAlways = false;
double scale = 1.0;
char keysDir[PATH_MAX] = "";

void openTrace() {
    const char* path = getenv("QOR_BOARD_TRACE");
    if (!path || !*path) {
        return;
    }
    traceFile = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
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

bool keyFileIsSet(const char* name) {
    if (!keysDir[0]) {
        return false;
    }
    char path[PATH_MAX];
    size_t dirLen = strlen(keysDir);
    memcpy(path, keysDir, dirLen);
    path[dirLen] = '/';
    strcpy(path + dirLen + 1, name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char first = 0;
    ssize_t got = read(fd, &first, 1);
    close(fd);
    return got == 1 && first == '1';
}

} // namespace simconfig
