#include "history/Drift.h"

#include <cmath>
#include <optional>

namespace {

constexpr double kPpm = 1e6;

struct Anchor {
    ClockTime timeUtc;
    double shiftSeconds = 0;
};

}  // namespace

DriftEstimate EstimateDrift(const std::vector<AttemptRecord>& records) {
    std::vector<std::pair<double, double>> points;  // elapsed seconds, offset seconds
    std::optional<Anchor> anchor;
    for (const AttemptRecord& record : records) {
        const bool success = record.outcome == AttemptOutcome::Success;
        if (success && record.offsetSeconds && anchor) {
            const double elapsed = SecondsBetween(record.timeUtc, anchor->timeUtc);
            const double gained = *record.offsetSeconds + anchor->shiftSeconds;
            if (elapsed > 0 && std::fabs(gained / elapsed) * kPpm <= kMaxPlausiblePpm) {
                points.emplace_back(elapsed, gained);
            }
        }
        if (record.kind == AttemptKind::ServerTest) {
            continue;
        }
        if (success && record.correctionSeconds) {
            anchor = Anchor{record.timeUtc, record.shiftSeconds};
        } else if (record.correctionSeconds || record.outcome == AttemptOutcome::Stopped) {
            anchor.reset();
        }
    }

    DriftEstimate estimate;
    estimate.points = points.size();
    if (points.size() < kMinDriftPoints) {
        return estimate;
    }
    double sxx = 0;
    double sxy = 0;
    for (const auto& [x, y] : points) {
        sxx += x * x;
        sxy += x * y;
    }
    const double slope = sxy / sxx;
    double residuals = 0;
    for (const auto& [x, y] : points) {
        residuals += (y - slope * x) * (y - slope * x);
    }
    const double variance = residuals / static_cast<double>(points.size() - 1);
    estimate.enough = true;
    estimate.ppm = -slope * kPpm;
    estimate.uncertaintyPpm = std::sqrt(variance / sxx) * kPpm;
    return estimate;
}
