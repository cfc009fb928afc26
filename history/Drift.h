#pragma once

#include <cstddef>
#include <vector>

#include "core/AttemptRecorder.h"

// How fast the local clock runs against the servers' time, from the offsets
// measured between corrections.
struct DriftEstimate {
    bool enough = false;        // at least kMinPoints points
    double ppm = 0;             // positive when the local clock runs fast
    double uncertaintyPpm = 0;  // one standard error of the fit
    std::size_t points = 0;
};

// Right after a successful correction the clock stands at the server's time
// plus the user's shift; every later successful measurement until the next
// correction shows what the clock has gained since. The points (time since
// the correction, offset without the shift) are fitted by least squares with
// a line through the origin: a clock running fast by r gains r seconds a
// second, which the servers measure as an offset of -r per second.
//
// An attempt that may have moved the clock without leaving it right (a failed
// or stopped run that had set it) ends the stretch: nothing after it counts
// until the next correction. Failures in a row kept as one record count as
// one: the history never folds a failure that moved the clock. Points that
// imply more than kMaxPlausiblePpm (the clock was set by someone else) are
// left out. records: oldest first.
DriftEstimate EstimateDrift(const std::vector<AttemptRecord>& records);

inline constexpr std::size_t kMinDriftPoints = 3;
inline constexpr double kMaxPlausiblePpm = 1000;
