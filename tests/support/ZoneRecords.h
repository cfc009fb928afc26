#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "platform/TimeZoneInformation.h"

// Building blocks of zone records for the zone tests.

// A zone name from UTF-16 text, cut to the record's 32 units.
inline std::array<char16_t, 32> Name(const std::u16string& text) {
    std::array<char16_t, 32> name{};
    std::copy(text.begin(), text.begin() + static_cast<long>(std::min(text.size(), name.size())),
              name.begin());
    return name;
}

// A yearly change rule: the week-th weekday (5 = last) of the month, at hour:minute local time.
inline SYSTEMTIME Rule(uint16_t month, uint16_t week, uint16_t weekday, uint16_t hour, uint16_t minute = 0) {
    SYSTEMTIME st;
    st.wMonth = month;
    st.wDay = week;
    st.wDayOfWeek = weekday;
    st.wHour = hour;
    st.wMinute = minute;
    return st;
}

// What the DST editor writes for central Europe: the fixed names and the EU rules.
inline TIME_ZONE_INFORMATION EditorRecord() {
    TIME_ZONE_INFORMATION tzi;
    tzi.Bias = -60;
    tzi.StandardName = Name(u"User standard DST");
    tzi.StandardDate = Rule(10, 5, 0, 3);
    tzi.DaylightName = Name(u"User daylight DST");
    tzi.DaylightDate = Rule(3, 5, 0, 2);
    tzi.DaylightBias = -60;
    return tzi;
}
