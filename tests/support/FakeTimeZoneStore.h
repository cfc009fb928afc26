#pragma once

#include <vector>

#include "platform/TimeZoneStore.h"

// A system zone for tests: answers queries with what it was given and records
// every record applied; applying can be made to fail. A successful apply
// becomes the zone that later queries see (status standard, or unknown
// without daylight saving).
class FakeTimeZoneStore final : public TimeZoneStore {
public:
    FakeTimeZoneStore() = default;
    FakeTimeZoneStore(uint32_t status, const TIME_ZONE_INFORMATION& info) : m_zone{status, info} {}

    TimeZoneQuery query() const override { return m_zone; }
    bool apply(const TIME_ZONE_INFORMATION& record) override;

    void SetZone(uint32_t status, const TIME_ZONE_INFORMATION& info) { m_zone = {status, info}; }
    void FailApplies(bool fail) { m_failApplies = fail; }
    const std::vector<TIME_ZONE_INFORMATION>& Applied() const { return m_applied; }

private:
    TimeZoneQuery m_zone;
    bool m_failApplies = false;
    std::vector<TIME_ZONE_INFORMATION> m_applied;
};
