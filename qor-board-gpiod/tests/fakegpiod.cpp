// A stand-in for the part of libgpiod 1.x that the board library uses, with
// chips and lines described by $QOR_FAKE_GPIO and every request, release,
// set and get appended to $QOR_FAKE_GPIO_LOG. It lets the tests see which
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
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gpiod.h>
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

std::string flagText(int flags) {
    std::string out;
    auto add = [&](int bit, const char* name) {
        if (flags & bit) {
            out += (out.empty() ? "" : ",") + std::string(name);
        }
    };
    add(GPIOD_LINE_REQUEST_FLAG_ACTIVE_LOW, "active-low");
    add(GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP, "pull-up");
    add(GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN, "pull-down");
    add(GPIOD_LINE_REQUEST_FLAG_BIAS_DISABLE, "bias-disable");
    return out.empty() ? "-" : out;
}

} // namespace

struct gpiod_chip {
    ChipState* state;
    std::vector<gpiod_line*> lines;
};

struct gpiod_line {
    gpiod_chip* chip;
    unsigned offset;
    bool requested;

    LineState& state() { return chip->state->lines[offset]; }
    std::string where() { return chip->state->name + " " + std::to_string(offset); }
};

namespace {

gpiod_chip* openState(ChipState& c) {
    gpiod_chip* chip = new gpiod_chip{&c, std::vector<gpiod_line*>(c.lines.size())};
    for (unsigned i = 0; i < c.lines.size(); ++i) {
        chip->lines[i] = new gpiod_line{chip, i, false};
    }
    return chip;
}

} // namespace

extern "C" {

gpiod_chip* gpiod_chip_open(const char* path) {
    for (ChipState& c : chips()) {
        if ("/dev/" + c.name == path) {
            return openState(c);
        }
    }
    errno = access(path, F_OK) == 0 ? ENOTTY : ENOENT;
    return nullptr;
}

gpiod_chip* gpiod_chip_open_by_name(const char* name) {
    return gpiod_chip_open(("/dev/" + std::string(name)).c_str());
}

gpiod_chip* gpiod_chip_open_by_label(const char* label) {
    for (ChipState& c : chips()) {
        if (c.label == label) {
            return openState(c);
        }
    }
    errno = ENOENT;
    return nullptr;
}

void gpiod_chip_close(gpiod_chip* chip) {
    for (gpiod_line* line : chip->lines) {
        gpiod_line_release(line);
        delete line;
    }
    delete chip;
}

const char* gpiod_chip_name(gpiod_chip* chip) {
    return chip->state->name.c_str();
}

const char* gpiod_chip_label(gpiod_chip* chip) {
    return chip->state->label.c_str();
}

unsigned int gpiod_chip_num_lines(gpiod_chip* chip) {
    return static_cast<unsigned>(chip->lines.size());
}

gpiod_line* gpiod_chip_get_line(gpiod_chip* chip, unsigned int offset) {
    if (offset >= chip->lines.size()) {
        errno = EINVAL;
        return nullptr;
    }
    return chip->lines[offset];
}

gpiod_line* gpiod_line_find(const char* name) {
    for (ChipState& c : chips()) {
        for (unsigned i = 0; i < c.lines.size(); ++i) {
            if (c.lines[i].name == name) {
                return openState(c)->lines[i];
            }
        }
    }
    errno = ENOENT;
    return nullptr;
}

gpiod_chip* gpiod_line_get_chip(gpiod_line* line) {
    return line->chip;
}

unsigned int gpiod_line_offset(gpiod_line* line) {
    return line->offset;
}

const char* gpiod_line_name(gpiod_line* line) {
    return line->state().name.empty() ? nullptr : line->state().name.c_str();
}

const char* gpiod_line_consumer(gpiod_line* line) {
    return line->state().consumer.empty() ? nullptr : line->state().consumer.c_str();
}

int gpiod_line_update(gpiod_line*) {
    return 0;
}

bool gpiod_line_is_used(gpiod_line* line) {
    return line->state().used;
}

int gpiod_line_direction(gpiod_line* line) {
    return line->state().output ? GPIOD_LINE_DIRECTION_OUTPUT : GPIOD_LINE_DIRECTION_INPUT;
}

int gpiod_line_request(gpiod_line* line, const gpiod_line_request_config* config, int default_val) {
    LineState& s = line->state();
    bool output = config->request_type == GPIOD_LINE_REQUEST_DIRECTION_OUTPUT;
    log("request " + line->where() + (output ? " output " : " input ") +
        (output ? std::to_string(default_val) + " " : "") + flagText(config->flags) + " " +
        config->consumer);
    if (!s.race.empty()) {
        s.used = true;
        s.consumer = s.race;
    }
    if (s.used || s.refuse) {
        errno = s.used ? EBUSY : s.refuse;
        return -1;
    }
    s.used = true;
    s.consumer = config->consumer;
    s.output = output;
    if (output) {
        s.value = default_val;
    }
    line->requested = true;
    return 0;
}

void gpiod_line_release(gpiod_line* line) {
    if (line->requested) {
        log("release " + line->where());
        line->state().used = false;
        line->state().consumer.clear();
        line->requested = false;
    }
}

int gpiod_line_set_value(gpiod_line* line, int value) {
    log("set " + line->where() + " " + std::to_string(value));
    if (failing(setFailure)) {
        return -1;
    }
    line->state().value = value;
    return 0;
}

int gpiod_line_get_value(gpiod_line* line) {
    log("get " + line->where());
    if (failing(getFailure)) {
        return -1;
    }
    return line->state().value;
}

} // extern "C"
