#include "platform/ZoneRecord.h"
#include "tests/support/ZoneRecords.h"

#include <gtest/gtest.h>

#include <string>

namespace {

int64_t Utc(int64_t y, unsigned mo, unsigned d, int h = 0) {
    return DaysFromCivil(y, mo, d) * 86400 + h * 3600;
}

SYSTEMTIME Date(uint16_t year, uint16_t month, uint16_t day, uint16_t weekday, uint16_t hour) {
    SYSTEMTIME st = Rule(month, day, weekday, hour);
    st.wYear = year;
    return st;
}

TEST(ZoneRecordTest, MapsZoneRulesIntoTheRecord) {
    struct Case {
        const char* tz;
        int32_t bias;
        std::u16string standardName;
        SYSTEMTIME standardDate;
        std::u16string daylightName;
        SYSTEMTIME daylightDate;
        int32_t daylightBias;
    };
    const Case cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", -60, u"CET", Rule(10, 5, 0, 3), u"CEST", Rule(3, 5, 0, 2), -60},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", -600, u"AEST", Rule(4, 1, 0, 3), u"AEDT", Rule(10, 1, 0, 2), -60},
        {"IST-5:30", -330, u"IST", {}, u"", {}, 0},
        // Negative daylight saving stays negative.
        {"IST-1GMT0,M10.5.0,M3.5.0/1", -60, u"IST", Rule(3, 5, 0, 1), u"GMT", Rule(10, 5, 0, 2), 60},
        // Change hours outside 0..23 move the weekday by whole days.
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 120, u"-02", Rule(10, 5, 0, 0), u"-01", Rule(3, 5, 6, 23), -60},
        {"EET-2EEST,M3.4.4/50,M10.4.4/50", -120, u"EET", Rule(10, 4, 6, 2), u"EEST", Rule(3, 4, 6, 2), -60},
        {"<-04>4<-03>,M9.1.6/24,M4.1.6/24", 240, u"-04", Rule(4, 1, 0, 0), u"-03", Rule(9, 1, 0, 0), -60},
        {"<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", -765, u"+1245", Rule(4, 1, 0, 3, 45), u"+1345",
         Rule(9, 5, 0, 2, 45), -60},
        // Fixed days become dates of the current year (2025 here, 2024 for the leap day).
        {"<+0330>-3:30<+0430>,J79/24,J263/24", -210, u"+0330", Date(2025, 9, 21, 0, 0), u"+0430",
         Date(2025, 3, 21, 5, 0), -60},
        // The designations of the editor's names give those names back.
        {"UserStandardDST-1UserDaylightDST,M3.5.0,M10.5.0/3", -60, u"User standard DST", Rule(10, 5, 0, 3),
         u"User daylight DST", Rule(3, 5, 0, 2), -60},
    };
    for (const Case& c : cases) {
        const TIME_ZONE_INFORMATION tzi = RecordFromPosixTz(*ParsePosixTz(c.tz), Utc(2025, 6, 1));
        EXPECT_EQ(tzi.Bias, c.bias) << c.tz;
        EXPECT_EQ(tzi.StandardName, Name(c.standardName)) << c.tz;
        EXPECT_EQ(tzi.StandardDate, c.standardDate) << c.tz;
        EXPECT_EQ(tzi.StandardBias, 0) << c.tz;
        EXPECT_EQ(tzi.DaylightName, Name(c.daylightName)) << c.tz;
        EXPECT_EQ(tzi.DaylightDate, c.daylightDate) << c.tz;
        EXPECT_EQ(tzi.DaylightBias, c.daylightBias) << c.tz;
    }
}

