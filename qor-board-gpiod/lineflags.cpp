#include "lineflags.h"

#include <vector>

namespace {

const char* const biasNames[] = {"", "pull-up", "pull-down", "bias-disable"};
const char* const driveNames[] = {"", "open-drain", "open-source"};
const int biasCount = 4;
const int driveCount = 3;

} // namespace

namespace lineflags {

const char* const activeLow = "active-low";
const char* const debounce = "debounce=";

const char* biasName(Bias bias) {
    return biasNames[static_cast<int>(bias)];
}

const char* driveName(Drive drive) {
    return driveNames[static_cast<int>(drive)];
}

bool biasFromName(const std::string& name, Bias& bias) {
    for (int b = 1; b < biasCount; ++b) {
        if (name == biasNames[b]) {
            bias = static_cast<Bias>(b);
            return true;
        }
    }
    return false;
}

bool driveFromName(const std::string& name, Drive& drive) {
    for (int d = 1; d < driveCount; ++d) {
        if (name == driveNames[d]) {
            drive = static_cast<Drive>(d);
            return true;
        }
    }
    return false;
}

std::string text(const LineSpec& spec) {
    std::vector<std::string> flags;
    if (spec.activeLow) {
        flags.push_back(activeLow);
    }
    if (spec.bias != Bias::AsIs) {
        flags.push_back(biasName(spec.bias));
    }
    if (spec.drive != Drive::PushPull) {
        flags.push_back(driveName(spec.drive));
    }
    if (spec.debounceMs >= 0) {
        flags.push_back(debounce + std::to_string(spec.debounceMs));
    }
    std::string out;
    for (const std::string& f : flags) {
        out += (out.empty() ? "" : ",") + f;
    }
    return out.empty() ? "-" : out;
}

std::string known() {
    std::string out = activeLow;
    for (int b = 1; b < biasCount; ++b) {
        out += std::string(", ") + biasNames[b];
    }
    for (int d = 1; d < driveCount; ++d) {
        out += std::string(", ") + driveNames[d];
    }
    return out + " and " + debounce + "MS";
}

} // namespace lineflags
