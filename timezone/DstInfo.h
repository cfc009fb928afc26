#pragma once

#include <cstdint>
#include <string>

#include "platform/TimeZoneStore.h"

// The nine-line report of a zone's status and daylight-saving rules, lines
// joined by CR LF, none after the last. Names in UTF-8 (see NameConversion.h).
std::string FormatDSTInfoText(uint32_t status, const TIME_ZONE_INFORMATION& tzi);

// The report of the system's zone as it is now.
std::string GetDSTInfoText(const TimeZoneStore& store);
