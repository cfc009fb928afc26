#include "core/SntpTimestamp.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/FakeClock.h"

namespace {

constexpr int64_t kEra0EndUnixSeconds = 2085978496;  // 2036-02-07 06:28:16 UTC, where era 0 wraps

SYSTEMTIME Utc(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0,
               uint16_t second = 0, uint16_t milliseconds = 0) {
    SYSTEMTIME st;
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    st.wMilliseconds = milliseconds;
    return st;
}

}  // namespace

TEST(SntpTimestampTest, TablesAndDayNumbersHaveTheirKnownValues) {
    EXPECT_EQ(MillisecondFractions[0], 0u);
    EXPECT_EQ(MillisecondFractions[1], 4294967u);
    EXPECT_EQ(MillisecondFractions[500], 2147483648u);
    EXPECT_EQ(MillisecondFractions[999], 4290672329u);
    EXPECT_EQ(DateToDayNumber(1900, 1, 1), 2415021);
    EXPECT_EQ(DateToDayNumber(2000, 1, 1), 2451545);
    EXPECT_EQ(DayNumberToDate(2451545), (CalendarDate{2000, 1, 1}));
    EXPECT_EQ(DayNumberToDate(DateToDayNumber(2000, 2, 29) + 1), (CalendarDate{2000, 3, 1}));
    EXPECT_EQ(DayNumberToDate(DateToDayNumber(1900, 2, 28) + 1), (CalendarDate{1900, 3, 1}));
}

// Walks era 0 in steps that land on every hour, minute, second and weekday,
// against the platform's independent calendar arithmetic.
TEST(SntpTimestampTest, CalendarRoundTripCoversEra0WithWeekday) {
    const int64_t firstUnixSeconds = -kSntpToUnixSeconds;
    const int64_t lastUnixSeconds = kEra0EndUnixSeconds - 1;
    std::vector<int64_t> instants = {firstUnixSeconds, lastUnixSeconds, 0, 951782400 /* 2000-02-29 */};
    for (int64_t t = firstUnixSeconds; t < lastUnixSeconds; t += 86400 * 3 + 3671) {
        instants.push_back(t);
    }
    int milliseconds = 0;
    for (const int64_t unixSeconds : instants) {
        milliseconds = (milliseconds + 337) % 1000;
        SYSTEMTIME expected = SystemTimeFromClock({unixSeconds, milliseconds * 1000000});
        const CSNTPTimestamp ts = CSNTPTimestamp::FromSystemTime(expected);
        ASSERT_EQ(ts.Seconds(), static_cast<uint32_t>(unixSeconds + kSntpToUnixSeconds)) << unixSeconds;
        ASSERT_EQ(ts.ToSystemTime(), expected) << unixSeconds;
    }
}

