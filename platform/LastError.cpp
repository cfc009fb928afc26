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
        case kErrorNtsTls:
            return "NTS: the secure connection failed";
        case kErrorNtsNoAlgorithm:
            return "NTS: no common protocol or algorithm";
        case kErrorNtsServerError:
            return "NTS: the server reported an error";
        case kErrorNtsServerWarning:
            return "NTS: the server reported a warning";
        case kErrorNtsNoCookie:
            return "NTS: the server gave no cookie";
        case kErrorNtsBadResponse:
            return "NTS: malformed key-establishment answer";
        case kErrorNtsUnauthenticated:
            return "NTS: the reply failed authentication";
        case kErrorNtsRefused:
            return "NTS: the server refused the cookie";
        case kErrorNtsCertificate:
            return "NTS: the server's certificate was refused";
        case kErrorNtsNoAlpn:
            return "NTS: the server does not offer NTS key establishment";
        case kErrorNtsClosed:
            return "NTS: the server closed the connection before its answer was complete";
        default:
            // Every other code is an errno; strerror_r's GNU form may return a static text.
            char buffer[256] = {};
            return strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    }
}
