#include "platform/ClockSetter.h"

#include <sys/capability.h>

#include <cerrno>

#include "platform/LastError.h"

bool RunThroughGate(const ClockSetRequest& request, const std::function<bool()>& send) {
    if (request.stop.stop_requested()) {
        SetLastError(ECANCELED);
        return false;
    }
    return request.gate ? request.gate(send) : send();
}

bool HoldsClockRight() {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) {
        return false;
    }
    cap_flag_value_t value = CAP_CLEAR;
    const bool read = cap_get_flag(caps, CAP_SYS_TIME, CAP_EFFECTIVE, &value) == 0;
    cap_free(caps);
    return read && value == CAP_SET;
}

bool DirectClockSetter::MayTry() {
    if (!HoldsClockRight()) {
        SetLastError(EPERM);
        return false;
    }
    return true;
}

bool DirectClockSetter::SetClock(const ClockTime& utcTarget, const ClockSetRequest& request) {
    if (!MayTry()) {
        return false;
    }
    return RunThroughGate(request, [&] { return m_clock.Set(utcTarget); });
}

bool NoClockSetter::MayTry() {
    SetLastError(EPERM);
    return false;
}

bool NoClockSetter::SetClock(const ClockTime&, const ClockSetRequest&) {
    SetLastError(EPERM);
    return false;
}
