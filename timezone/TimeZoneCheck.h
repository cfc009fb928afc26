#pragma once

#include "platform/Prompts.h"
#include "platform/TimeZoneStore.h"

// Asks for the system's zone; when it cannot be read, says so in the box
// "Bad system time zone information" (caption "Tidewell error") and returns
// once the user has dismissed it. The result is returned either way.
TimeZoneQuery QueryCheckedTimeZone(const TimeZoneStore& store, Prompts& prompts);

// The first-start capture: the system's zone into startZone (all zeros when it
// cannot be read), with the check above. Nothing else about the zone is judged.
void CheckTimeZone(const TimeZoneStore& store, Prompts& prompts, TIME_ZONE_INFORMATION& startZone);