TEST(SntpTimestampTest, ZeroIsMonday1900AndEra0WrapsBothWays) {
    EXPECT_EQ(CSNTPTimestamp().ToSystemTime(), (SYSTEMTIME{1900, 1, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(CSNTPTimestamp::FromSystemTime(Utc(2036, 2, 7, 6, 28, 16)).Value(), 0u);
    EXPECT_EQ(CSNTPTimestamp::FromSystemTime(Utc(2036, 2, 7, 6, 28, 15)).Seconds(), 0xFFFFFFFFu);
    EXPECT_EQ(CSNTPTimestamp::FromSystemTime(Utc(1899, 12, 31, 23, 59, 59)).Seconds(), 0xFFFFFFFFu);
    // Out-of-range milliseconds carry into the seconds instead of reading past the table.
    EXPECT_EQ(CSNTPTimestamp::FromSystemTime(Utc(2000, 1, 1, 0, 0, 0, 1500)),
              CSNTPTimestamp::FromSystemTime(Utc(2000, 1, 1, 0, 0, 1, 500)));
}

TEST(SntpTimestampTest, MillisecondsRoundToNearestAndCarryIntoTheNextSecond) {
    struct Row {
        uint32_t seconds;
        uint32_t fraction;
        SYSTEMTIME expected;
    };
    const uint32_t noon =
        static_cast<uint32_t>(946728000 + kSntpToUnixSeconds);  // 2000-01-01 12:00:00, Saturday
    const Row rows[] = {
        {noon, 0, {2000, 1, 6, 1, 12, 0, 0, 0}},
        {noon, MillisecondFractions[1], {2000, 1, 6, 1, 12, 0, 0, 1}},
        {noon, 4292819811u, {2000, 1, 6, 1, 12, 0, 0, 999}},
        {noon, 4292819812u, {2000, 1, 6, 1, 12, 0, 1, 0}},
        {noon, 0xFFFFFFFFu, {2000, 1, 6, 1, 12, 0, 1, 0}},
        {noon - 1, 0xFFFFFFFFu, {2000, 1, 6, 1, 12, 0, 0, 0}},
        // The last fraction of a day carries into the next day and weekday.
        {noon + 43199, 0xFFFFFFFFu, {2000, 1, 0, 2, 0, 0, 0, 0}},
        // The very last instant of era 0 rounds up to the instant where it ends.
        {0xFFFFFFFFu, 0xFFFFFFFFu, {2036, 2, 4, 7, 6, 28, 16, 0}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CSNTPTimestamp(row.seconds, row.fraction).ToSystemTime(), row.expected) << row.fraction;
    }
}

TEST(SntpTimestampTest, SecondsSinceIsSignedAndSymmetric) {
    const CSNTPTimestamp a(3000000000u, 0);
    const CSNTPTimestamp b(3000000001u, 0x80000000u);
    EXPECT_EQ(a.SecondsSince(a), 0.0);
    EXPECT_NEAR(b.SecondsSince(a), 1.5, 1e-9);
    EXPECT_EQ(a.SecondsSince(b), -b.SecondsSince(a));
    // Across a borrow from the seconds word.
    EXPECT_NEAR(CSNTPTimestamp(10, 0).SecondsSince(CSNTPTimestamp(9, 0xC0000000u)), 0.25, 1e-9);
}

TEST(SntpTimestampTest, AddSecondsMovesBothWaysWithBorrowAndWrap) {
    struct Row {
        CSNTPTimestamp start;
        double seconds;
        CSNTPTimestamp expected;
    };
    const Row rows[] = {
        {CSNTPTimestamp(100, 0), -0.25, CSNTPTimestamp(99, 4294967296u - 1073741823u)},
        {CSNTPTimestamp(100, 0), 1.5, CSNTPTimestamp(101, 2147483647u)},
        {CSNTPTimestamp(100, 0xF0000000u), 0.25, CSNTPTimestamp(101, 0xF0000000u + 1073741823u)},
        {CSNTPTimestamp(100, 5), 0, CSNTPTimestamp(100, 5)},
        {CSNTPTimestamp(0, 0), -1, CSNTPTimestamp(0xFFFFFFFFu, 0)},
        {CSNTPTimestamp(0xFFFFFFFFu, 0), 2, CSNTPTimestamp(1, 0)},
        // Whole seconds count modulo 2^32, however large.
        {CSNTPTimestamp(100, 0), 4294967296.0 * 8 + 3, CSNTPTimestamp(103, 0)},
        {CSNTPTimestamp(100, 0), std::nan(""), CSNTPTimestamp(100, 0)},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.start.AddSeconds(row.seconds), row.expected) << row.seconds;
    }
    const CSNTPTimestamp t(3900000000u, 123456789u);
    EXPECT_NEAR(t.AddSeconds(7200.125).SecondsSince(t), 7200.125, 1e-6);
    EXPECT_NEAR(t.AddSeconds(-7200.125).SecondsSince(t), -7200.125, 1e-6);
}

TEST(SntpTimestampTest, WireFormatIsBigEndianSecondsThenFraction) {
    const CSNTPTimestamp t(0x01020304u, 0xA0B0C0D0u);
    const std::array<uint8_t, 8> expected = {0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0};
    EXPECT_EQ(t.ToNetwork(), expected);
    EXPECT_EQ(CSNTPTimestamp::FromNetwork(expected.data()), t);
}

TEST(SntpTimestampTest, ClockTimeConversionsKeepEveryNanosecond) {
    for (const int32_t ns : {0, 1, 499999999, 500000000, 999999999}) {
        for (const int64_t unixSeconds : {int64_t{0}, int64_t{1700000000}, -kSntpToUnixSeconds}) {
            const ClockTime t{unixSeconds, ns};
            EXPECT_EQ(CSNTPTimestamp::FromClockTime(t).ToClockTime(), t) << unixSeconds << " " << ns;
        }
    }
    EXPECT_EQ(CSNTPTimestamp::FromClockTime({0, 0}), CSNTPTimestamp(2208988800u, 0));
    EXPECT_EQ(CSNTPTimestamp::FromClockTime({0, 500000000}), CSNTPTimestamp(2208988800u, 0x80000000u));
    // The last fraction of a second is nearer to the next second than to any nanosecond.
    EXPECT_EQ(CSNTPTimestamp(2208988800u, 0xFFFFFFFFu).ToClockTime(), (ClockTime{1, 0}));

    const FakeClock clock(ClockTime{1700000000, 123456789});
    EXPECT_EQ(CSNTPTimestamp::Now(clock).ToClockTime(), (ClockTime{1700000000, 123456789}));
}
