#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>

#include "platform/SystemClock.h"

// How one setting of the clock is asked for.
struct ClockSetRequest {
    // The user started the work: the system may ask them to authenticate. An
    // automatic run never causes a prompt; a refusal is then a failed set.
    bool interactive = false;
    // Runs `send`, the step that reads the clock, works out the correction and
    // hands it to the system, and returns its result; or refuses to run it and
    // returns false. A synchronisation run passes its commit here, so that a
    // stopped run sends nothing. Empty: `send` runs as it is.
    std::function<bool(const std::function<bool()>& send)> gate;
    // Ends a wait for the system's answer (for instance while the user is
    // asked for a password); the set then counts as failed with ECANCELED.
    std::stop_token stop;
    // Which run asks (0: none in particular). A run is asked at most once to
    // let the system's own synchronisation be switched off.
    uint64_t runId = 0;
    // Called at most once, on any thread, when the system answers a set that
    // had already been given up (its stop was requested, or the wait for the
    // answer ran out): applied tells whether the clock was moved after all.
    // The set itself has returned false by then. Empty: nobody is told.
    std::function<void(bool applied)> lateAnswer;
};

// Sets the system clock with whatever right that needs. The program holds no
// right of its own: the system's time authority decides who may set the
// clock. Tests replace this with a fake.
//
// Failures leave the reason in the last-error code:
//   EPERM         the authority refused (the user is not allowed, or declined
//                 to authenticate), or there is no authority and this process
//                 may not set the clock itself
//   ECONNREFUSED  the authority cannot be reached (no bus, no service)
//   EBUSY         the system's own clock synchronisation is still on
//   kErrorTimedOut  no answer in time
//   ECANCELED     the request's gate refused, or its stop was requested
class ClockSetter {
public:
    virtual ~ClockSetter() = default;

    // Whether setting the clock may be tried at all: an authority to ask, or
    // the right held by this process. False with the reason in the last error.
    virtual bool MayTry() = 0;
    // Sets the UTC clock to utcTarget. The correction is sent as a step
    // relative to the clock read just before it leaves, so the time the
    // request spends on its way does not spoil it.
    virtual bool SetClock(const ClockTime& utcTarget, const ClockSetRequest& request) = 0;
};

// Runs the request's gate around send (send alone when there is no gate).
bool RunThroughGate(const ClockSetRequest& request, const std::function<bool()>& send);

// Whether the calling thread holds CAP_SYS_TIME in its effective set, as a
// process running as root does. Nothing is raised.
bool HoldsClockRight();

// Sets the clock itself, without any authority to ask: only a process that
// already holds CAP_SYS_TIME (root) may, any other is refused with EPERM
// before the clock is touched.
class DirectClockSetter final : public ClockSetter {
public:
    explicit DirectClockSetter(SystemClock& clock) : m_clock(clock) {}

    bool MayTry() override;
    bool SetClock(const ClockTime& utcTarget, const ClockSetRequest& request) override;

private:
    SystemClock& m_clock;
};

// Never sets the clock: for tools that only measure.
class NoClockSetter final : public ClockSetter {
public:
    bool MayTry() override;
    bool SetClock(const ClockTime& utcTarget, const ClockSetRequest& request) override;
};
