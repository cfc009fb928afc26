#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/SystemTime.h"

// What started an attempt. Notice: no attempt, but an event the history
// keeps beside them (the administrator's settings file could not be used
// whole); it is recorded as a failure with no server and its text as status.
enum class AttemptKind : int32_t { Automatic = 0, Manual = 1, ServerTest = 2, Notice = 3 };
// How it ended. Stopped: "Break", the watchdog or the end of the program cut it short.
enum class AttemptOutcome : int32_t { Success = 0, Failure = 1, Stopped = 2 };

// Why an attempt failed, as far as the program can tell. The local causes lie
// with this machine, not with the server: the server is not blamed for them
// (it is not passed over, and the history does not charge it).
enum class FailureCause : int32_t {
    None = 0,                // it did not fail, or nothing more is known
    Server = 1,              // the server did not answer, or not usably
    KissOfDeath = 2,         // the server asked to be left alone (stratum 0)
    NotAllowed = 3,          // the system refused to set the clock (no right, password declined)
    ServiceUnreachable = 4,  // the system's time service cannot be reached
    SystemSyncOn = 5,        // the system's own time synchronisation is on
    ServiceTimedOut = 6,     // the system's time service did not answer in time
    NoRoute = 7,             // the network refused the request at once (no route, network down)
    Paced = 8,               // every address of the server was asked moments ago
    LateSet = 9,             // the system set the clock after the attempt had ended
    SetFailed = 10,          // the system would not set the clock, for another reason
    Unconfirmed = 11,        // a large correction that no other server of the list bore out
};

// True for the causes that lie with this machine (everything but None, Server,
// KissOfDeath and Unconfirmed).
bool IsLocalCause(FailureCause cause);
// A few words for a person: "not allowed to set the clock", ...; empty for None.
const char* FailureCauseText(FailureCause cause);
// The cause of a failed setting of the clock, from its last-error code (see
// ClockSetter); None for ECANCELED (the attempt was stopped).
FailureCause CauseOfSetError(uint32_t lastError);

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
    FailureCause cause = FailureCause::None;
    // Failures in a row of the same kind, cause and server are kept as one
    // record: how many, and when the first of them ended (timeUtc is the last).
    int64_t count = 1;
    std::optional<ClockTime> firstTimeUtc;
    // The servers that bore out a large correction before it was made ("a, b"); empty otherwise.
    std::string confirmedBy;

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
    // Why the exchange or the setting of the clock failed; None when it did not.
    FailureCause cause = FailureCause::None;
    // A large correction asks other servers first: the hosts that bore it out
    // ("a, b"), and a line for each server asked, what it said.
    std::string confirmedBy;
    std::vector<std::string> opinions;
};
