#include "platform/SystemTime.h"

#include <gtest/gtest.h>

TEST(SystemTimeTest, CalendarRoundTripKeepsEveryFieldAndWeekday) {
    struct Row {
        SYSTEMTIME st;
        int64_t unixSeconds;
    };
    const Row rows[] = {
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 0},
        {{1900, 1, 1, 1, 0, 0, 0, 0}, -2208988800},
        {{2000, 2, 2, 29, 23, 59, 59, 999}, 951868799},
        {{2036, 2, 4, 7, 6, 28, 15, 0}, 2085978495},
        {{2026, 12, 1, 7, 12, 30, 0, 5}, 1796646600},
    };
    for (const Row& row : rows) {
        const ClockTime t = ClockFromSystemTime(row.st);
        EXPECT_EQ(t.seconds, row.unixSeconds) << row.st.wYear;
        EXPECT_EQ(SystemTimeFromClock(t), row.st) << row.st.wYear;
    }
}

TEST(SystemTimeTest, ValidityBracketsEveryField) {
    const SYSTEMTIME ok{2024, 2, 0, 29, 23, 59, 59, 999};
    EXPECT_TRUE(IsValidSystemTime(ok));
    SYSTEMTIME bad = ok;
    bad.wMilliseconds = 1000;
    EXPECT_FALSE(IsValidSystemTime(bad));
    bad = ok;
    bad.wYear = 2023;  // no 29th of February
    EXPECT_FALSE(IsValidSystemTime(bad));
    bad = ok;
    bad.wHour = 24;
    EXPECT_FALSE(IsValidSystemTime(bad));
    bad = ok;
    bad.wMonth = 13;
    EXPECT_FALSE(IsValidSystemTime(bad));
}

TEST(SystemTimeTest, AddSecondsToBorrowsAndCarries) {
    EXPECT_EQ(AddSecondsTo({10, 0}, -0.25), (ClockTime{9, 750000000}));
    EXPECT_EQ(AddSecondsTo({10, 900000000}, 0.2), (ClockTime{11, 100000000}));
    EXPECT_NEAR(SecondsBetween({5, 0}, {10, 500000000}), -5.5, 1e-12);
}
