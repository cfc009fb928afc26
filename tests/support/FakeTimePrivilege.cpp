#include "tests/support/FakeTimePrivilege.h"

#include <cerrno>

#include "platform/LastError.h"

FakeTimePrivilege::FakeTimePrivilege(Mode mode) : m_mode(mode) {}

bool FakeTimePrivilege::Raise() {
    std::lock_guard lock(m_mutex);
    switch (m_mode) {
        case Mode::Granted:
            m_raised = true;
            m_events.emplace_back("raise");
            return true;
        case Mode::Missing:
            m_events.emplace_back("raise refused");
            SetLastError(EPERM);
            return false;
        case Mode::NoCapabilities:
            m_events.emplace_back("raise unsupported");
            SetLastError(kErrorCallNotImplemented);
            return false;
    }
    return false;
}

void FakeTimePrivilege::Clear() {
    std::lock_guard lock(m_mutex);
    m_raised = false;
    m_events.emplace_back("clear");
    SetLastError(kErrorSuccess);
}

void FakeTimePrivilege::SetMode(Mode mode) {
    std::lock_guard lock(m_mutex);
    m_mode = mode;
}

bool FakeTimePrivilege::IsRaised() const {
    std::lock_guard lock(m_mutex);
    return m_raised;
}

void FakeTimePrivilege::Watch(FakeClock& clock) {
    clock.OnSet([this](const ClockTime&) {
        const uint32_t lastError = GetLastError();
        std::lock_guard lock(m_mutex);
        m_events.emplace_back("set");
        m_raisedAtLastSet = m_raised;
        m_lastErrorAtLastSet = lastError;
    });
}

std::vector<std::string> FakeTimePrivilege::Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

bool FakeTimePrivilege::RaisedAtLastSet() const {
    std::lock_guard lock(m_mutex);
    return m_raisedAtLastSet;
}

uint32_t FakeTimePrivilege::LastErrorAtLastSet() const {
    std::lock_guard lock(m_mutex);
    return m_lastErrorAtLastSet;
}
