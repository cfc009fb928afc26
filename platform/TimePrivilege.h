#pragma once

// The right to set the system clock, held only for the one call that sets it.
// Tests replace this with a fake; the Linux implementation works on the calling
// thread's capabilities, which is the thread that then sets the clock.
class TimePrivilege {
public:
    virtual ~TimePrivilege() = default;

    // Brings the right into effect. False with the reason in the last-error
    // code: kErrorCallNotImplemented when the system has no capabilities at all
    // (nothing to raise: the clock may be set directly), an errno otherwise
    // (EPERM when the right was never granted to this process).
    virtual bool Raise() = 0;
    // Takes the right out of effect again, whatever its state before Raise.
    // Always safe to call; the last-error code may change.
    virtual void Clear() = 0;
};

// CAP_SYS_TIME in the effective set of the calling thread, through libcap. The
// installed binary carries it in its permitted set (setcap cap_sys_time=p).
class LinuxTimePrivilege final : public TimePrivilege {
public:
    bool Raise() override;
    void Clear() override;
};
