#include "bench/Statistics.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(StatisticsTest, PercentilesInterpolateBetweenRanks) {
    struct Row {
        std::vector<double> values;
        double fraction;
        double expected;
    };
    std::vector<double> oneTo200;
    for (int i = 200; i >= 1; --i) {
        oneTo200.push_back(i);  // unsorted on purpose
    }
    const Row rows[] = {
        {{7}, 0.5, 7},          {{7}, 0.95, 7},           {{1, 3}, 0.5, 2},   {{3, 1, 2}, 0.5, 2},
        {oneTo200, 0.5, 100.5}, {oneTo200, 0.95, 190.05}, {oneTo200, 0.0, 1}, {oneTo200, 1.0, 200},
    };
    for (const Row& row : rows) {
        EXPECT_NEAR(Percentile(row.values, row.fraction), row.expected, 1e-9)
            << row.values.size() << " values at " << row.fraction;
    }
    EXPECT_TRUE(std::isnan(Percentile({}, 0.5)));
}

// A bias keeps its sign in the median; the tail is that of the magnitudes, so a
// large negative error is not hidden below the positive ones.
TEST(StatisticsTest, ErrorsKeepTheirSignInTheMedianAndTheirSizeInTheTail) {
    std::vector<double> errors(19, 1.0);
    errors.push_back(-50.0);
    const Summary summary = SummariseErrors(errors);
    EXPECT_EQ(summary.count, 20u);
    EXPECT_DOUBLE_EQ(summary.median, 1.0);
    EXPECT_NEAR(summary.p95, 1.0 + 0.05 * 49.0, 1e-9);  // rank 18.05 of |error|: between 1 and 50
    EXPECT_LT(SummariseErrors({-3, -2, -1}).median, 0);
    EXPECT_DOUBLE_EQ(Summarise({-3, -2, -1}).p95, -1.1);
}
