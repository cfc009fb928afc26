#include "platform/SystemTime.h"

namespace {

bool IsLeapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool IsValidSystemTime(const SYSTEMTIME& st) {
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12) {
        return false;
    }
    return st.wDay >= 1 && st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour <= 23 &&
           st.wMinute <= 59 && st.wSecond <= 59 && st.wMilliseconds <= 999;
}

double SecondsBetween(const ClockTime& a, const ClockTime& b) {
    return static_cast<double>(a.seconds - b.seconds) + (a.nanoseconds - b.nanoseconds) * 1e-9;
}

ClockTime AddSecondsTo(const ClockTime& a, double seconds) {
    const double whole = seconds < 0 ? -static_cast<double>(static_cast<int64_t>(-seconds))
                                     : static_cast<double>(static_cast<int64_t>(seconds));
    int64_t ns = a.nanoseconds + static_cast<int64_t>((seconds - whole) * 1e9 + (seconds < 0 ? -0.5 : 0.5));
    int64_t s = a.seconds + static_cast<int64_t>(whole);
    while (ns < 0) {
        ns += 1000000000;
        --s;
    }
    while (ns >= 1000000000) {
        ns -= 1000000000;
        ++s;
    }
    return {s, static_cast<int32_t>(ns)};
}

// Civil-date arithmetic after H. Hinnant's public-domain days_from_civil.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& year, unsigned& month, unsigned& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2);
}

SYSTEMTIME SystemTimeFromClock(const ClockTime& t) {
    int64_t days = t.seconds / 86400;
    int64_t rest = t.seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    SYSTEMTIME st;
    st.wYear = static_cast<uint16_t>(year);
    st.wMonth = static_cast<uint16_t>(month);
    st.wDay = static_cast<uint16_t>(day);
    st.wDayOfWeek = static_cast<uint16_t>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    st.wHour = static_cast<uint16_t>(rest / 3600);
    st.wMinute = static_cast<uint16_t>(rest / 60 % 60);
    st.wSecond = static_cast<uint16_t>(rest % 60);
    st.wMilliseconds = static_cast<uint16_t>(t.nanoseconds / 1000000);
    return st;
}

ClockTime ClockFromSystemTime(const SYSTEMTIME& st) {
    const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay);
    return {days * 86400 + st.wHour * 3600 + st.wMinute * 60 + st.wSecond,
            static_cast<int32_t>(st.wMilliseconds) * 1000000};
}
