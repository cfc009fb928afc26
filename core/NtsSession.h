#pragma once

// What a Network Time Security key establishment yields, and the store that
// keeps it between exchanges.

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/NameLookup.h"
#include "core/NtsCodec.h"

// The two keys, the cookies, and where to send the time requests.
struct NtsSession {
    NtsBytes c2s;
    NtsBytes s2c;
    std::vector<NtsBytes> cookies;
    // The server record's name; empty when the answer had none, and the time
    // requests then go to keAddress.
    std::string ntpHost;
    uint16_t ntpPort = 0;  // 0: the server named none
    // The address the key establishment was made with (length 0: none).
    Peer keAddress;
};

// The sessions kept per "nts://" server between queries, so that a query
// spends a kept cookie rather than a new handshake. Whoever queries owns one;
// its calls may come from several threads.
class NtsCookieJar {
public:
    // The server's session, taken out of the jar; nullopt when none with a
    // cookie is kept.
    std::optional<NtsSession> Take(const NtsHost& host);
    // Keeps the session for the server, in place of any kept before.
    void Keep(const NtsHost& host, NtsSession session);
    // How many cookies are kept for an "nts://" host text; 0 for any other.
    std::size_t KeptCookies(const std::string& host) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::map<std::string, NtsSession> m_sessions;
};
