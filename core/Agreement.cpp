#include "core/Agreement.h"

#include <algorithm>
#include <cmath>

bool Confirms(const TimeSample& first, const TimeSample& other) {
    constexpr double kToleranceSeconds = 1.0;
    const double allowed =
        kToleranceSeconds + std::max(0.0, first.delaySeconds) + std::max(0.0, other.delaySeconds);
    return std::fabs(other.offsetSeconds - first.offsetSeconds) <= allowed;
}

std::optional<Consensus> FindConsensus(const std::vector<TimeSample>& samples) {
    struct Interval {
        double low;
        double high;
    };
    std::vector<Interval> intervals;
    for (const TimeSample& s : samples) {
        const double half = std::max(0.0, s.delaySeconds) / 2;
        intervals.push_back({s.offsetSeconds - half, s.offsetSeconds + half});
    }
    // The intervals that share an instant with the most others all hold the
    // greatest of their lower ends, so trying each lower end finds every
    // largest group.
    std::vector<std::vector<bool>> largest;
    std::size_t largestSize = 0;
    Interval shared{};
    for (const Interval& candidate : intervals) {
        std::vector<bool> members(intervals.size());
        std::size_t size = 0;
        Interval common{candidate.low, candidate.high};
        for (std::size_t i = 0; i < intervals.size(); ++i) {
            if (intervals[i].low <= candidate.low && candidate.low <= intervals[i].high) {
                members[i] = true;
                ++size;
                common.low = std::max(common.low, intervals[i].low);
                common.high = std::min(common.high, intervals[i].high);
            }
        }
        if (size > largestSize) {
            largest.assign(1, members);
            largestSize = size;
            shared = common;
        } else if (size == largestSize &&
                   std::find(largest.begin(), largest.end(), members) == largest.end()) {
            largest.push_back(members);
        }
    }
    if (largest.size() != 1 || largestSize * 2 < samples.size()) {
        return std::nullopt;
    }
    return Consensus{(shared.low + shared.high) / 2, largestSize};
}
