#pragma once

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "platform/TimeZoneStore.h"

// A system zone for tests: answers queries with what it was given and records
// every record applied; applying can be made to fail, or to take its time (as
// a password prompt does). A successful apply becomes the zone that later
// queries see (status standard, or unknown without daylight saving). Named
// zones are those it is told the database has; putting one back records it.
class FakeTimeZoneStore final : public TimeZoneStore {
public:
    FakeTimeZoneStore() = default;
    FakeTimeZoneStore(uint32_t status, const TIME_ZONE_INFORMATION& info) : m_zone{status, info} {}

    TimeZoneQuery query() const override { return m_zone; }
    bool apply(const TIME_ZONE_INFORMATION& record) override;
    std::string zoneName() const override { return m_zoneName; }
    bool hasNamedZone(const std::string& name) const override { return m_database.count(name) != 0; }
    bool applyNamed(const std::string& name) override;

    void SetZone(uint32_t status, const TIME_ZONE_INFORMATION& info) { m_zone = {status, info}; }
    void SetZoneName(const std::string& name) { m_zoneName = name; }
    void AddNamedZone(const std::string& name) { m_database.insert(name); }
    void FailApplies(bool fail) { m_failApplies = fail; }
    void SetApplyDelay(std::chrono::milliseconds delay) { m_delay = delay; }
    const std::vector<TIME_ZONE_INFORMATION>& Applied() const { return m_applied; }
    const std::vector<std::string>& AppliedNames() const { return m_appliedNames; }

private:
    TimeZoneQuery m_zone;
    std::string m_zoneName;
    std::set<std::string> m_database;
    bool m_failApplies = false;
    std::chrono::milliseconds m_delay{0};
    std::vector<TIME_ZONE_INFORMATION> m_applied;
    std::vector<std::string> m_appliedNames;
};
