// Timing samples in milliseconds and their order statistics.
#ifndef SAMPLES_H
#define SAMPLES_H

#include <vector>

class Samples {
  public:
    void add(double ms) { values.push_back(ms); }
    void addAll(const Samples& other);
    int count() const { return static_cast<int>(values.size()); }
    // Nearest-rank percentile (p in 0..100); NaN when there are no samples.
    double percentile(double p) const;
    double min() const;
    double max() const;
    double mean() const;

  private:
    std::vector<double> values;
};

#endif
