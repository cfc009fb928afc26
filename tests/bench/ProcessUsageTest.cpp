#include "bench/ProcessUsage.h"

#include <gtest/gtest.h>
#include <unistd.h>

TEST(ProcessUsageTest, CpuTicksAreUtimePlusStimeCountedFromTheLastParenthesis) {
    struct Row {
        const char* stat;
        std::optional<uint64_t> ticks;
    };
    const Row rows[] = {
        {"4242 (tidewell) S 1 4242 4242 0 -1 4194560 1500 0 0 0 37 12 0 0 20 0 3 0 100 0 0", 49},
        // A name with a space and a ')' of its own must not shift the fields.
        {"4242 (a b) c) R 1 4242 4242 0 -1 4194560 1500 0 0 0 5 6 0 0 20 0 3 0 100 0 0", 11},
        {"4242 (tidewell) S 1 4242", std::nullopt},
        {"4242 tidewell S 1 4242 4242 0 -1 4194560 1500 0 0 0 37 12", std::nullopt},
        {"4242 (tidewell) S 1 4242 4242 0 -1 4194560 1500 0 0 0 3x 12 0", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CpuTicksFromStat(row.stat), row.ticks) << row.stat;
    }
}

TEST(ProcessUsageTest, StatusFieldsAreReadInKilobytes) {
    const std::string status =
        "Name:\ttidewell\nVmHWM:\t   61234 kB\nVmRSS:\t   48000 kB\nThreads:\t3\nVmSwap:\t0 pages\n";
    EXPECT_EQ(StatusFieldKb(status, "VmRSS"), 48000);
    EXPECT_EQ(StatusFieldKb(status, "VmHWM"), 61234);
    EXPECT_EQ(StatusFieldKb(status, "VmSwap"), std::nullopt);   // not in kB
    EXPECT_EQ(StatusFieldKb(status, "VmData"), std::nullopt);   // absent
    EXPECT_EQ(StatusFieldKb(status, "Threads"), std::nullopt);  // a count
}

TEST(ProcessUsageTest, ReadsThisProcess) {
    const auto usage = ReadProcessUsage(getpid());
    ASSERT_TRUE(usage.has_value());
    EXPECT_GT(usage->residentKb, 0);
    EXPECT_GE(usage->peakResidentKb, usage->residentKb);
    EXPECT_GE(usage->cpuSeconds, 0);
}
