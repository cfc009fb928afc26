#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A zone rule in the POSIX TZ form that ends every TZif file of version 2 and
// later ("CET-1CEST,M3.5.0,M10.5.0/3"), including the version 3 extension
// that lets change times run from -167 h to +167 h.

// When one yearly change happens.
struct PosixTzRule {
    enum class Kind {
        MonthWeekDay,  // Mm.w.d: weekday d (0 = Sunday) of week w (1..5, 5 = last) of month m
        Julian,        // Jn: day n of the year, 1..365, 29 February never counted
        ZeroBasedDay,  // n: day n of the year, 0..365, 29 February counted
    };
    Kind kind = Kind::MonthWeekDay;
    int month = 0;
    int week = 0;
    int weekday = 0;
    int day = 0;  // Julian and ZeroBasedDay
    // Local time of the change, seconds after midnight of the day above; may be
    // negative or a day or more (the day then moves).
    int32_t timeSeconds = 2 * 3600;

    bool operator==(const PosixTzRule&) const = default;
};

struct PosixTz {
    std::string stdName;
    int32_t stdUtOffsetSeconds = 0;  // local standard time - UTC: positive east of Greenwich
    bool hasDst = false;
    std::string dstName;
    int32_t dstUtOffsetSeconds = 0;  // local daylight time - UTC
    PosixTzRule start;               // into daylight time, in local standard time
    PosixTzRule end;                 // back to standard time, in local daylight time

    bool operator==(const PosixTz&) const = default;
};

// nullopt for a text that is not a TZ string glibc would accept.
std::optional<PosixTz> ParsePosixTz(std::string_view text);
// The TZ string of a zone: names quoted where they must be, times omitted when they are 02:00.
std::string FormatPosixTz(const PosixTz& tz);
// True when a designation can stand in a TZ string: three or more of A-Z a-z 0-9 + -.
bool IsValidDesignation(std::string_view name);
// True when a change time lies outside 0..24 h, which only TZif version 3 and later allow.
bool NeedsTzifVersion3(const PosixTz& tz);

// The UTC instant (seconds since 1970) at which a rule fires in a year, given
// the offset from UTC in force just before it.
int64_t RuleInstantUtc(const PosixTzRule& rule, int64_t year, int32_t utOffsetBeforeSeconds);
// The local day (days since 1970-01-01) of a rule in a year, before its time is added.
int64_t RuleLocalDay(const PosixTzRule& rule, int64_t year);
// Whether daylight time is in force at a UTC instant.
bool IsDaylightAt(const PosixTz& tz, int64_t utcSeconds);
