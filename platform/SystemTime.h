#pragma once

#include <compare>
#include <cstdint>

// Calendar time, field for field as the program stores and shows it. Whether a
// value is UTC or local time is said by whoever holds it.
struct SYSTEMTIME {
    uint16_t wYear = 0;
    uint16_t wMonth = 0;      // 1..12
    uint16_t wDayOfWeek = 0;  // 0 = Sunday
    uint16_t wDay = 0;        // 1..31
    uint16_t wHour = 0;
    uint16_t wMinute = 0;
    uint16_t wSecond = 0;
    uint16_t wMilliseconds = 0;

    bool operator==(const SYSTEMTIME&) const = default;
};

// True when every field lies in the range a clock can be set to (the day of
// the week is not checked: it is derived, never trusted).
bool IsValidSystemTime(const SYSTEMTIME& st);

// An instant on the UTC clock with the clock's full precision: seconds and
// nanoseconds since 1970-01-01 00:00:00 UTC. nanoseconds is always 0..999999999.
struct ClockTime {
    int64_t seconds = 0;
    int32_t nanoseconds = 0;

    bool operator==(const ClockTime&) const = default;
    auto operator<=>(const ClockTime&) const = default;
};

// Seconds between two instants, a - b.
double SecondsBetween(const ClockTime& a, const ClockTime& b);
// a moved by a signed number of seconds, kept normalised.
ClockTime AddSecondsTo(const ClockTime& a, double seconds);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);

// A UTC calendar time of an instant (milliseconds truncated), with its weekday.
SYSTEMTIME SystemTimeFromClock(const ClockTime& t);
// The instant of a calendar time read as UTC; the weekday is ignored.
ClockTime ClockFromSystemTime(const SYSTEMTIME& st);
