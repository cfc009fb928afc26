#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/PosixTimeZone.h"

// The TZif zone files of the time-zone database (versions 1 to 4).

struct TzifLocalTimeType {
    int32_t utOffsetSeconds = 0;  // local time - UTC
    bool isDst = false;
    std::string designation;

    bool operator==(const TzifLocalTimeType&) const = default;
};

struct TzifData {
    int version = 0;                       // 1..4
    std::vector<int64_t> transitionsUtc;   // seconds since 1970, increasing
    std::vector<uint8_t> transitionTypes;  // index into types, one per transition
    std::vector<TzifLocalTimeType> types;
    std::string footer;  // the TZ string after the data (empty: none, or version 1)
};

// Files larger than this are not zone files.
constexpr std::size_t kMaxTzifSize = 1 << 20;

// nullopt for anything that is not a complete, consistent TZif file.
std::optional<TzifData> ParseTzif(std::span<const uint8_t> bytes);

// The zone a file describes from now on: its footer, or for a file without
// one the local time type of its last transition, as a zone without daylight
// saving. nullopt when the footer does not parse, or when that type could not
// stand in a TZ string (a designation of fewer than three letters, digits, '+'
// or '-', or an offset beyond 24:59:59).
std::optional<PosixTz> ZoneRuleOfTzif(const TzifData& data);

// A TZif file for a zone rule: version 2, or 3 when a change time lies outside
// 0..24 h. Besides the footer it carries the zone's transitions from 1970 to
// 2037 (at least one, at 1970-01-01 00:00 UTC: the C library reads the footer
// only of files with transitions), in both the 32-bit and the 64-bit block.
std::vector<uint8_t> BuildTzif(const PosixTz& tz);

// The local time type a file gives for a UTC instant, as the C library reads
// it: the type of the last transition at or before it; from the last
// transition on, the footer's rule (when there is one); before the first, the
// first standard type.
TzifLocalTimeType TzifTypeAt(const TzifData& data, int64_t utcSeconds);

// 00:00 local time of 1 January of the year of an instant, by a zone file.
int64_t StartOfLocalYear(const TzifData& data, int64_t utcSeconds);

// A TZif file for a rule that keeps another zone's past: every transition of
// `past` before the start of the current year (local time of that zone, the
// years its footer covers written out), then from there on the rule's
// transitions to 2037 and the rule as footer. The C library's reading of every
// instant before that start is the same as with `past`.
std::vector<uint8_t> BuildTzifKeepingPast(const TzifData& past, const PosixTz& tz, int64_t nowUtcSeconds);
