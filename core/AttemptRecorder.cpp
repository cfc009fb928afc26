#include "core/AttemptRecorder.h"

#include <cerrno>

#include "platform/LastError.h"

bool IsLocalCause(FailureCause cause) {
    switch (cause) {
        case FailureCause::None:
        case FailureCause::Server:
        case FailureCause::KissOfDeath:
        case FailureCause::Unconfirmed:
            return false;
        default:
            return true;
    }
}

const char* FailureCauseText(FailureCause cause) {
    switch (cause) {
        case FailureCause::None:
            return "";
        case FailureCause::Server:
            return "the server did not answer usably";
        case FailureCause::KissOfDeath:
            return "the server asked to be left alone";
        case FailureCause::NotAllowed:
            return "not allowed to set the clock";
        case FailureCause::ServiceUnreachable:
            return "the system's time service cannot be reached";
        case FailureCause::SystemSyncOn:
            return "the system's own time synchronisation is on";
        case FailureCause::ServiceTimedOut:
            return "the system's time service did not answer in time";
        case FailureCause::NoRoute:
            return "no route to the network";
        case FailureCause::Paced:
            return "the server was asked moments ago";
        case FailureCause::LateSet:
            return "the clock was set after the attempt had ended";
        case FailureCause::SetFailed:
            return "the system would not set the clock";
        case FailureCause::Unconfirmed:
            return "not confirmed by other servers";
    }
    return "";
}

FailureCause CauseOfSetError(uint32_t lastError) {
    switch (lastError) {
        case EPERM:
            return FailureCause::NotAllowed;
        case ECONNREFUSED:
            return FailureCause::ServiceUnreachable;
        case EBUSY:
            return FailureCause::SystemSyncOn;
        case kErrorTimedOut:
            return FailureCause::ServiceTimedOut;
        case ECANCELED:
            return FailureCause::None;
        default:
            // Any other refusal (an error of the bus, a time the system would not
            // take) is still the machine's, not the server's.
            return FailureCause::SetFailed;
    }
}
