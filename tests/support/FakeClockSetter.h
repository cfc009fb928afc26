#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/ClockSetter.h"
#include "platform/SystemClock.h"

// A clock setter for tests: sets the given (fake) clock the way the system's
// time authority would, and records every request that reached it. Safe to
// use from several threads.
class FakeClockSetter final : public ClockSetter {
public:
    enum class Mode {
        Granted,      // every set is carried out
        Refused,      // the authority refuses every set (EPERM)
        Unreachable,  // there is no authority (ECONNREFUSED): nothing is even tried
    };
    struct Request {
        ClockTime target;
        // The step as it was sent: the target minus the clock read just before.
        int64_t stepMicroseconds;
        bool interactive;
    };

    explicit FakeClockSetter(SystemClock& clock, Mode mode = Mode::Granted) : m_clock(clock), m_mode(mode) {}

    bool MayTry() override;
    bool SetClock(const ClockTime& utcTarget, const ClockSetRequest& request) override;

    void SetMode(Mode mode);
    // Every request that got through the gate, in order.
    std::vector<Request> Requests() const;

private:
    SystemClock& m_clock;
    mutable std::mutex m_mutex;
    Mode m_mode;
    std::vector<Request> m_requests;
};
