#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/SystemTime.h"

// What started an attempt.
enum class AttemptKind : int32_t { Automatic = 0, Manual = 1, ServerTest = 2 };
// How it ended. Stopped: "Break", the watchdog or the end of the program cut it short.
enum class AttemptOutcome : int32_t { Success = 0, Failure = 1, Stopped = 2 };

// One attempt to measure or correct the clock, as the history keeps it.
struct AttemptRecord {
    ClockTime timeUtc;  // when the attempt ended (or the clock was corrected)
    std::string serverTitle;
    std::string serverHost;
    // The first exchange's measurement, before any correction; positive when
    // the local clock was behind the server. Absent when no plausible reply came.
    std::optional<double> offsetSeconds;
    std::optional<double> delaySeconds;  // network round trip
    // What the exchange moved the clock by; absent when the clock was not set.
    std::optional<double> correctionSeconds;
    // The user's shift applied after the correction (nOffset), 0 for none.
    double shiftSeconds = 0;
    bool authenticated = false;
    std::string statusText;
    AttemptKind kind = AttemptKind::Automatic;
    AttemptOutcome outcome = AttemptOutcome::Failure;

    bool operator==(const AttemptRecord&) const = default;
};

// Takes the record of every attempt. Record is called from any thread, at
// times under the synchronisation manager's lock: it must return at once,
// never wait for a disk, and never call back into the manager.
class AttemptRecorder {
public:
    virtual ~AttemptRecorder() = default;
    virtual void Record(const AttemptRecord& record) = 0;
};

// What one exchange with a server measured, for the record of its attempt.
struct ExchangeMeasure {
    std::optional<double> offsetSeconds;  // positive when the local clock is behind
    std::optional<double> delaySeconds;
    std::optional<double> correctionSeconds;  // set when the clock was moved
    bool authenticated = false;
};
