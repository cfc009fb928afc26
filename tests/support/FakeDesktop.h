#pragma once

#include "platform/DateTimeSettings.h"
#include "platform/TimeService.h"

// Counts how often the system's clock synchronisation was switched off.
class FakeTimeService final : public TimeService {
public:
    void SwitchOffSync() override { ++m_switchOffs; }
    int SwitchOffs() const { return m_switchOffs; }

private:
    int m_switchOffs = 0;
};

// Counts how often the desktop's date and time settings were opened.
class FakeDateTimeSettings final : public DateTimeSettings {
public:
    void Open() override { ++m_opens; }
    int Opens() const { return m_opens; }

private:
    int m_opens = 0;
};
