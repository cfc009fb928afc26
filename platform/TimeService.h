#pragma once

// The system's own clock synchronisation, which would otherwise pull the clock
// back to its own idea of the time after the program has set it.
class TimeService {
public:
    virtual ~TimeService() = default;
    // Asks the system not to synchronise the clock by itself. Returns at once and
    // says nothing: where there is no such service, or the program has no right
    // to switch it off, nothing changes.
    virtual void SwitchOffSync() = 0;
};
