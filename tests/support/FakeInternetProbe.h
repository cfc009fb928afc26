#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "platform/InternetProbe.h"

// A connectivity check that ends as the test says (default: Reached, status
// 204), counts its calls, and when told to hang waits for its stop token.
class FakeInternetProbe final : public InternetProbe {
public:
    void SetOutcome(ProbeOutcome outcome);
    // Open waits until its stop token is triggered, then returns Cancelled.
    void SetHang(bool hang);
    size_t CallCount() const;
    // True when at least count calls began within the time-out.
    bool WaitForCalls(size_t count, std::chrono::milliseconds timeout) const;

    ProbeResult Open(std::stop_token stop = {}) override;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable_any m_changed;
    ProbeOutcome m_outcome = ProbeOutcome::Reached;
    bool m_hang = false;
    size_t m_calls = 0;
};
