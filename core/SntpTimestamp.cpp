#include "core/SntpTimestamp.h"

#include <cmath>

namespace {

constexpr double kFractionsPerSecond = 4294967295.0;  // 2^32 - 1: the program's floating-point second
constexpr uint64_t kNanosecondsPerSecond = 1000000000;
constexpr int64_t kDayNumberOf1900 = 2415021;
constexpr int64_t kDayNumberOf1970 = 2440588;

constexpr std::array<uint32_t, 1000> BuildMillisecondFractions() {
    std::array<uint32_t, 1000> table{};
    for (uint64_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<uint32_t>(((i << 32) + 500) / 1000);
    }
    return table;
}

}  // namespace

const std::array<uint32_t, 1000> MillisecondFractions = BuildMillisecondFractions();

int64_t DateToDayNumber(int64_t year, int64_t month, int64_t day) {
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + kDayNumberOf1970;
}

CalendarDate DayNumberToDate(int64_t dayNumber) {
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(dayNumber - kDayNumberOf1970, year, month, day);
    return {year, month, day};
}

CSNTPTimestamp CSNTPTimestamp::Now(const SystemClock& clock) {
    return FromClockTime(clock.Now());
}

CSNTPTimestamp CSNTPTimestamp::FromSystemTime(const SYSTEMTIME& utc) {
    // An out-of-range millisecond count must not index past the table.
    const int64_t carrySeconds = utc.wMilliseconds / 1000;
    const unsigned milliseconds = utc.wMilliseconds % 1000;
    const int64_t days = DateToDayNumber(utc.wYear, utc.wMonth, utc.wDay) - kDayNumberOf1900;
    const int64_t seconds = ((days * 24 + utc.wHour) * 60 + utc.wMinute) * 60 + utc.wSecond + carrySeconds;
    // Only the low 32 bits of the seconds survive: era 0 wraps.
    return CSNTPTimestamp((static_cast<uint64_t>(seconds) << 32) + MillisecondFractions[milliseconds]);
}

SYSTEMTIME CSNTPTimestamp::ToSystemTime() const {
    uint64_t seconds = Seconds();
    auto milliseconds = static_cast<uint64_t>(Fraction() * 1000.0 / kFractionsPerSecond + 0.5);
    if (milliseconds >= 1000) {
        // 1000 ms is no valid calendar time: it is the start of the next second.
        milliseconds -= 1000;
        ++seconds;
    }
    const uint64_t days = seconds / 86400;
    const CalendarDate date = DayNumberToDate(static_cast<int64_t>(days) + kDayNumberOf1900);
    SYSTEMTIME st;
    st.wYear = static_cast<uint16_t>(date.year);
    st.wMonth = static_cast<uint16_t>(date.month);
    st.wDay = static_cast<uint16_t>(date.day);
    st.wDayOfWeek = static_cast<uint16_t>((days + kDayNumberOf1900 + 1) % 7);  // 1900-01-01 was a Monday
    st.wHour = static_cast<uint16_t>(seconds / 3600 % 24);
    st.wMinute = static_cast<uint16_t>(seconds / 60 % 60);
    st.wSecond = static_cast<uint16_t>(seconds % 60);
    st.wMilliseconds = static_cast<uint16_t>(milliseconds);
    return st;
}

CSNTPTimestamp CSNTPTimestamp::FromClockTime(const ClockTime& utc) {
    int64_t seconds = utc.seconds;
    int64_t nanoseconds = utc.nanoseconds;
    if (nanoseconds < 0 || nanoseconds >= static_cast<int64_t>(kNanosecondsPerSecond)) {
        const int64_t carry = nanoseconds / static_cast<int64_t>(kNanosecondsPerSecond) - (nanoseconds < 0);
        seconds += carry;
        nanoseconds -= carry * static_cast<int64_t>(kNanosecondsPerSecond);
    }
    const auto sntpSeconds = static_cast<uint32_t>(static_cast<uint64_t>(seconds + kSntpToUnixSeconds));
    const auto fraction = static_cast<uint32_t>(
        ((static_cast<uint64_t>(nanoseconds) << 32) + kNanosecondsPerSecond / 2) / kNanosecondsPerSecond);
    return CSNTPTimestamp(sntpSeconds, fraction);
}

ClockTime CSNTPTimestamp::ToClockTime() const {
    int64_t seconds = static_cast<int64_t>(Seconds()) - kSntpToUnixSeconds;
    uint64_t nanoseconds = (static_cast<uint64_t>(Fraction()) * kNanosecondsPerSecond + (1ULL << 31)) >> 32;
    if (nanoseconds == kNanosecondsPerSecond) {
        nanoseconds = 0;
        ++seconds;
    }
    return {seconds, static_cast<int32_t>(nanoseconds)};
}

double CSNTPTimestamp::SecondsSince(const CSNTPTimestamp& other) const {
    const bool earlier = m_value < other.m_value;
    const uint64_t difference = earlier ? other.m_value - m_value : m_value - other.m_value;
    const double seconds = static_cast<double>(static_cast<uint32_t>(difference >> 32)) +
                           static_cast<double>(static_cast<uint32_t>(difference)) / kFractionsPerSecond;
    return earlier ? -seconds : seconds;
}

CSNTPTimestamp CSNTPTimestamp::AddSeconds(double seconds) const {
    if (!std::isfinite(seconds)) {
        return *this;
    }
    const bool backwards = seconds < 0;
    const double magnitude = backwards ? -seconds : seconds;
    const double whole = std::trunc(magnitude);
    // Only the whole seconds modulo 2^32 reach the 64-bit result; reducing
    // first keeps the conversion to an integer defined for any magnitude.
    const auto wholeWord = static_cast<uint64_t>(std::fmod(whole, 4294967296.0));
    const uint64_t step =
        (wholeWord << 32) + static_cast<uint64_t>((magnitude - whole) * kFractionsPerSecond);
    return CSNTPTimestamp(backwards ? m_value - step : m_value + step);
}

std::array<uint8_t, 8> CSNTPTimestamp::ToNetwork() const {
    std::array<uint8_t, 8> bytes{};
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(m_value >> (56 - 8 * i));
    }
    return bytes;
}

CSNTPTimestamp CSNTPTimestamp::FromNetwork(const uint8_t* bytes) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = value << 8 | bytes[i];
    }
    return CSNTPTimestamp(value);
}
