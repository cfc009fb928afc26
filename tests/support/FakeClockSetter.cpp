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
    return RunThroughGate(request, [&] {
        const ClockTime now = m_clock.Now();
        const auto step = static_cast<int64_t>(std::llround(SecondsBetween(utcTarget, now) * 1e6));
        Mode mode;
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back({utcTarget, step, request.interactive});
            mode = m_mode;
        }
        if (mode == Mode::Refused) {
            SetLastError(EPERM);
            return false;
        }
        return m_clock.Set(utcTarget);
    });
}

void FakeClockSetter::SetMode(Mode mode) {
    std::lock_guard lock(m_mutex);
    m_mode = mode;
}

std::vector<FakeClockSetter::Request> FakeClockSetter::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}
