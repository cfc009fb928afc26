#pragma once

#include <cstddef>
#include <vector>

// The middle and the tail of a set of samples, in the samples' own unit.
struct Summary {
    double median = 0;
    double p95 = 0;
    std::size_t count = 0;
};

// The value below which the given fraction (0..1) of the samples lie, with
// linear interpolation between the two nearest ranks; NaN for no samples.
double Percentile(std::vector<double> values, double fraction);

Summary Summarise(const std::vector<double>& values);
// For signed errors: the median keeps the sign (a bias shows), the 95th
// percentile is that of the magnitudes (how far off a reading may be).
Summary SummariseErrors(const std::vector<double>& errors);
