#pragma once

#include <cstdint>
#include <string>

#include "platform/TimeZoneInformation.h"

// The result of asking for the system's time zone.
struct TimeZoneQuery {
    // TIME_ZONE_ID_UNKNOWN (no daylight saving), _STANDARD, _DAYLIGHT, or
    // _INVALID when the zone cannot be read; the record is then all zeros.
    uint32_t status = TIME_ZONE_ID_INVALID;
    TIME_ZONE_INFORMATION info{};

    bool operator==(const TimeZoneQuery&) const = default;
};

// The system's time zone. Tests replace it with a fake.
class TimeZoneStore {
public:
    virtual ~TimeZoneStore() = default;

    // The zone as it is now; reads afresh on every call.
    virtual TimeZoneQuery query() const = 0;
    // Makes a record the system's zone, gaining the right to do so where it is
    // needed. False when the record fails its checks, the right is refused or
    // the zone cannot be written; the zone is then unchanged.
    virtual bool apply(const TIME_ZONE_INFORMATION& record) = 0;

    // The database name of the zone in force ("Europe/Berlin"), "" when the
    // zone is not one of the database's as it stands.
    virtual std::string zoneName() const { return {}; }
    // Whether the database still holds a zone of that name.
    virtual bool hasNamedZone(const std::string& /*name*/) const { return false; }
    // Makes a zone of the database the system's zone again, exactly as the
    // database has it. False when the name is not one, the right is refused or
    // the zone cannot be written; the zone is then unchanged.
    virtual bool applyNamed(const std::string& /*name*/) { return false; }
};
