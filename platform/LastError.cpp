#include "platform/LastError.h"

#include <cstring>

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t GetLastError() {
    return t_lastError;
}

void SetLastError(uint32_t code) {
    t_lastError = code;
}

std::string LastErrorText(uint32_t code) {
    switch (code) {
        case kErrorSuccess:
            return "no error";
        case kErrorCallNotImplemented:
            return "not supported by this system";
        case kErrorInvalidParameter:
            return "invalid time";
        case kErrorTimedOut:
            return "timed out";
        case kErrorHostNotFound:
            return "host not found";
        case kErrorTryAgain:
            return "name lookup failed, try again later";
        case kErrorNoRecovery:
            return "name lookup failed";
        default:
            // Every other code is an errno; strerror_r's GNU form may return a static text.
            char buffer[256] = {};
            return strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    }
}
