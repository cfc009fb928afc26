#pragma once

#include <array>
#include <compare>
#include <cstdint>

#include "platform/SystemClock.h"
#include "platform/SystemTime.h"

// An SNTP timestamp: whole seconds since 1900-01-01 00:00:00 UTC in the high 32
// bits, the fraction of a second in units of 2^-32 s in the low 32 bits. Held
// in host order as one number, so that comparison and subtraction work on the
// whole value. Only era 0 exists: times before 1900 and from
// 2036-02-07 06:28:16 UTC on wrap around modulo 2^32 seconds.
//
// Every floating-point conversion of the fraction takes 4294967295 (2^32 - 1)
// as one second; MillisecondFractions and the exact ClockTime conversions use 2^32.
class CSNTPTimestamp {
public:
    constexpr CSNTPTimestamp() = default;
    constexpr explicit CSNTPTimestamp(uint64_t value) : m_value(value) {}
    constexpr CSNTPTimestamp(uint32_t seconds, uint32_t fraction)
        : m_value(static_cast<uint64_t>(seconds) << 32 | fraction) {}

    constexpr uint64_t Value() const { return m_value; }
    constexpr uint32_t Seconds() const { return static_cast<uint32_t>(m_value >> 32); }
    constexpr uint32_t Fraction() const { return static_cast<uint32_t>(m_value); }

    // The UTC clock with its full precision.
    static CSNTPTimestamp Now(const SystemClock& clock);

    // From a UTC calendar time; the day of the week is ignored. Milliseconds
    // above 999 carry into the seconds.
    static CSNTPTimestamp FromSystemTime(const SYSTEMTIME& utc);
    // To a UTC calendar time with the nearest millisecond (halves up). A
    // fraction that rounds to 1000 ms gives the next second with 0 ms.
    SYSTEMTIME ToSystemTime() const;

    // Exact to the nanosecond both ways, for reading and setting the clock.
    // ToClockTime reads the seconds as era 0 (1900 to 2036).
    static CSNTPTimestamp FromClockTime(const ClockTime& utc);
    ClockTime ToClockTime() const;

    // This minus other, in seconds: negative when this is the earlier one.
    double SecondsSince(const CSNTPTimestamp& other) const;
    // Moved by a signed number of seconds, modulo 2^64.
    CSNTPTimestamp AddSeconds(double seconds) const;

    // The 8 wire bytes: seconds word then fraction word, each big-endian.
    std::array<uint8_t, 8> ToNetwork() const;
    static CSNTPTimestamp FromNetwork(const uint8_t* bytes);

    constexpr auto operator<=>(const CSNTPTimestamp&) const = default;

private:
    uint64_t m_value = 0;
};

// Entry i is i * 2^32 / 1000 rounded to the nearest integer: the fraction word
// of i milliseconds.
extern const std::array<uint32_t, 1000> MillisecondFractions;

// Seconds between 1900-01-01 (SNTP) and 1970-01-01 (the system clock).
constexpr int64_t kSntpToUnixSeconds = 2208988800;

// A Gregorian date as year, month 1..12 and day 1..31.
struct CalendarDate {
    int64_t year = 0;
    int64_t month = 0;
    int64_t day = 0;

    bool operator==(const CalendarDate&) const = default;
};

// Gregorian date to and from the Julian Day Number (1900-01-01 is 2415021),
// through the platform's civil-day arithmetic.
int64_t DateToDayNumber(int64_t year, int64_t month, int64_t day);
CalendarDate DayNumberToDate(int64_t dayNumber);
