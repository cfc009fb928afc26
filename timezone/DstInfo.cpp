#include "timezone/DstInfo.h"

#include <cstdio>
#include <string_view>

#include "timezone/NameConversion.h"

namespace {

std::string_view StatusLine(uint32_t status) {
    switch (status) {
        case TIME_ZONE_ID_INVALID:
            return "Status: Bad system time zone information.";
        case TIME_ZONE_ID_STANDARD:
            return "Status: Standard time.";
        case TIME_ZONE_ID_DAYLIGHT:
            return "Status: Daylight time.";
        default:
            return "Status: Time zone is unknown.";
    }
}

std::string DateLine(const char* label, const SYSTEMTIME& date) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s date(yyyy-mm-dd hh:mm): %04d-%02d-%02d %02d:%02d. Day of week: %d ",
                  label, static_cast<int>(date.wYear), static_cast<int>(date.wMonth),
                  static_cast<int>(date.wDay), static_cast<int>(date.wHour), static_cast<int>(date.wMinute),
                  static_cast<int>(date.wDayOfWeek));
    return buf;
}

std::string NumberLine(const char* label, int32_t value) {
    return std::string(label) + std::to_string(value);
}

}  // namespace

std::string FormatDSTInfoText(uint32_t status, const TIME_ZONE_INFORMATION& tzi) {
    const std::string lines[] = {
        "Warning: Dates are not realy dates. Please read help.",
        std::string(StatusLine(status)),
        NumberLine("Bias: ", tzi.Bias),
        "Standard Name: " + NarrowFromName(tzi.StandardName),
        DateLine("Standard", tzi.StandardDate),
        NumberLine("Standard Bias: ", tzi.StandardBias),
        "DaylightName Name: " + NarrowFromName(tzi.DaylightName),
        DateLine("Daylight", tzi.DaylightDate),
        NumberLine("Daylight Bias: ", tzi.DaylightBias),
    };
    std::string text;
    for (const std::string& line : lines) {
        if (!text.empty()) {
            text += "\r\n";
        }
        text += line;
    }
    return text;
}

std::string GetDSTInfoText(const TimeZoneStore& store) {
    const TimeZoneQuery zone = store.query();
    return FormatDSTInfoText(zone.status, zone.info);
}
