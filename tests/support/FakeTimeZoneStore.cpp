#include "tests/support/FakeTimeZoneStore.h"

#include <thread>

bool FakeTimeZoneStore::apply(const TIME_ZONE_INFORMATION& record) {
    std::this_thread::sleep_for(m_delay);
    m_applied.push_back(record);
    if (m_failApplies) {
        return false;
    }
    m_zone = {record.StandardDate.wMonth == 0 ? TIME_ZONE_ID_UNKNOWN : TIME_ZONE_ID_STANDARD, record};
    m_zoneName.clear();
    return true;
}

bool FakeTimeZoneStore::applyNamed(const std::string& name) {
    std::this_thread::sleep_for(m_delay);
    m_appliedNames.push_back(name);
    if (m_failApplies || !hasNamedZone(name)) {
        return false;
    }
    m_zoneName = name;
    return true;
}
