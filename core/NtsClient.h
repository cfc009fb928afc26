#pragma once

// The client side of Network Time Security: the key establishment over TLS
// 1.3, the authenticated NTPv4 exchange, and the cookies kept per server in
// memory between exchanges. Failures leave their code in the last error and a
// line for a person in NtsLastDetail().

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "core/NtsCodec.h"
#include "core/SntpClient.h"
#include "platform/SystemClock.h"

struct NtsKeOptions {
    // A file of trusted certificates in place of the system's trust store
    // (which honours SSL_CERT_FILE and SSL_CERT_DIR). Empty for the system's.
    std::string trustFile;
    uint32_t timeoutMs = CSNTPClient::kDefaultReceiveTimeoutMs;
};

// What one key establishment yields: the two keys, the cookies, and where to
// send the time requests.
struct NtsSession {
    NtsBytes c2s;
    NtsBytes s2c;
    std::vector<NtsBytes> cookies;
    std::string ntpHost;
    uint16_t ntpPort = 0;  // 0: the server named none
};

// The last failure's details on this thread ("certificate verify failed: ...",
// "error record 1"); empty after a success.
const std::string& NtsLastDetail();

// The key establishment with host. Last error on failure: a name lookup code
// or errno for the connection, kErrorTimedOut, ECANCELED when stop was
// requested, kErrorNtsTls, kErrorNtsNoAlgorithm, kErrorNtsServerError,
// kErrorNtsServerWarning, kErrorNtsNoCookie, kErrorNtsBadResponse.
bool NtsEstablish(const NtsHost& host, const NtsKeOptions& options, std::stop_token stop,
                  NtsSession& session);

// One authenticated exchange spending one cookie of session and keeping the
// fresh ones the reply brings. Sent to the session's port, or fallbackPort when
// it names none. True with every field of reply filled and authenticated set.
// Datagrams that do not carry this request's identifier are skipped, and so
// are those that fail authentication: when only those came, the last error is
// kErrorNtsUnauthenticated rather than kErrorTimedOut. kErrorNtsRefused for
// the server's refusal of the cookie.
bool NtsExchange(NtsSession& session, const SystemClock& clock, uint16_t fallbackPort, uint32_t timeoutMs,
                 std::stop_token stop, CSNTPReply& reply);

// One exchange with an "nts://" host, with the cookies kept from the last one
// or a new key establishment when there are none. A failure forgets the
// server's cookies, so that the next query starts with a new handshake.
bool NtsQuery(const std::string& host, const SystemClock& clock, uint16_t fallbackPort, uint32_t timeoutMs,
              std::stop_token stop, CSNTPReply& reply, const NtsKeOptions& options = {});

// How many cookies are kept for the host; for tests.
std::size_t NtsKeptCookies(const std::string& host);
// Forgets every kept session.
void NtsForgetSessions();
