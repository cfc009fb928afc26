#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/SystemClock.h"

// A clock for tests. Frozen: stands still until Advance() or Set(). Following:
// runs with the real clock plus an offset, for tests against real servers, where
// every Set() moves the offset and never the machine's clock. Local time is UTC
// plus a fixed offset. The monotonic reading moves only with Advance(), in
// either mode: never with Set() or the local offset. Safe to use from several threads.
class FakeClock final : public SystemClock {
public:
    // Frozen at a UTC instant.
    explicit FakeClock(ClockTime utc);
    // Following the real clock, offsetSeconds ahead of it.
    static FakeClock FollowingRealTime(double offsetSeconds);
    FakeClock(const FakeClock& other);

    ClockTime Now() const override;
    bool Set(const ClockTime& utc) override;
    SYSTEMTIME ToLocal(const ClockTime& utc) const override;
    std::optional<ClockTime> FromLocal(const SYSTEMTIME& local) const override;
    std::chrono::nanoseconds Monotonic() const override;

    void Advance(double seconds);
    // Local time = UTC + this many seconds.
    void SetLocalOffset(int seconds);
    // Local time through the C library's reading of the process's zone (see
    // ScopedZone) instead of a fixed offset.
    void UseSystemZone();
    // Every later Set() fails with the given errno (0 to succeed again).
    void FailSets(uint32_t errorCode);
    // Called on every Set(), before it succeeds or fails, outside the clock's
    // lock: lets a test see what else held at that moment.
    void OnSet(std::function<void(const ClockTime& utc)> observer);
    // Every instant the clock was set to, in order.
    std::vector<ClockTime> Sets() const;
    // How far this clock stands ahead of the machine's real clock (following mode).
    double OffsetFromRealSeconds() const;

private:
    FakeClock() = default;

    mutable std::mutex m_mutex;
    bool m_following = false;
    ClockTime m_frozen{};
    double m_offsetSeconds = 0;
    int m_localOffsetSeconds = 0;
    bool m_systemZone = false;
    std::chrono::nanoseconds m_monotonic{0};
    uint32_t m_failWith = 0;
    std::vector<ClockTime> m_sets;
    std::function<void(const ClockTime&)> m_onSet;
};

// The process's zone (TZ) pinned to a zone file while this lives; the C
// library's local time follows it.
class ScopedZone {
public:
    explicit ScopedZone(const std::string& zoneFile);
    ~ScopedZone();
    ScopedZone(const ScopedZone&) = delete;
    ScopedZone& operator=(const ScopedZone&) = delete;

private:
    std::optional<std::string> m_old;
};
