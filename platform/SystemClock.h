#pragma once

#include <chrono>
#include <optional>

#include "platform/SystemTime.h"

// The machine's clock. The system keeps one clock in UTC; local time is UTC
// shifted by the rules of the system's time zone. Tests replace this with a
// fake; only the Linux implementation ever touches the real clock.
class SystemClock {
public:
    virtual ~SystemClock() = default;

    // The UTC clock with its full precision.
    virtual ClockTime Now() const = 0;
    // Sets the UTC clock with full precision. Needs the right to set the clock;
    // false with the reason in the last-error code otherwise.
    virtual bool Set(const ClockTime& utc) = 0;
    // The local calendar time of an instant, through the system's time zone.
    virtual SYSTEMTIME ToLocal(const ClockTime& utc) const = 0;
    // The instant of a local calendar time; nullopt when the zone cannot map it.
    virtual std::optional<ClockTime> FromLocal(const SYSTEMTIME& local) const = 0;
    // A reading that only ever goes forward, untouched by settings of the UTC
    // clock and by the zone: for measuring how long something has taken. Time
    // the machine spent suspended counts. Its zero is arbitrary. By default
    // the machine's boot-time clock.
    virtual std::chrono::nanoseconds Monotonic() const;

    // The calendar forms the program works with. Milliseconds are truncated.
    SYSTEMTIME GetSystemTime() const { return SystemTimeFromClock(Now()); }
    SYSTEMTIME GetLocalTime() const { return ToLocal(Now()); }
    // Fail with kErrorInvalidParameter for a calendar time outside the settable range.
    bool SetSystemTime(const SYSTEMTIME& utc);
};

// CLOCK_REALTIME, local time through the C library's reading of the system zone.
class LinuxSystemClock final : public SystemClock {
public:
    ClockTime Now() const override;
    bool Set(const ClockTime& utc) override;
    SYSTEMTIME ToLocal(const ClockTime& utc) const override;
    std::optional<ClockTime> FromLocal(const SYSTEMTIME& local) const override;
};
