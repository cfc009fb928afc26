#pragma once

// The client side of Network Time Security: the key establishment over TLS
// 1.3, the authenticated NTPv4 exchange, and the query that keeps the cookies
// per server in a jar between exchanges. Failures leave their code in the last
// error and a line for a person in NtsLastDetail().

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "core/NameLookup.h"
#include "core/NtsCodec.h"
#include "core/NtsSession.h"
#include "core/SntpClient.h"
#include "platform/SystemClock.h"

struct NtsKeOptions {
    // A file of trusted certificates in place of the system's trust store
    // (which honours SSL_CERT_FILE and SSL_CERT_DIR). Empty for the system's.
    std::string trustFile;
    uint32_t timeoutMs = CSNTPClient::kDefaultReceiveTimeoutMs;
    // How server names are looked up (tests put their own resolver in).
    NameLookup lookup = SystemNameLookup;
    // Every time request first takes its turn here (see CSNTPClient::SetPacer);
    // none: nothing is paced.
    RequestPacer* pacer = nullptr;
};

// The last failure's details on this thread ("certificate verify failed: ...",
// "error record 1"); empty after a success.
const std::string& NtsLastDetail();

// The key establishment with host. Its addresses are tried in the resolver's
// order, each until it fails or has had its share of the time left. Last error
// on failure (the first address's whose server answered at all, else the
// last address's): a name lookup code or errno for the connection,
// kErrorTimedOut, ECANCELED when stop was requested, kErrorNtsTls,
// kErrorNtsCertificate, kErrorNtsNoAlpn, kErrorNtsClosed,
// kErrorNtsNoAlgorithm, kErrorNtsServerError, kErrorNtsServerWarning,
// kErrorNtsNoCookie, kErrorNtsBadResponse.
bool NtsEstablish(const NtsHost& host, const NtsKeOptions& options, std::stop_token stop,
                  NtsSession& session);

// One authenticated exchange, spending one cookie of session per address asked
// and keeping the fresh ones the reply brings. Without a server record the
// request goes to the key establishment's own address; with one, to each
// address of the named server (looked up with lookup) in turn, each until it
// fails or has had its share of the time left. Sent to the session's port, or
// fallbackPort when it names none. True with every field of reply filled and
// authenticated set. Datagrams that do not carry this request's identifier are
// skipped, and so are those that fail authentication: when only those came,
// the last error is kErrorNtsUnauthenticated rather than kErrorTimedOut.
// kErrorNtsRefused, with every cookie dropped, for the server's refusal of
// the cookie (NTSN).
bool NtsExchange(NtsSession& session, const SystemClock& clock, uint16_t fallbackPort, uint32_t timeoutMs,
                 std::stop_token stop, CSNTPReply& reply, const NameLookup& lookup = SystemNameLookup,
                 RequestPacer* pacer = nullptr);

// One exchange with an "nts://" host, with the session jar keeps from the last
// one, or a new key establishment when it keeps none. A refusal of the cookie
// (NTSN) is followed by one fresh key establishment and one more request; a
// second refusal fails with kErrorNtsRefused. A failure forgets the server's
// session, so that the next query starts with a new handshake. The key
// establishment and the exchange each get timeoutMs (options.timeoutMs is not
// read).
bool NtsQuery(const std::string& host, NtsCookieJar& jar, const SystemClock& clock, uint16_t fallbackPort,
              uint32_t timeoutMs, std::stop_token stop, CSNTPReply& reply, const NtsKeOptions& options = {});

// How a datagram received for an authenticated request is taken.
enum class NtsVerdict {
    Stray,            // not a server's reply carrying this request's identifier
    Refused,          // the server's NTSN: it cannot read the cookie
    Unauthenticated,  // it does not verify under the S2C key
    Sound,            // authenticated; the fresh cookies it brings were added
};
// Judges one datagram of untrusted bytes against the request's identifier and
// the S2C key. A sound one's cookies are added to cookies, which never grows
// past NtsKe::kMaxCookies.
NtsVerdict JudgeDatagram(const uint8_t* data, std::size_t size, const NtsBytes& uid, const NtsBytes& s2c,
                         std::vector<NtsBytes>& cookies);
