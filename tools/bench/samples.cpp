#include "samples.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace {
const double none = std::numeric_limits<double>::quiet_NaN();
}

void Samples::addAll(const Samples& other) {
    values.insert(values.end(), other.values.begin(), other.values.end());
}

double Samples::percentile(double p) const {
    if (values.empty()) {
        return none;
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

double Samples::min() const {
    return values.empty() ? none : *std::min_element(values.begin(), values.end());
}

double Samples::max() const {
    return values.empty() ? none : *std::max_element(values.begin(), values.end());
}

double Samples::mean() const {
    if (values.empty()) {
        return none;
    }
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}
