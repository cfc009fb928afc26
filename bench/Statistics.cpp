#include "bench/Statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::sort(values.begin(), values.end());
    const double rank = std::clamp(fraction, 0.0, 1.0) * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(rank));
    const std::size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (rank - static_cast<double>(below)) * (values[above] - values[below]);
}

Summary Summarise(const std::vector<double>& values) {
    return {Percentile(values, 0.5), Percentile(values, 0.95), values.size()};
}

Summary SummariseErrors(const std::vector<double>& errors) {
    std::vector<double> magnitudes;
    magnitudes.reserve(errors.size());
    for (const double error : errors) {
        magnitudes.push_back(std::fabs(error));
    }
    return {Percentile(errors, 0.5), Percentile(magnitudes, 0.95), errors.size()};
}
