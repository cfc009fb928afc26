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
        // The authority does not answer in time (kErrorTimedOut), then carries
        // the set out after all and says so through the request's lateAnswer.
        Late,
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
    // The first `granted` sets from now on are carried out, then the mode is mode.
    void SetModeAfter(std::size_t granted, Mode mode);
    // Every request that got through the gate, in order.
    std::vector<Request> Requests() const;

private:
    SystemClock& m_clock;
    mutable std::mutex m_mutex;
    Mode m_mode;
    std::size_t m_grantedFirst = 0;
    std::vector<Request> m_requests;
};
