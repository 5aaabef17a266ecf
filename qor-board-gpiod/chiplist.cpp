#include "chiplist.h"

#include "gpiochip.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

std::vector<std::string> gpioChipPaths() {
    std::vector<std::pair<long, std::string>> found;
    if (DIR* dev = opendir("/dev")) {
        while (dirent* e = readdir(dev)) {
            char* end = nullptr;
            if (strncmp(e->d_name, "gpiochip", 8) == 0 && e->d_name[8] != '\0') {
                long n = strtol(e->d_name + 8, &end, 10);
                if (*end == '\0') {
                    found.emplace_back(n, std::string("/dev/") + e->d_name);
                }
            }
        }
        closedir(dev);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (const auto& f : found) {
        paths.push_back(f.second);
    }
    return paths;
}

int checkChipPath(const std::string& path, const std::string& sys) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return errno;
    }
    if (!S_ISCHR(st.st_mode)) {
        return ENOTTY;
    }
    std::string link = sys + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                       std::to_string(minor(st.st_rdev)) + "/subsystem";
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) {
        return ENODEV;
    }
    std::string subsystem(target, static_cast<size_t>(n));
    const std::string gpio = "/bus/gpio";
    bool listed = subsystem.size() >= gpio.size() &&
                  subsystem.compare(subsystem.size() - gpio.size(), gpio.size(), gpio) == 0;
    return listed ? 0 : ENODEV;
}

int openCheckedChip(const std::string& path, GpioChip& chip, const std::string& sys) {
    if (access("/proc/self/fd", X_OK) != 0) {
        int err = checkChipPath(path, sys);
        return err ? err : chip.open(path);
    }
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    int err = checkChipPath(self, sys);
    if (!err) {
        err = chip.open(self);
    }
    close(fd);
    return err;
}
