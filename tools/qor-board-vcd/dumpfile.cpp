#include "dumpfile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a symbolic link leads to, so that the link itself stays.
std::string resolved(const std::string& path) {
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? std::string(real) : path;
}

mode_t newFileMode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

DumpFile::DumpFile(const std::string& path)
    : shown(path.empty() || path == "-" ? "standard output" : path),
      target(path.empty() || path == "-" ? std::string() : resolved(path)) {}

DumpFile::~DumpFile() {
    if (!temporary.empty()) {
        unlink(temporary.c_str());
    }
}

bool DumpFile::replaceable() const {
    struct stat st = {};
    return !target.empty() && (stat(target.c_str(), &st) != 0 || S_ISREG(st.st_mode));
}

std::string DumpFile::open() {
    std::string pattern;
    if (replaceable()) {
        pattern = folderOf(target) + "/." + nameOf(target) + ".XXXXXX";
    } else {
        const char* tmp = getenv("TMPDIR");
        pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qor-board-vcd.XXXXXX";
    }
    std::string name = pattern;
    int fd = mkstemp(&name[0]);
    if (fd < 0) {
        return failure("cannot write", target.empty() ? pattern : shown);
    }
    temporary = name;
    // The mode a new file gets, or the one of the file it replaces.
    struct stat st = {};
    mode_t mode = stat(target.c_str(), &st) == 0 ? st.st_mode & 07777 : newFileMode();
    fchmod(fd, mode);
    close(fd);
    out.open(temporary, std::ios::binary | std::ios::trunc);
    return out ? std::string() : failure("cannot write", temporary);
}

std::string DumpFile::writeError() {
    if (out) {
        return {};
    }
    savedErrno = savedErrno ? savedErrno : errno;
    return failure("cannot write", shown);
}

std::string DumpFile::commit() {
    out.flush();
    std::string error = writeError();
    out.close();
    if (error.empty() && out.fail()) {
        error = writeError();
    }
    if (!error.empty()) {
        return error;
    }
    if (!replaceable()) {
        return copyTo(target.empty() ? STDOUT_FILENO : ::open(target.c_str(), O_WRONLY | O_TRUNC));
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        return failure("cannot write", shown);
    }
    temporary.clear();
    return {};
}

std::string DumpFile::copyTo(int fd) {
    int from = ::open(temporary.c_str(), O_RDONLY);
    if (fd < 0 || from < 0) {
        std::string error = failure("cannot write", shown);
        close(from);
        return error;
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(from, buf, sizeof buf)) > 0) {
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(fd, buf + done, size_t(n - done));
            if (w < 0 && errno != EINTR) {
                std::string error = failure("cannot write", shown);
                close(from);
                return error;
            }
            done += w > 0 ? w : 0;
        }
    }
    std::string error = n < 0 ? failure("cannot read", temporary) : std::string();
    close(from);
    if (fd != STDOUT_FILENO) {
        close(fd);
    }
    return error;
}

std::string DumpFile::failure(const std::string& what, const std::string& path) const {
    return what + " " + path + ": " + strerror(savedErrno ? savedErrno : errno);
}
