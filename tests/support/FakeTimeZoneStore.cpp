#include "tests/support/FakeTimeZoneStore.h"

bool FakeTimeZoneStore::apply(const TIME_ZONE_INFORMATION& record) {
    m_applied.push_back(record);
    if (m_failApplies) {
        return false;
    }
    m_zone = {record.StandardDate.wMonth == 0 ? TIME_ZONE_ID_UNKNOWN : TIME_ZONE_ID_STANDARD, record};
    return true;
}
