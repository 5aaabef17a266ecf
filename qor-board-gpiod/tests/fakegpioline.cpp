// A stand-in for the backend below the shared code (GpioChip, GpioLine and
// the chip list), so that it serves a build on either libgpiod, with chips and lines
// described by $QOR_FAKE_GPIO and every request, release, set and get
// appended to $QOR_FAKE_GPIO_LOG. It lets the tests see which
// lines the library requests, with which flags and in which order, and how it
// meets held lines, refused requests and a chip that goes away.
//
// QOR_FAKE_GPIO holds items separated by ';':
//   chip=NAME,LABEL,LINES     a chip (gpiochipN) with that many lines
//   name=CHIP,OFFSET,NAME     a line's name
//   held=CHIP,OFFSET,HOLDER[,N]
//                             a line held by someone else (HOLDER may be
//                             empty); with N, HOLDER lets go of it once N
//                             requests of it have been refused
//   output=CHIP,OFFSET        a free line that is an output
//   value=CHIP,OFFSET,V       a line's value
//   refuse=CHIP,OFFSET,ERRNO  requests of the line fail with ERRNO
//   race=CHIP,OFFSET,HOLDER[,N]
//                             the line is taken by HOLDER as it is first
//                             requested; N as for held
//   deny=CHIP                 opening the chip fails with EACCES
//   vanish=CHIP               the chip's path is gone once it has been
//                             opened: a second open by path fails
//   nodebounce                the backend cannot debounce a line
//   fail=set|get,N,ERRNO[,T]  the Nth set or get and every later one fail;
//                             with T, the failures wait for each other until
//                             T of them (on T threads) return at once
#include "chiplist.h"
#include "gpiochip.h"
#include "gpioline.h"
#include "lineflags.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sched.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct LineState {
    std::string name;
    bool used = false;
    bool output = false;
    std::string consumer;
    std::atomic<int> value{0};
    int refuse = 0;
    std::string race;
    int letGo = 0; // refused requests until the holder lets go, 0: never
};

struct ChipState {
    std::string name;
    std::string label;
    std::vector<LineState> lines;
    bool denied = false;
    bool vanishing = false;
    bool gone = false;
};

struct Failure {
    int from = 0; // 0: never
    int errnum = 0;
    int together = 0;
    std::atomic<int> calls{0};
    std::atomic<int> waiting{0};
};

std::vector<ChipState>& chips() {
    static std::vector<ChipState> all;
    return all;
}
Failure setFailure, getFailure;

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, sep)) {
        out.push_back(part);
    }
    if (!s.empty() && s.back() == sep) {
        out.push_back("");
    }
    return out;
}

ChipState& chipNamed(const std::string& chip) {
    for (ChipState& c : chips()) {
        if (c.name == chip) {
            return c;
        }
    }
    fprintf(stderr, "fakegpioline: no chip %s in QOR_FAKE_GPIO\n", chip.c_str());
    exit(99);
}

LineState& lineAt(const std::string& chip, const std::string& offset) {
    return chipNamed(chip).lines.at(std::stoul(offset));
}

void addItem(const std::string& key, const std::vector<std::string>& f) {
    if (key == "chip") {
        chips().push_back({f[0], f[1], std::vector<LineState>(std::stoul(f[2]))});
    } else if (key == "name") {
        lineAt(f[0], f[1]).name = f[2];
    } else if (key == "held") {
        lineAt(f[0], f[1]).used = true;
        lineAt(f[0], f[1]).consumer = f[2];
        lineAt(f[0], f[1]).letGo = f.size() > 3 ? std::stoi(f[3]) : 0;
    } else if (key == "output") {
        lineAt(f[0], f[1]).output = true;
    } else if (key == "value") {
        lineAt(f[0], f[1]).value = std::stoi(f[2]);
    } else if (key == "refuse") {
        lineAt(f[0], f[1]).refuse = std::stoi(f[2]);
    } else if (key == "race") {
        lineAt(f[0], f[1]).race = f[2];
        lineAt(f[0], f[1]).letGo = f.size() > 3 ? std::stoi(f[3]) : 0;
    } else if (key == "deny") {
        chipNamed(f[0]).denied = true;
    } else if (key == "vanish") {
        chipNamed(f[0]).vanishing = true;
    } else if (key == "fail") {
        Failure& fail = f[0] == "set" ? setFailure : getFailure;
        fail.from = std::stoi(f[1]);
        fail.errnum = std::stoi(f[2]);
        fail.together = f.size() > 3 ? std::stoi(f[3]) : 0;
    }
}

__attribute__((constructor)) void loadFake() {
    const char* spec = getenv("QOR_FAKE_GPIO");
    for (const std::string& item : split(spec ? spec : "", ';')) {
        size_t eq = item.find('=');
        if (eq != std::string::npos) {
            addItem(item.substr(0, eq), split(item.substr(eq + 1), ','));
        }
    }
}

