#include "tests/support/FakeInternetProbe.h"

void FakeInternetProbe::SetOutcome(ProbeOutcome outcome) {
    std::lock_guard lock(m_mutex);
    m_outcome = outcome;
}

void FakeInternetProbe::SetHang(bool hang) {
    {
        std::lock_guard lock(m_mutex);
        m_hang = hang;
    }
    m_changed.notify_all();
}

size_t FakeInternetProbe::CallCount() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

bool FakeInternetProbe::WaitForCalls(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_calls >= count; });
}

ProbeResult FakeInternetProbe::Open(std::stop_token stop) {
    std::unique_lock lock(m_mutex);
    ++m_calls;
    m_changed.notify_all();
    if (m_hang) {
        // Also released when the test stops hanging, for an ordinary end.
        m_changed.wait(lock, stop, [this] { return !m_hang; });
    }
    if (stop.stop_requested()) {
        return ProbeResult{ProbeOutcome::Cancelled, 0, "stopped"};
    }
    switch (m_outcome) {
        case ProbeOutcome::Reached:
            return ProbeResult{ProbeOutcome::Reached, 204, {}};
        case ProbeOutcome::OpenFailed:
            return ProbeResult{ProbeOutcome::OpenFailed, 0, "cannot set up HTTP"};
        case ProbeOutcome::UrlFailed:
            return ProbeResult{ProbeOutcome::UrlFailed, 0, "no answer"};
        case ProbeOutcome::Cancelled:
            break;
    }
    return ProbeResult{ProbeOutcome::Cancelled, 0, "stopped"};
}
