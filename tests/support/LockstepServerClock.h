#pragma once

#include <mutex>

#include "platform/SystemClock.h"
#include "tests/support/FakeClock.h"

// True time for a server in tests, against which a frozen client clock is
// measured. It moves only when the server reads it, and the client's clock
// moves with it; a set of the client's clock leaves it alone. Each reading
// moves both clocks by two half steps, one before and one after it. An
// exchange (two readings) thus moves the client's clock by 4 half steps, has
// an exact delay of 2 (the 2 around T3 - T2 are the server's hold time) and
// measures exactly how far the true time is ahead of the client.
class LockstepServerClock final : public SystemClock {
public:
    static constexpr double kHalfStepSeconds = 1.0 / 512;
    static constexpr double kExchangeSeconds = 4 * kHalfStepSeconds;  // 1/128 s
    static constexpr double kExchangeDelaySeconds = 2 * kHalfStepSeconds;

    LockstepServerClock(FakeClock& client, ClockTime trueTime) : m_client(client), m_true(trueTime) {}

    ClockTime Now() const override {
        std::lock_guard lock(m_mutex);
        Step();
        const ClockTime now = m_true;
        Step();
        return now;
    }
    ClockTime TrueNow() const {
        std::lock_guard lock(m_mutex);
        return m_true;
    }
    // Time passes for both clocks, as between two runs.
    void Advance(double seconds) {
        std::lock_guard lock(m_mutex);
        m_client.Advance(seconds);
        m_true = AddSecondsTo(m_true, seconds);
    }
    bool Set(const ClockTime&) override { return false; }
    SYSTEMTIME ToLocal(const ClockTime& utc) const override { return SystemTimeFromClock(utc); }
    std::optional<ClockTime> FromLocal(const SYSTEMTIME& local) const override {
        return ClockFromSystemTime(local);
    }

private:
    void Step() const {
        m_client.Advance(kHalfStepSeconds);
        m_true = AddSecondsTo(m_true, kHalfStepSeconds);
    }

    FakeClock& m_client;
    mutable std::mutex m_mutex;
    mutable ClockTime m_true;
};
