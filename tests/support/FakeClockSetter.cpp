#include "tests/support/FakeClockSetter.h"

#include <cerrno>
#include <cmath>

#include "platform/LastError.h"

bool FakeClockSetter::MayTry() {
    std::lock_guard lock(m_mutex);
    if (m_mode == Mode::Unreachable) {
        SetLastError(ECONNREFUSED);
        return false;
    }
    return true;
}

bool FakeClockSetter::SetClock(const ClockTime& utcTarget, const ClockSetRequest& request) {
    if (!MayTry()) {
        return false;
    }
    bool late = false;
    const bool done = RunThroughGate(request, [&] {
        const ClockTime now = m_clock.Now();
        const auto step = static_cast<int64_t>(std::llround(SecondsBetween(utcTarget, now) * 1e6));
        Mode mode;
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back({utcTarget, step, request.interactive});
            mode = m_mode;
            if (m_grantedFirst > 0) {
                --m_grantedFirst;
                mode = Mode::Granted;
            }
        }
        if (mode == Mode::Refused) {
            SetLastError(EPERM);
            return false;
        }
        if (mode == Mode::Late) {
            m_clock.Set(utcTarget);
            late = true;
            SetLastError(kErrorTimedOut);
            return false;
        }
        return m_clock.Set(utcTarget);
    });
    // The answer comes after the set has been given up, outside its gate.
    if (late && request.lateAnswer) {
        LastErrorKeeper keep;
        request.lateAnswer(true);
    }
    return done;
}

void FakeClockSetter::SetMode(Mode mode) {
    SetModeAfter(0, mode);
}

void FakeClockSetter::SetModeAfter(std::size_t granted, Mode mode) {
    std::lock_guard lock(m_mutex);
    m_mode = mode;
    m_grantedFirst = granted;
}

std::vector<FakeClockSetter::Request> FakeClockSetter::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}
