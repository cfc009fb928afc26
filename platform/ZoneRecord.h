#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/PosixTimeZone.h"
#include "platform/TimeZoneInformation.h"

// Between the zone rules of the TZ strings and the time-zone record.
//
// Bias = -(standard offset east of UTC) in minutes, StandardBias = 0,
// DaylightBias = -(daylight offset - standard offset); DaylightDate is the
// change into daylight time (local standard time), StandardDate the change
// back (local daylight time). The names are the designations.
//
// What the record cannot hold is mapped as closely as it can be:
// - a change time outside 0..23 h (America/Nuuk "M3.5.0/-1", Asia/Gaza
//   "M10.4.4/50") keeps its time of day and moves its weekday by the whole days:
//   "M3.5.0/-1" becomes the last Saturday at 23:00. This is the exact day
//   except in the years where the shifted day falls into another week of the
//   month (for "M3.5.0/-1": a March that ends on a Saturday).
// - a fixed day of the year (Jn, n) becomes an absolute date of the current
//   year (wYear set), exact for this year.
// - offsets and times are kept to the minute; seconds of a change time go to wSecond.

// The record of a zone rule. nowUtcSeconds picks the year for fixed days.
TIME_ZONE_INFORMATION RecordFromPosixTz(const PosixTz& tz, int64_t nowUtcSeconds);

// The zone rule of a record, or nullopt when a field is out of its range:
// biases -1440..1440 min and offsets from UTC of at most 24 h; names
// NUL-terminated; a change date in rule form (wYear 0: month 1..12, week 1..5,
// weekday 0..6) or an absolute date (year 1601..30827, a real day); hour,
// minute, second and milliseconds in their clock ranges. StandardDate month 0
// (with week 0) is a zone without daylight saving, whose DaylightDate is then
// ignored once in range. An absolute date is written as the same day of every
// year (J form; 29 February as day 59 counted from 0).
std::optional<PosixTz> PosixTzFromRecord(const TIME_ZONE_INFORMATION& tzi);

// The designation a name becomes in a zone file: the runs of letters, digits,
// '+' and '-' of the name, each after the first starting with a capital
// ("User standard DST" -> "UserStandardDST"), at most 31 characters; when
// fewer than three remain, the offset in the database's numeric style
// ("+01", "-0330").
std::string DesignationFromName(const std::array<char16_t, 32>& name, int32_t utOffsetSeconds);
// The name a designation stands for: the designation itself, except the two
// designations made from the editor's fixed names, which give those names back.
std::array<char16_t, 32> NameFromDesignation(const std::string& designation);
