#include "timezone/DstInfo.h"

#include <gtest/gtest.h>

#include "tests/support/FakeTimeZoneStore.h"
#include "tests/support/ZoneRecords.h"
#include "timezone/NameConversion.h"

namespace {

TIME_ZONE_INFORMATION Berlin() {
    TIME_ZONE_INFORMATION tzi;
    tzi.Bias = -60;
    tzi.StandardName = NameFromNarrow("CET");
    tzi.StandardDate = Rule(10, 5, 0, 3);
    tzi.DaylightName = NameFromNarrow("CEST");
    tzi.DaylightDate = Rule(3, 5, 0, 2);
    tzi.DaylightBias = -60;
    return tzi;
}

TEST(DstInfoTest, TheReportByteForByte) {
    TIME_ZONE_INFORMATION kolkata;
    kolkata.Bias = -330;
    kolkata.StandardName = NameFromNarrow("IST");
    TIME_ZONE_INFORMATION absolute = Berlin();
    // year, month, weekday, day, hour, minute, second, milliseconds
    absolute.StandardDate = {2025, 9, 1, 22, 0, 30, 0, 0};
    const struct {
        uint32_t status;
        TIME_ZONE_INFORMATION tzi;
        const char* text;
    } cases[] = {
        {TIME_ZONE_ID_STANDARD, Berlin(),
         "Warning: Dates are not realy dates. Please read help.\r\n"
         "Status: Standard time.\r\n"
         "Bias: -60\r\n"
         "Standard Name: CET\r\n"
         "Standard date(yyyy-mm-dd hh:mm): 0000-10-05 03:00. Day of week: 0 \r\n"
         "Standard Bias: 0\r\n"
         "DaylightName Name: CEST\r\n"
         "Daylight date(yyyy-mm-dd hh:mm): 0000-03-05 02:00. Day of week: 0 \r\n"
         "Daylight Bias: -60"},
        {TIME_ZONE_ID_DAYLIGHT, absolute,
         "Warning: Dates are not realy dates. Please read help.\r\n"
         "Status: Daylight time.\r\n"
         "Bias: -60\r\n"
         "Standard Name: CET\r\n"
         "Standard date(yyyy-mm-dd hh:mm): 2025-09-22 00:30. Day of week: 1 \r\n"
         "Standard Bias: 0\r\n"
         "DaylightName Name: CEST\r\n"
         "Daylight date(yyyy-mm-dd hh:mm): 0000-03-05 02:00. Day of week: 0 \r\n"
         "Daylight Bias: -60"},
        {TIME_ZONE_ID_UNKNOWN, kolkata,
         "Warning: Dates are not realy dates. Please read help.\r\n"
         "Status: Time zone is unknown.\r\n"
         "Bias: -330\r\n"
         "Standard Name: IST\r\n"
         "Standard date(yyyy-mm-dd hh:mm): 0000-00-00 00:00. Day of week: 0 \r\n"
         "Standard Bias: 0\r\n"
         "DaylightName Name: \r\n"
         "Daylight date(yyyy-mm-dd hh:mm): 0000-00-00 00:00. Day of week: 0 \r\n"
         "Daylight Bias: 0"},
        {TIME_ZONE_ID_INVALID, TIME_ZONE_INFORMATION{},
         "Warning: Dates are not realy dates. Please read help.\r\n"
         "Status: Bad system time zone information.\r\n"
         "Bias: 0\r\n"
         "Standard Name: \r\n"
         "Standard date(yyyy-mm-dd hh:mm): 0000-00-00 00:00. Day of week: 0 \r\n"
         "Standard Bias: 0\r\n"
         "DaylightName Name: \r\n"
         "Daylight date(yyyy-mm-dd hh:mm): 0000-00-00 00:00. Day of week: 0 \r\n"
         "Daylight Bias: 0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatDSTInfoText(c.status, c.tzi), c.text) << c.status;
        FakeTimeZoneStore store(c.status, c.tzi);
        EXPECT_EQ(GetDSTInfoText(store), c.text) << c.status;
    }
    // Any other status reads as unknown.
    EXPECT_NE(FormatDSTInfoText(7, Berlin()).find("\r\nStatus: Time zone is unknown.\r\n"),
              std::string::npos);
}

TEST(DstInfoTest, WideValuesPrintAsTheyAre) {
    TIME_ZONE_INFORMATION tzi;
    tzi.Bias = 1440;
    tzi.StandardBias = -1440;
    tzi.DaylightBias = 2147483647;
    tzi.StandardDate = {65535, 65535, 65535, 65535, 65535, 65535, 0, 0};
    const std::string text = FormatDSTInfoText(TIME_ZONE_ID_STANDARD, tzi);
    EXPECT_NE(text.find("\r\nBias: 1440\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nStandard Bias: -1440\r\n"), std::string::npos);
    EXPECT_NE(
        text.find(
            "\r\nStandard date(yyyy-mm-dd hh:mm): 65535-65535-65535 65535:65535. Day of week: 65535 \r\n"),
        std::string::npos);
    EXPECT_TRUE(text.ends_with("\r\nDaylight Bias: 2147483647"));
}

}  // namespace
