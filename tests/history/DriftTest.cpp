#include "history/Drift.h"

#include <gtest/gtest.h>

#include <random>

#include "core/Synchroniser.h"
#include "tests/support/FakeAttemptRecorder.h"
#include "tests/support/SyncRig.h"

namespace {

constexpr double kDay = 86400;
const ClockTime kStart{1796565930, 0};

AttemptRecord At(double seconds, AttemptKind kind, AttemptOutcome outcome, std::optional<double> offset,
                 bool corrected, double shift = 0) {
    AttemptRecord r;
    r.timeUtc = AddSecondsTo(kStart, seconds);
    r.kind = kind;
    r.outcome = outcome;
    r.offsetSeconds = offset;
    if (corrected) {
        r.correctionSeconds = offset.value_or(0);
    }
    r.shiftSeconds = shift;
    return r;
}

// A clock gaining ppm, corrected every `every` seconds and kept `shift`
// seconds ahead, measured with noise of up to noiseSeconds; server tests
// `testsBetween` times between corrections.
std::vector<AttemptRecord> Simulated(double ppm, int corrections, double every, double shift,
                                     double noiseSeconds, int testsBetween = 0) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-noiseSeconds, noiseSeconds);
    std::vector<AttemptRecord> records;
    for (int c = 0; c < corrections; ++c) {
        const double start = c * every;
        for (int t = 1; t <= testsBetween; ++t) {
            const double elapsed = every * t / (testsBetween + 1);
            records.push_back(At(start + elapsed, AttemptKind::ServerTest, AttemptOutcome::Success,
                                 -shift - ppm * 1e-6 * elapsed + noise(random), false));
        }
        // The first correction finds the clock wherever it was.
        const double offset = c == 0 ? 12.5 : -shift - ppm * 1e-6 * every + noise(random);
        records.push_back(
            At(start + every, AttemptKind::Automatic, AttemptOutcome::Success, offset, true, shift));
    }
    return records;
}

}  // namespace

TEST(DriftTest, EstimatesTheDriftFromOffsetsBetweenCorrections) {
    struct Row {
        const char* name;
        std::vector<AttemptRecord> records;
        bool enough;
        double ppm;
        size_t points;
    };
    const double hour = 3600;
    std::vector<AttemptRecord> stopped = Simulated(20, 3, kDay, 0, 0);
    // A run stopped after it may have moved the clock: the next success says nothing of the drift.
    stopped.push_back(At(3.5 * kDay, AttemptKind::Manual, AttemptOutcome::Stopped, std::nullopt, false));
    stopped.push_back(At(4 * kDay, AttemptKind::Automatic, AttemptOutcome::Success, -30.0, true));
    std::vector<AttemptRecord> setByHand = Simulated(20, 4, kDay, 0, 0);
    setByHand.push_back(At(5 * kDay, AttemptKind::Automatic, AttemptOutcome::Success, 3600.0, true));
    const Row rows[] = {
        {"+20 ppm, daily, noisy", Simulated(20, 30, kDay, 0, 0.002), true, 20, 29},
        {"-35 ppm, hourly, a minute ahead", Simulated(-35, 48, hour, 60, 0.0005), true, -35, 47},
        {"server tests between weekly corrections", Simulated(12, 4, 7 * kDay, 0, 0.002, 6), true, 12,
         3 + 3 * 6},
        {"two points are not enough", Simulated(20, 3, kDay, 0, 0), false, 0, 2},
        {"a stopped run ends the stretch", stopped, false, 0, 2},
        {"a clock set by someone else is left out", setByHand, true, 20, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const DriftEstimate drift = EstimateDrift(row.records);
        EXPECT_EQ(drift.enough, row.enough);
        EXPECT_EQ(drift.points, row.points);
        if (row.enough) {
            EXPECT_NEAR(drift.ppm, row.ppm, 1.0);
            EXPECT_GE(drift.uncertaintyPpm, 0);
            EXPECT_LT(drift.uncertaintyPpm, 1.0);
        }
    }
}

// The whole way: a clock running 20 ppm fast, synchronised every hour for two
// days by real runs against a server, comes out at 20 ppm.
TEST(DriftTest, AClockRunning20PpmFastIsFoundByItsRuns) {
    SyncRig rig(0.5);
    FakeAttemptRecorder recorder;
    rig.manager->SetRecorder(&recorder);
    constexpr double kHour = 3600;
    for (int run = 0; run < 48; ++run) {
        ASSERT_EQ(rig.Run(0), 1);
        rig.trueClock.Advance(kHour);
        rig.clock.Advance(kHour * 20e-6);
    }
    const DriftEstimate drift = EstimateDrift(recorder.Records());
    ASSERT_TRUE(drift.enough);
    EXPECT_EQ(drift.points, 47u);
    EXPECT_NEAR(drift.ppm, 20, 1.0);
}