void log(const std::string& text) {
    const char* path = getenv("QOR_FAKE_GPIO_LOG");
    int fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    if (fd >= 0) {
        std::string line = text + "\n";
        ssize_t ignored = write(fd, line.data(), line.size());
        (void)ignored;
        close(fd);
    }
}

// Lets the failures of several threads meet, for at most 5 s; they spin so
// that they return as close together as the CPUs allow.
void meet(Failure& f) {
    ++f.waiting;
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        sched_yield();
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while (f.waiting < f.together && now.tv_sec - start.tv_sec < 5);
}

bool failing(Failure& f) {
    if (f.from == 0 || ++f.calls < f.from) {
        return false;
    }
    if (f.together > 0) {
        meet(f);
    }
    errno = f.errnum;
    return true;
}

bool noDebounce() {
    const char* spec = getenv("QOR_FAKE_GPIO");
    for (const std::string& item : split(spec ? spec : "", ';')) {
        if (item == "nodebounce") {
            return true;
        }
    }
    return false;
}

ChipState* chipAt(const std::string& path) {
    for (ChipState& c : chips()) {
        if ("/dev/" + c.name == path && !c.gone) {
            return &c;
        }
    }
    return nullptr;
}

std::string where(const ChipState* chip, unsigned offset) {
    return chip->name + " " + std::to_string(offset);
}

} // namespace

const bool GpioChip::debounce = !noDebounce();

struct GpioChip::Handle {
    ChipState* chip;
};

struct GpioLine::Handle {
    ChipState* chip;
};

std::vector<std::string> gpioChipPaths() {
    std::vector<std::string> paths;
    for (const ChipState& c : chips()) {
        paths.push_back("/dev/" + c.name);
    }
    return paths;
}

// Only the fake chips are chips; the rest as the real check finds it.
int checkChipPath(const std::string& path, const std::string&) {
    if (chipAt(path)) {
        return 0;
    }
    return access(path.c_str(), F_OK) == 0 ? ENOTTY : ENOENT;
}

int openCheckedChip(const std::string& path, GpioChip& chip, const std::string& sys) {
    int err = checkChipPath(path, sys);
    return err ? err : chip.open(path);
}

void GpioChip::close(Handle* handle) noexcept {
    delete handle;
}

int GpioChip::open(const std::string& path) {
    ChipState* chip = chipAt(path);
    if (!chip) {
        return access(path.c_str(), F_OK) == 0 ? ENOTTY : ENOENT;
    }
    if (chip->denied) {
        return EACCES;
    }
    chip->gone = chip->vanishing;
    close(handle_);
    handle_ = new Handle{chip};
    name_ = chip->name;
    label_ = chip->label;
    lineCount_ = static_cast<unsigned>(chip->lines.size());
    return 0;
}

int GpioChip::info(unsigned offset, LineInfo& out) const {
    if (offset >= lineCount_) {
        return EINVAL;
    }
    const LineState& s = handle_->chip->lines[offset];
    out.name = s.name;
    out.used = s.used;
    out.output = s.output;
    out.consumer = s.consumer;
    return 0;
}

int GpioChip::request(unsigned offset, const LineSpec& spec, const char* consumer, GpioLine& line) {
    LineState& s = handle_->chip->lines.at(offset);
    bool output = isOutput(spec.signal);
    log("request " + where(handle_->chip, offset) + (output ? " output 0 " : " input ") +
        lineflags::text(spec) + " " + consumer);
    if (!s.race.empty()) {
        s.used = true;
        s.consumer = s.race;
        s.race.clear();
    }
    if (s.used) {
        if (s.letGo > 0 && --s.letGo == 0) {
            s.used = false;
            s.consumer.clear();
        }
        return EBUSY;
    }
    if (s.refuse) {
        return s.refuse;
    }
    s.used = true;
    s.consumer = consumer;
    s.output = output;
    if (output) {
        s.value = 0;
    }
    line.release();
    line.handle_ = new GpioLine::Handle{handle_->chip};
    line.offset_ = offset;
    return 0;
}

void GpioLine::release() noexcept {
    if (handle_) {
        log("release " + where(handle_->chip, offset_));
        handle_->chip->lines[offset_].used = false;
        handle_->chip->lines[offset_].consumer.clear();
        delete handle_;
        handle_ = nullptr;
    }
}

int GpioLine::set(int active) noexcept {
    log("set " + where(handle_->chip, offset_) + " " + std::to_string(active));
    if (failing(setFailure)) {
        return errno;
    }
    handle_->chip->lines[offset_].value = active;
    return 0;
}

int GpioLine::get(int& active) noexcept {
    log("get " + where(handle_->chip, offset_));
    if (failing(getFailure)) {
        return errno;
    }
    active = handle_->chip->lines[offset_].value;
    return 0;
}
