#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/SystemTime.h"

// The time-zone record: the zone's offsets and its two yearly change rules.
// UTC = local time + Bias (minutes). A change date with wYear 0 is a yearly
// rule: wMonth, wDayOfWeek (0 = Sunday), wDay = occurrence 1..5 (5 = last),
// wHour:wMinute local time. StandardDate.wMonth 0 means no daylight saving.
struct TIME_ZONE_INFORMATION {
    int32_t Bias = 0;
    std::array<char16_t, 32> StandardName{};
    SYSTEMTIME StandardDate{};
    int32_t StandardBias = 0;
    std::array<char16_t, 32> DaylightName{};
    SYSTEMTIME DaylightDate{};
    int32_t DaylightBias = 0;

    bool operator==(const TIME_ZONE_INFORMATION&) const = default;
};

// Zone status of a query.
constexpr uint32_t TIME_ZONE_ID_UNKNOWN = 0;
constexpr uint32_t TIME_ZONE_ID_STANDARD = 1;
constexpr uint32_t TIME_ZONE_ID_DAYLIGHT = 2;
constexpr uint32_t TIME_ZONE_ID_INVALID = 0xFFFFFFFF;

// The stored form: the record byte for byte, little-endian, 172 bytes.
constexpr std::size_t kTimeZoneInformationSize = 172;
std::vector<uint8_t> EncodeTimeZoneInformation(const TIME_ZONE_INFORMATION& tzi);
// nullopt unless the block is exactly 172 bytes long.
std::optional<TIME_ZONE_INFORMATION> DecodeTimeZoneInformation(const std::vector<uint8_t>& bytes);
