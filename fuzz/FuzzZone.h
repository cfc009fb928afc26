#pragma once

#include <cstdint>
#include <optional>

#include "fuzz/FuzzCheck.h"
#include "platform/PosixTimeZone.h"
#include "platform/TimeZoneInformation.h"
#include "platform/TzifFile.h"
#include "platform/ZoneRecord.h"

// What the program does with a zone rule once it has read one: writes its TZ
// string, reads it back, finds its changes, makes the time-zone record of it
// and, from a record, the zone file that is written.

// 2024-06-01 00:00:00 UTC: picks the year of fixed-day rules in a record.
constexpr int64_t kFuzzNowUtcSeconds = 1717200000;

// A zone file built for a rule must read back as a file with that rule.
inline void CheckBuiltTzif(const PosixTz& tz) {
    const std::vector<uint8_t> file = BuildTzif(tz);
    const std::optional<TzifData> data = ParseTzif(file);
    FUZZ_CHECK(data.has_value());
    FUZZ_CHECK(!data->transitionsUtc.empty());
    const std::optional<PosixTz> back = ZoneRuleOfTzif(*data);
    FUZZ_CHECK(back.has_value() && *back == tz);
}

inline void ExerciseZoneRule(const PosixTz& tz) {
    const std::optional<PosixTz> reread = ParsePosixTz(FormatPosixTz(tz));
    FUZZ_CHECK(reread.has_value() && *reread == tz);
    (void)NeedsTzifVersion3(tz);
    for (const int64_t utc :
         {int64_t{0}, int64_t{-2208988800}, kFuzzNowUtcSeconds, int64_t{2147483647}, int64_t{4102444800}}) {
        (void)IsDaylightAt(tz, utc);
    }
    if (tz.hasDst) {
        for (const int64_t year : {1970, 2024, 2037}) {
            (void)RuleInstantUtc(tz.start, year, tz.stdUtOffsetSeconds);
            (void)RuleInstantUtc(tz.end, year, tz.dstUtOffsetSeconds);
        }
    }
    // The record of the system zone, as the program reads it; written back it
    // becomes a zone file of its own.
    const TIME_ZONE_INFORMATION record = RecordFromPosixTz(tz, kFuzzNowUtcSeconds);
    (void)DesignationFromName(record.StandardName, tz.stdUtOffsetSeconds);
    (void)DesignationFromName(record.DaylightName, tz.dstUtOffsetSeconds);
    if (const std::optional<PosixTz> written = PosixTzFromRecord(record)) {
        CheckBuiltTzif(*written);
    }
}
