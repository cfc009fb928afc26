#include "core/Agreement.h"

#include <gtest/gtest.h>

TEST(AgreementTest, ASecondServerConfirmsWithinOneSecondAndBothDelays) {
    const TimeSample first{3600.0, 0.2};
    const struct {
        TimeSample other;
        bool confirms;
    } rows[] = {
        {{3600.0, 0.0}, true}, {{3601.2, 0.05}, true},  {{3598.8, 0.05}, true}, {{3601.3, 0.05}, false},
        {{0.01, 0.02}, false}, {{3601.5, -0.3}, false},  // no credit for a delay below 0
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Confirms(first, row.other), row.confirms) << row.other.offsetSeconds;
    }
}

TEST(AgreementTest, ConsensusIsTheMiddleOfTheLargestGroupThatSharesAnInstant) {
    const struct {
        std::vector<TimeSample> samples;
        bool found;
        double offset;
        std::size_t servers;
    } rows[] = {
        {{}, false, 0, 0},
        {{{0.5, 0.2}}, true, 0.5, 1},
        // [0.9,1.1] and [1.0,1.4] share [1.0,1.1]; the wrong year stands alone.
        {{{1.0, 0.2}, {1.2, 0.4}, {-31536000.0, 0.1}}, true, 1.05, 2},
        // Two who disagree: two groups of one, neither the largest.
        {{{0.0, 0.1}, {5.0, 0.1}}, false, 0, 0},
        // Touching intervals share their end.
        {{{0.0, 0.2}, {0.2, 0.2}}, true, 0.1, 2},
        // A chain: 1 and 3 both overlap 2 but not each other, so two groups of two.
        {{{0.0, 1.0}, {0.8, 1.0}, {1.6, 1.0}}, false, 0, 0},
        // Three of five agree; half is not enough when the rest are a group as large.
        {{{0.0, 0.1}, {0.01, 0.1}, {0.02, 0.1}, {9.0, 0.1}, {20.0, 0.1}}, true, 0.01, 3},
        {{{0.0, 0.1}, {0.01, 0.1}, {9.0, 0.1}, {20.0, 0.1}, {30.0, 0.1}}, false, 0, 0},
    };
    for (const auto& row : rows) {
        const std::optional<Consensus> found = FindConsensus(row.samples);
        ASSERT_EQ(found.has_value(), row.found) << row.samples.size();
        if (found) {
            EXPECT_NEAR(found->offsetSeconds, row.offset, 1e-9);
            EXPECT_EQ(found->servers, row.servers);
        }
    }
}
