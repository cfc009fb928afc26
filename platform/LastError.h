#pragma once

#include <cstdint>
#include <string>

// The calling thread's last-error code. The clock and network layers report a
// failure by returning false and leaving the reason here. The program's own
// codes keep their documented values; any other value is an errno.
uint32_t GetLastError();
void SetLastError(uint32_t code);

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorCallNotImplemented = 120;  // the system has no privilege model at all
constexpr uint32_t kErrorInvalidParameter = 87;     // a calendar time outside the settable range
constexpr uint32_t kErrorTimedOut = 10060;          // no SNTP reply within the receive time-out
constexpr uint32_t kErrorHostNotFound = 11001;      // the name lookup knows no such host
constexpr uint32_t kErrorTryAgain = 11002;          // the name lookup failed for now (no answer from DNS)
constexpr uint32_t kErrorNoRecovery = 11003;        // the name lookup failed for good
constexpr uint32_t kErrorPaced = 11010;             // every address of the server was asked moments ago
// Network Time Security: the key establishment and the authenticated exchange.
constexpr uint32_t kErrorNtsTls = 12001;              // the TLS layer failed (not the certificate)
constexpr uint32_t kErrorNtsNoAlgorithm = 12002;      // no common protocol or algorithm
constexpr uint32_t kErrorNtsServerError = 12003;      // the server answered with an error record
constexpr uint32_t kErrorNtsServerWarning = 12004;    // the server answered with a warning record
constexpr uint32_t kErrorNtsNoCookie = 12005;         // the server gave no cookie
constexpr uint32_t kErrorNtsBadResponse = 12006;      // the key-establishment answer is malformed
constexpr uint32_t kErrorNtsUnauthenticated = 12007;  // a reply failed authentication
constexpr uint32_t kErrorNtsRefused = 12008;          // the server no longer takes our cookies
constexpr uint32_t kErrorNtsCertificate = 12009;      // the server's certificate was refused
constexpr uint32_t kErrorNtsNoAlpn = 12010;           // the server does not speak NTS key establishment
constexpr uint32_t kErrorNtsClosed = 12011;           // the server closed the connection mid-way
// Every code from a server that answered, in the range of the ones above.
constexpr uint32_t kErrorNtsFirst = kErrorNtsTls;
constexpr uint32_t kErrorNtsLast = kErrorNtsClosed;

// A short English text for a last-error code, for messages on a terminal.
std::string LastErrorText(uint32_t code);

// Keeps the last-error code across a clean-up step that may overwrite it.
class LastErrorKeeper {
public:
    LastErrorKeeper() : m_code(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(m_code); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    uint32_t m_code;
};
