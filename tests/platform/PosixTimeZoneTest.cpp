#include "platform/PosixTimeZone.h"

#include <gtest/gtest.h>

#include "platform/SystemTime.h"

namespace {

int64_t Utc(int64_t y, unsigned mo, unsigned d, int h, int mi = 0, int s = 0) {
    return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

using Kind = PosixTzRule::Kind;

TEST(PosixTimeZoneTest, ParsesWhatTheCLibraryAccepts) {
    struct Case {
        const char* text;
        PosixTz expected;
    };
    const Case cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3",
         {"CET",
          3600,
          true,
          "CEST",
          7200,
          {Kind::MonthWeekDay, 3, 5, 0, 0, 7200},
          {Kind::MonthWeekDay, 10, 5, 0, 0, 10800}}},
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0",
         {"-02",
          -7200,
          true,
          "-01",
          -3600,
          {Kind::MonthWeekDay, 3, 5, 0, 0, -3600},
          {Kind::MonthWeekDay, 10, 5, 0, 0, 0}}},
        {"IST-1GMT0,M10.5.0,M3.5.0/1",
         {"IST",
          3600,
          true,
          "GMT",
          0,
          {Kind::MonthWeekDay, 10, 5, 0, 0, 7200},
          {Kind::MonthWeekDay, 3, 5, 0, 0, 3600}}},
        {"EET-2EEST,M3.4.4/50,M10.4.4/50",
         {"EET",
          7200,
          true,
          "EEST",
          10800,
          {Kind::MonthWeekDay, 3, 4, 4, 0, 180000},
          {Kind::MonthWeekDay, 10, 4, 4, 0, 180000}}},
        {"IST-5:30", {"IST", 19800, false, "", 0, {}, {}}},
        {"<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45",
         {"+1245",
          45900,
          true,
          "+1345",
          49500,
          {Kind::MonthWeekDay, 9, 5, 0, 0, 9900},
          {Kind::MonthWeekDay, 4, 1, 0, 0, 13500}}},
        {"<+0330>-3:30<+0430>,J79/24,J263/24",
         {"+0330",
          12600,
          true,
          "+0430",
          16200,
          {Kind::Julian, 0, 0, 0, 79, 86400},
          {Kind::Julian, 0, 0, 0, 263, 86400}}},
        {"XXX3YYY,0/0,365/-167:59:59",
         {"XXX",
          -10800,
          true,
          "YYY",
          -7200,
          {Kind::ZeroBasedDay, 0, 0, 0, 0, 0},
          {Kind::ZeroBasedDay, 0, 0, 0, 365, -604799}}},
        // No rules: the C library's fallback.
        {"EST5EDT",
         {"EST",
          -18000,
          true,
          "EDT",
          -14400,
          {Kind::MonthWeekDay, 3, 2, 0, 0, 7200},
          {Kind::MonthWeekDay, 11, 1, 0, 0, 7200}}},
    };
    for (const Case& c : cases) {
        const auto parsed = ParsePosixTz(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.text;
        EXPECT_EQ(*parsed, c.expected) << c.text;
        // Formatting gives a string that means the same.
        EXPECT_EQ(ParsePosixTz(FormatPosixTz(*parsed)), parsed) << c.text << " -> " << FormatPosixTz(*parsed);
    }
    EXPECT_EQ(FormatPosixTz(*ParsePosixTz("CET-1CEST,M3.5.0,M10.5.0/3")), "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(FormatPosixTz(*ParsePosixTz("<-02>2<-01>,M3.5.0/-1,M10.5.0/0")),
              "<-02>2<-01>,M3.5.0/-1,M10.5.0/0");
}

TEST(PosixTimeZoneTest, RefusesMalformedStrings) {
    for (const char* text : {"",
                             "CE",
                             "CET",
                             "CET-",
                             "CET-25",
                             "CET-1:60",
                             "<CE>1",
                             "<C T>1",
                             "<ABC1",
                             "CET-1CEST,",
                             "CET-1CEST,M3.5.0",
                             "CET-1CEST,M13.5.0,M10.5.0",
                             "CET-1CEST,M3.6.0,M10.5.0",
                             "CET-1CEST,M3.5.7,M10.5.0",
                             "CET-1CEST,M3.0.0,M10.5.0",
                             "CET-1CEST,J0,J365",
                             "CET-1CEST,J1,J366",
                             "CET-1CEST,0,366",
                             "CET-1CEST,M3.5.0/168,M10.5.0",
                             "CET-1CEST,M3.5.0,M10.5.0/3x",
                             "CET-1CE",
                             "CET-1 CEST"}) {
        EXPECT_FALSE(ParsePosixTz(text).has_value()) << text;
    }
}

TEST(PosixTimeZoneTest, DaylightTimeStartsAndEndsOnTheRuleSecond) {
    struct Case {
        const char* text;
        int64_t changeUtc;
        bool daylightFromChange;
    };
    const Case cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", Utc(2025, 3, 30, 1), true},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Utc(2025, 10, 26, 1), false},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Utc(2040, 3, 25, 1), true},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Utc(2100, 10, 31, 1), false},
        {"EST5EDT,M3.2.0,M11.1.0", Utc(2025, 3, 9, 7), true},
        {"EST5EDT,M3.2.0,M11.1.0", Utc(2025, 11, 2, 6), false},
        // Southern hemisphere: daylight time spans the new year.
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", Utc(2025, 4, 5, 16), false},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", Utc(2025, 10, 4, 16), true},
        // Change hours outside the day.
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", Utc(2025, 3, 30, 1), true},
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", Utc(2025, 10, 26, 1), false},
        {"EET-2EEST,M3.4.4/50,M10.4.4/50", Utc(2025, 3, 29, 0), true},
        // Negative daylight saving: "daylight" is the winter.
        {"IST-1GMT0,M10.5.0,M3.5.0/1", Utc(2025, 3, 30, 1), false},
        {"IST-1GMT0,M10.5.0,M3.5.0/1", Utc(2025, 10, 26, 1), true},
        // Fixed days of the year; J never counts 29 February, n does.
        {"<+0330>-3:30<+0430>,J79/24,J263/24", Utc(2024, 3, 20, 20, 30), true},
        {"XXX3YYY,59/0,300/0", Utc(2024, 2, 29, 3), true},
        {"XXX3YYY,59/0,300/0", Utc(2025, 3, 1, 3), true},
    };
    for (const Case& c : cases) {
        const PosixTz tz = *ParsePosixTz(c.text);
        EXPECT_EQ(IsDaylightAt(tz, c.changeUtc - 1), !c.daylightFromChange) << c.text << " " << c.changeUtc;
        EXPECT_EQ(IsDaylightAt(tz, c.changeUtc), c.daylightFromChange) << c.text << " " << c.changeUtc;
    }
    EXPECT_FALSE(IsDaylightAt(*ParsePosixTz("IST-5:30"), Utc(2025, 7, 1, 0)));
}

}  // namespace