TEST(ZoneRecordTest, RecordsGiveTheirRuleAndBack) {
    TIME_ZONE_INFORMATION southern = EditorRecord();
    southern.Bias = -600;
    southern.StandardDate = Rule(4, 1, 0, 3);
    southern.DaylightDate = Rule(10, 1, 0, 2);
    TIME_ZONE_INFORMATION negative = EditorRecord();
    negative.StandardDate = Rule(3, 5, 0, 1);
    negative.DaylightDate = Rule(10, 5, 0, 2);
    negative.DaylightBias = 60;
    TIME_ZONE_INFORMATION fixedDays = EditorRecord();
    fixedDays.StandardDate = Date(2025, 9, 22, 1, 0);
    fixedDays.DaylightDate = Date(2025, 3, 21, 5, 23);
    TIME_ZONE_INFORMATION noDst = EditorRecord();
    noDst.StandardDate = {};
    noDst.DaylightBias = 0;
    noDst.DaylightName = {};
    noDst.DaylightDate = {};
    TIME_ZONE_INFORMATION plainNames = EditorRecord();
    plainNames.StandardName = Name(u"CET");
    plainNames.DaylightName = Name(u"CEST");

    for (const TIME_ZONE_INFORMATION& tzi :
         {EditorRecord(), southern, negative, fixedDays, noDst, plainNames}) {
        const auto tz = PosixTzFromRecord(tzi);
        ASSERT_TRUE(tz.has_value()) << tzi.Bias;
        EXPECT_EQ(RecordFromPosixTz(*tz, Utc(2025, 6, 1)), tzi) << FormatPosixTz(*tz);
    }
    EXPECT_EQ(FormatPosixTz(*PosixTzFromRecord(EditorRecord())),
              "UserStandardDST-1UserDaylightDST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(FormatPosixTz(*PosixTzFromRecord(noDst)), "UserStandardDST-1");
    EXPECT_EQ(FormatPosixTz(*PosixTzFromRecord(fixedDays)), "UserStandardDST-1UserDaylightDST,J80/23,J265/0");
}

TEST(ZoneRecordTest, NamesBecomeDesignationsTheCLibraryAccepts) {
    const struct {
        std::u16string name;
        int32_t utOffsetSeconds;
        const char* designation;
    } cases[] = {
        {u"User standard DST", 3600, "UserStandardDST"},
        {u"User daylight DST", 7200, "UserDaylightDST"},
        {u"CET", 3600, "CET"},
        {u"-03", -10800, "-03"},
        {u"", 0, "+00"},
        {u"", 19800, "+0530"},
        {u"", -12600, "-0330"},
        {u"X", -3600, "-01"},
        {u"Heure d\u2019\u00e9t\u00e9 (Paris)", 7200, "HeureDTParis"},
        {u"\u4e2d\u56fd\u6807\u51c6\u65f6\u95f4", 28800, "+08"},
        {std::u16string(32, u'A'), -28800, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
    };
    for (const auto& c : cases) {
        const std::string designation = DesignationFromName(Name(c.name), c.utOffsetSeconds);
        EXPECT_EQ(designation, c.designation);
        EXPECT_TRUE(IsValidDesignation(designation)) << designation;
    }
}

TEST(ZoneRecordTest, RefusesRecordsWithAFieldOutOfRange) {
    using Patch = void (*)(TIME_ZONE_INFORMATION&);
    const struct {
        const char* what;
        Patch patch;
    } cases[] = {
        {"bias below", [](TIME_ZONE_INFORMATION& t) { t.Bias = -1441; }},
        {"bias above", [](TIME_ZONE_INFORMATION& t) { t.Bias = 1441; }},
        {"standard bias", [](TIME_ZONE_INFORMATION& t) { t.StandardBias = 1441; }},
        {"daylight bias", [](TIME_ZONE_INFORMATION& t) { t.DaylightBias = -1441; }},
        {"standard offset beyond a day", [](TIME_ZONE_INFORMATION& t) { t.Bias = 1440, t.StandardBias = 1; }},
        {"daylight offset beyond a day",
         [](TIME_ZONE_INFORMATION& t) { t.Bias = -1440, t.DaylightBias = -60; }},
        {"standard name without NUL", [](TIME_ZONE_INFORMATION& t) { t.StandardName.fill(u'A'); }},
        {"daylight name without NUL", [](TIME_ZONE_INFORMATION& t) { t.DaylightName.fill(u'A'); }},
        {"standard month 13", [](TIME_ZONE_INFORMATION& t) { t.StandardDate.wMonth = 13; }},
        {"daylight month 0", [](TIME_ZONE_INFORMATION& t) { t.DaylightDate.wMonth = 0; }},
        {"standard week 0", [](TIME_ZONE_INFORMATION& t) { t.StandardDate.wDay = 0; }},
        {"daylight week 6", [](TIME_ZONE_INFORMATION& t) { t.DaylightDate.wDay = 6; }},
        {"weekday 7", [](TIME_ZONE_INFORMATION& t) { t.DaylightDate.wDayOfWeek = 7; }},
        {"hour 24", [](TIME_ZONE_INFORMATION& t) { t.StandardDate.wHour = 24; }},
        {"minute 60", [](TIME_ZONE_INFORMATION& t) { t.DaylightDate.wMinute = 60; }},
        {"second 60", [](TIME_ZONE_INFORMATION& t) { t.DaylightDate.wSecond = 60; }},
        {"milliseconds 1000", [](TIME_ZONE_INFORMATION& t) { t.StandardDate.wMilliseconds = 1000; }},
        {"absolute date 31 April",
         [](TIME_ZONE_INFORMATION& t) { t.DaylightDate = Date(2025, 4, 31, 0, 2); }},
        {"absolute date 29 February 2025",
         [](TIME_ZONE_INFORMATION& t) { t.DaylightDate = Date(2025, 2, 29, 0, 2); }},
        {"absolute date in year 1600",
         [](TIME_ZONE_INFORMATION& t) { t.DaylightDate = Date(1600, 3, 1, 0, 2); }},
        {"no daylight saving, standard week 6",
         [](TIME_ZONE_INFORMATION& t) { t.StandardDate.wMonth = 0, t.StandardDate.wDay = 6; }},
        {"no daylight saving, daylight hour 24",
         [](TIME_ZONE_INFORMATION& t) { t.StandardDate.wMonth = 0, t.DaylightDate.wHour = 24; }},
    };
    ASSERT_TRUE(PosixTzFromRecord(EditorRecord()).has_value());
    for (const auto& c : cases) {
        TIME_ZONE_INFORMATION tzi = EditorRecord();
        c.patch(tzi);
        EXPECT_FALSE(PosixTzFromRecord(tzi).has_value()) << c.what;
    }
    // The bounds themselves pass.
    TIME_ZONE_INFORMATION edge = EditorRecord();
    edge.Bias = 1440;
    edge.DaylightBias = -1440;
    edge.DaylightDate = Rule(12, 5, 6, 23, 59);
    edge.StandardDate = Rule(1, 1, 0, 0, 0);
    EXPECT_TRUE(PosixTzFromRecord(edge).has_value());
    edge.Bias = -1440;
    edge.DaylightBias = 1440;
    EXPECT_TRUE(PosixTzFromRecord(edge).has_value());
    TIME_ZONE_INFORMATION allZero{};
    EXPECT_EQ(FormatPosixTz(*PosixTzFromRecord(allZero)), "<+00>0");
    TIME_ZONE_INFORMATION leapDay = EditorRecord();
    leapDay.DaylightDate = Date(2024, 2, 29, 4, 2);
    EXPECT_EQ(FormatPosixTz(*PosixTzFromRecord(leapDay)), "UserStandardDST-1UserDaylightDST,59,M10.5.0/3");
}

}  // namespace
