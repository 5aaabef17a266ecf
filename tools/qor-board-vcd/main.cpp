// qor-board-vcd TRACE [-o FILE]: the simulated board's trace as a Value Change
// Dump for waveform viewers. Nothing is written unless the whole trace reads
// and the whole dump is written.
#include "dumpfile.h"
#include "traceconverter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>

namespace {

const char* const usage = "usage: qor-board-vcd TRACE [-o FILE]\n"
                          "Turns the simulated board's trace (QOR_BOARD_TRACE) into a Value "
                          "Change Dump\n"
                          "on standard output or in FILE. TRACE - reads standard input.\n";

// Far longer than any trace line; a longer one is not read into memory whole.
const size_t maxLine = 256;

// Reads up to the next line feed; false at the end of the input. `tooLong`
// tells that the line was cut at maxLine.
bool readLine(FILE* in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    int c;
    while ((c = getc(in)) != EOF && c != '\n') {
        if (line.size() == maxLine) {
            tooLong = true;
            return true;
        }
        line += static_cast<char>(c);
    }
    return c == '\n' || !line.empty();
}

// The line as it can be shown on a terminal: control bytes escaped, cut short.
std::string shown(const std::string& line) {
    std::string s;
    for (unsigned char c : line.substr(0, 60)) {
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            s += hex;
        } else {
            s += static_cast<char>(c);
        }
    }
    return "\"" + s + (line.size() > 60 ? "...\"" : "\"");
}

int fail(const std::string& message) {
    fprintf(stderr, "qor-board-vcd: %s\n", message.c_str());
    return 1;
}

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + strerror(errno);
}

// Converts the whole trace into the dump; an empty result means success.
std::string convert(FILE* in, const std::string& name, DumpFile& dump) {
    TraceConverter converter(dump.stream());
    std::string line, error;
    bool tooLong = false;
    for (long n = 1; readLine(in, line, tooLong); ++n) {
        if (tooLong) {
            return name + ":" + std::to_string(n) + ": not a board trace line (longer than " +
                   std::to_string(maxLine) + " bytes): " + shown(line);
        }
        if (!converter.add(line, error)) {
            return name + ":" + std::to_string(n) + ": " + error + ": " + shown(line);
        }
        if (!(error = dump.writeError()).empty()) {
            return error;
        }
    }
    if (ferror(in)) {
        return systemError("cannot read", name);
    }
    converter.finish();
    return "";
}

} // namespace

int main(int argc, char** argv) {
    static const option longOptions[] = {{"help", no_argument, nullptr, 'h'},
                                         {"output", required_argument, nullptr, 'o'},
                                         {nullptr, 0, nullptr, 0}};
    std::string output;
    int opt;
    while ((opt = getopt_long(argc, argv, "ho:", longOptions, nullptr)) != -1) {
        if (opt == 'h') {
            fputs(usage, stdout);
            return 0;
        }
        if (opt != 'o') {
            fputs(usage, stderr);
            return 2;
        }
        output = optarg;
    }
    if (argc - optind != 1) {
        fputs(usage, stderr);
        return 2;
    }
    std::string name = argv[optind];
    FILE* in = name == "-" ? stdin : fopen(name.c_str(), "r");
    if (!in) {
        return fail(systemError("cannot open", name));
    }
    DumpFile dump(output);
    std::string error = dump.open();
    if (error.empty()) {
        error = convert(in, name == "-" ? "standard input" : name, dump);
    }
    if (error.empty()) {
        error = dump.commit();
    }
    return error.empty() ? 0 : fail(error);
}
