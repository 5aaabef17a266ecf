// A stand-in for the backend below the shared code (GpioLine and the chip
// list), so that it serves a build on either libgpiod, with chips and lines
// described by $QOR_FAKE_GPIO and every request, release, set and get
// appended to $QOR_FAKE_GPIO_LOG. It lets the tests see which
// lines the library requests, with which flags and in which order, and how it
// meets held lines, refused requests and a chip that goes away.
//
// QOR_FAKE_GPIO holds items separated by ';':
//   chip=NAME,LABEL,LINES     a chip (gpiochipN) with that many lines
//   name=CHIP,OFFSET,NAME     a line's name
//   held=CHIP,OFFSET,HOLDER   a line held by someone else (HOLDER may be empty)
//   output=CHIP,OFFSET        a free line that is an output
//   value=CHIP,OFFSET,V       a line's value
//   refuse=CHIP,OFFSET,ERRNO  requests of the line fail with ERRNO
//   race=CHIP,OFFSET,HOLDER   the line is taken by HOLDER as it is requested
//   fail=set|get,N,ERRNO[,T]  the Nth set or get and every later one fail;
//                             with T, the failures wait for each other until
//                             T of them (on T threads) return at once
#include "chiplist.h"
#include "gpioline.h"

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
};

struct ChipState {
    std::string name;
    std::string label;
    std::vector<LineState> lines;
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

LineState& lineAt(const std::string& chip, const std::string& offset) {
    for (ChipState& c : chips()) {
        if (c.name == chip) {
            return c.lines.at(std::stoul(offset));
        }
    }
    fprintf(stderr, "fakegpiod: no chip %s in QOR_FAKE_GPIO\n", chip.c_str());
    exit(99);
}

void addItem(const std::string& key, const std::vector<std::string>& f) {
    if (key == "chip") {
        chips().push_back({f[0], f[1], std::vector<LineState>(std::stoul(f[2]))});
    } else if (key == "name") {
        lineAt(f[0], f[1]).name = f[2];
    } else if (key == "held") {
        lineAt(f[0], f[1]).used = true;
        lineAt(f[0], f[1]).consumer = f[2];
    } else if (key == "output") {
        lineAt(f[0], f[1]).output = true;
    } else if (key == "value") {
        lineAt(f[0], f[1]).value = std::stoi(f[2]);
    } else if (key == "refuse") {
        lineAt(f[0], f[1]).refuse = std::stoi(f[2]);
    } else if (key == "race") {
        lineAt(f[0], f[1]).race = f[2];
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

std::string flagText(const LineSpec& spec) {
    static const char* const biasNames[] = {"", "pull-up", "pull-down", "bias-disable"};
    std::vector<std::string> flags;
    if (spec.activeLow) {
        flags.push_back("active-low");
    }
    if (spec.bias != Bias::AsIs) {
        flags.push_back(biasNames[static_cast<int>(spec.bias)]);
    }
    if (spec.drive != Drive::PushPull) {
        flags.push_back(spec.drive == Drive::OpenDrain ? "open-drain" : "open-source");
    }
    if (spec.debounceMs >= 0) {
        flags.push_back("debounce=" + std::to_string(spec.debounceMs));
    }
    std::string out;
    for (const std::string& f : flags) {
        out += (out.empty() ? "" : ",") + f;
    }
    return out.empty() ? "-" : out;
}

ChipState* chipAt(const std::string& path) {
    for (ChipState& c : chips()) {
        if ("/dev/" + c.name == path) {
            return &c;
        }
    }
    return nullptr;
}

} // namespace

struct GpioLine::Impl {
    ChipState* chip = nullptr;
    bool requested = false;

    std::string where(unsigned offset) { return chip->name + " " + std::to_string(offset); }
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

GpioLine::GpioLine() : impl_(new Impl) {}

GpioLine::~GpioLine() {
    release();
    delete impl_;
}

int GpioLine::openChip(const std::string& path) {
    impl_->chip = chipAt(path);
    if (!impl_->chip) {
        return access(path.c_str(), F_OK) == 0 ? ENOTTY : ENOENT;
    }
    return 0;
}

std::string GpioLine::chipName() const {
    return impl_->chip ? impl_->chip->name : "";
}

std::string GpioLine::chipLabel() const {
    return impl_->chip ? impl_->chip->label : "";
}

unsigned GpioLine::lineCount() const {
    return impl_->chip ? static_cast<unsigned>(impl_->chip->lines.size()) : 0;
}

int GpioLine::info(unsigned offset, Info& out) {
    if (offset >= lineCount()) {
        return EINVAL;
    }
    const LineState& s = impl_->chip->lines[offset];
    out.name = s.name;
    out.used = s.used;
    out.output = s.output;
    out.consumer = s.consumer;
    return 0;
}

int GpioLine::request(const LineSpec& spec, const char* consumer) {
    LineState& s = impl_->chip->lines.at(offset_);
    bool output = isOutput(spec.signal);
    log("request " + impl_->where(offset_) + (output ? " output 0 " : " input ") + flagText(spec) +
        " " + consumer);
    if (!s.race.empty()) {
        s.used = true;
        s.consumer = s.race;
    }
    if (s.used || s.refuse) {
        return s.used ? EBUSY : s.refuse;
    }
    s.used = true;
    s.consumer = consumer;
    s.output = output;
    if (output) {
        s.value = 0;
    }
    impl_->requested = true;
    return 0;
}

void GpioLine::release() {
    if (impl_->requested) {
        log("release " + impl_->where(offset_));
        impl_->chip->lines[offset_].used = false;
        impl_->chip->lines[offset_].consumer.clear();
        impl_->requested = false;
    }
}

int GpioLine::set(int active) noexcept {
    log("set " + impl_->where(offset_) + " " + std::to_string(active));
    if (failing(setFailure)) {
        return errno;
    }
    impl_->chip->lines[offset_].value = active;
    return 0;
}

int GpioLine::get(int& active) noexcept {
    log("get " + impl_->where(offset_));
    if (failing(getFailure)) {
        return errno;
    }
    active = impl_->chip->lines[offset_].value;
    return 0;
}
