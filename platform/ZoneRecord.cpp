#include "platform/ZoneRecord.h"

#include <cstdio>

namespace {

constexpr int32_t kMaxBiasMinutes = 1440;

struct FixedName {
    const char16_t* name;
    const char* designation;
};
// The editor gives every zone it writes these two names.
constexpr FixedName kFixedNames[] = {{u"User standard DST", "UserStandardDST"},
                                     {u"User daylight DST", "UserDaylightDST"}};

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

bool IsLeap(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(int64_t year, unsigned month) {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

SYSTEMTIME DateOfRule(const PosixTzRule& rule, int64_t nowYear) {
    SYSTEMTIME st;
    const int64_t dayShift = FloorDiv(rule.timeSeconds, 86400);
    const int64_t timeOfDay = rule.timeSeconds - dayShift * 86400;
    st.wHour = static_cast<uint16_t>(timeOfDay / 3600);
    st.wMinute = static_cast<uint16_t>(timeOfDay / 60 % 60);
    st.wSecond = static_cast<uint16_t>(timeOfDay % 60);
    if (rule.kind == PosixTzRule::Kind::MonthWeekDay) {
        st.wMonth = static_cast<uint16_t>(rule.month);
        st.wDay = static_cast<uint16_t>(rule.week);
        st.wDayOfWeek = static_cast<uint16_t>(((rule.weekday + dayShift) % 7 + 7) % 7);
        return st;
    }
    const int64_t day = RuleLocalDay(rule, nowYear) + dayShift;
    int64_t year = 0;
    unsigned month = 0, dayOfMonth = 0;
    CivilFromDays(day, year, month, dayOfMonth);
    st.wYear = static_cast<uint16_t>(year);
    st.wMonth = static_cast<uint16_t>(month);
    st.wDay = static_cast<uint16_t>(dayOfMonth);
    st.wDayOfWeek = static_cast<uint16_t>(((day % 7) + 11) % 7);
    return st;
}

bool TimeOfDayInRange(const SYSTEMTIME& st) {
    return st.wDayOfWeek <= 6 && st.wHour <= 23 && st.wMinute <= 59 && st.wSecond <= 59 &&
           st.wMilliseconds <= 999;
}

// nullopt for a date out of range; month 0 is left to the caller.
std::optional<PosixTzRule> RuleOfDate(const SYSTEMTIME& st) {
    if (!TimeOfDayInRange(st) || st.wMonth < 1 || st.wMonth > 12) {
        return std::nullopt;
    }
    PosixTzRule rule;
    rule.timeSeconds = st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
    if (st.wYear == 0) {
        if (st.wDay < 1 || st.wDay > 5) {
            return std::nullopt;
        }
        rule.month = st.wMonth;
        rule.week = st.wDay;
        rule.weekday = st.wDayOfWeek;
        return rule;
    }
    if (st.wYear < 1601 || st.wYear > 30827 || st.wDay < 1 || st.wDay > DaysInMonth(st.wYear, st.wMonth)) {
        return std::nullopt;
    }
    if (st.wMonth == 2 && st.wDay == 29) {
        rule.kind = PosixTzRule::Kind::ZeroBasedDay;
        rule.day = 59;
        return rule;
    }
    // Day of a year without 29 February.
    rule.kind = PosixTzRule::Kind::Julian;
    rule.day = static_cast<int>(DaysFromCivil(2001, st.wMonth, st.wDay) - DaysFromCivil(2001, 1, 1) + 1);
    return rule;
}

bool IsTerminated(const std::array<char16_t, 32>& name) {
    for (char16_t c : name) {
        if (c == 0) {
            return true;
        }
    }
    return false;
}

bool BiasInRange(int32_t minutes) {
    return minutes >= -kMaxBiasMinutes && minutes <= kMaxBiasMinutes;
}

std::string NumericDesignation(int32_t utOffsetSeconds) {
    const int32_t minutes = (utOffsetSeconds < 0 ? -utOffsetSeconds : utOffsetSeconds) / 60;
    char buf[16];
    if (minutes % 60 == 0) {
        std::snprintf(buf, sizeof buf, "%c%02d", utOffsetSeconds < 0 ? '-' : '+', minutes / 60);
    } else {
        std::snprintf(buf, sizeof buf, "%c%02d%02d", utOffsetSeconds < 0 ? '-' : '+', minutes / 60,
                      minutes % 60);
    }
    return buf;
}

}  // namespace

TIME_ZONE_INFORMATION RecordFromPosixTz(const PosixTz& tz, int64_t nowUtcSeconds) {
    TIME_ZONE_INFORMATION tzi;
    tzi.Bias = -tz.stdUtOffsetSeconds / 60;
    tzi.StandardName = NameFromDesignation(tz.stdName);
    if (!tz.hasDst) {
        return tzi;
    }
    int64_t nowYear = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(FloorDiv(nowUtcSeconds + tz.stdUtOffsetSeconds, 86400), nowYear, month, day);
    tzi.DaylightBias = -(tz.dstUtOffsetSeconds - tz.stdUtOffsetSeconds) / 60;
    tzi.DaylightName = NameFromDesignation(tz.dstName);
    tzi.DaylightDate = DateOfRule(tz.start, nowYear);
    tzi.StandardDate = DateOfRule(tz.end, nowYear);
    return tzi;
}

std::optional<PosixTz> PosixTzFromRecord(const TIME_ZONE_INFORMATION& tzi) {
    if (!BiasInRange(tzi.Bias) || !BiasInRange(tzi.StandardBias) || !BiasInRange(tzi.DaylightBias) ||
        !BiasInRange(tzi.Bias + tzi.StandardBias) || !IsTerminated(tzi.StandardName) ||
        !IsTerminated(tzi.DaylightName)) {
        return std::nullopt;
    }
    PosixTz tz;
    tz.stdUtOffsetSeconds = -(tzi.Bias + tzi.StandardBias) * 60;
    tz.stdName = DesignationFromName(tzi.StandardName, tz.stdUtOffsetSeconds);
    const SYSTEMTIME& daylight = tzi.DaylightDate;
    if (tzi.StandardDate.wMonth == 0 && tzi.StandardDate.wYear == 0) {
        // No daylight saving: the rest of both dates must still be in range.
        const SYSTEMTIME& standard = tzi.StandardDate;
        const bool daylightUnused = daylight.wYear == 0 && daylight.wMonth == 0 && daylight.wDay <= 5;
        if (standard.wDay > 5 || !TimeOfDayInRange(standard) || (!daylightUnused && !RuleOfDate(daylight)) ||
            !TimeOfDayInRange(daylight)) {
            return std::nullopt;
        }
        return tz;
    }
    const auto start = RuleOfDate(daylight);
    const auto end = RuleOfDate(tzi.StandardDate);
    if (!start || !end || !BiasInRange(tzi.Bias + tzi.DaylightBias)) {
        return std::nullopt;
    }
    tz.hasDst = true;
    tz.dstUtOffsetSeconds = -(tzi.Bias + tzi.DaylightBias) * 60;
    tz.dstName = DesignationFromName(tzi.DaylightName, tz.dstUtOffsetSeconds);
    tz.start = *start;
    tz.end = *end;
    return tz;
}

std::string DesignationFromName(const std::array<char16_t, 32>& name, int32_t utOffsetSeconds) {
    std::string out;
    bool newWord = false;
    for (char16_t c : name) {
        if (c == 0) {
            break;
        }
        const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
        const bool kept = letter || (c >= u'0' && c <= u'9') || c == u'+' || c == u'-';
        if (!kept) {
            newWord = !out.empty();
            continue;
        }
        char ch = static_cast<char>(c);
        if (newWord && ch >= 'a' && ch <= 'z') {
            ch = static_cast<char>(ch - 'a' + 'A');
        }
        newWord = false;
        out += ch;
    }
    if (out.size() > 31) {
        out.resize(31);
    }
    return IsValidDesignation(out) ? out : NumericDesignation(utOffsetSeconds);
}

std::array<char16_t, 32> NameFromDesignation(const std::string& designation) {
    std::array<char16_t, 32> name{};
    for (const FixedName& fixed : kFixedNames) {
        if (designation == fixed.designation) {
            for (std::size_t i = 0; fixed.name[i] != 0; ++i) {
                name[i] = fixed.name[i];
            }
            return name;
        }
    }
    // Designations are ASCII; anything else in a file is kept as Latin-1, cut to fit.
    for (std::size_t i = 0; i < designation.size() && i < name.size() - 1; ++i) {
        name[i] = static_cast<unsigned char>(designation[i]);
    }
    return name;
}
