#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/TimePrivilege.h"
#include "tests/support/FakeClock.h"

// A clock-setting right for tests. Records every step in one event log, which
// can also take in the sets of a FakeClock, so that a test sees the order
// "raise", "set", "clear". Safe to use from several threads.
class FakeTimePrivilege final : public TimePrivilege {
public:
    enum class Mode {
        Granted,         // Raise succeeds
        Missing,         // Raise fails with EPERM: the process was never given the right
        NoCapabilities,  // Raise fails with kErrorCallNotImplemented: the system has none
    };

    explicit FakeTimePrivilege(Mode mode = Mode::Granted);

    // Events: "raise" (succeeded), "raise refused" (Missing), "raise unsupported"
    // (NoCapabilities), "clear".
    bool Raise() override;
    // Also overwrites the last error with 0, as a successful system call may.
    void Clear() override;

    void SetMode(Mode mode);
    bool IsRaised() const;
    // Adds "set" to the event log on every Set() of the clock, and notes whether
    // the right was raised and what the last error read at that moment.
    void Watch(FakeClock& clock);

    std::vector<std::string> Events() const;
    bool RaisedAtLastSet() const;
    uint32_t LastErrorAtLastSet() const;

private:
    mutable std::mutex m_mutex;
    Mode m_mode;
    bool m_raised = false;
    bool m_raisedAtLastSet = false;
    uint32_t m_lastErrorAtLastSet = 0;
    std::vector<std::string> m_events;
};
