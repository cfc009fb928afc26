#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

// What a name lookup found.
struct NameLookupAnswer {
    // 0, or why the lookup failed as a last-error code: kErrorHostNotFound,
    // kErrorTryAgain, kErrorNoRecovery or an errno.
    uint32_t error = 0;
    // Numeric addresses ("192.0.2.1", "2001:db8::1", "fe80::1%eth0") in the
    // resolver's order.
    std::vector<std::string> addresses;
};

// Looks a host name up and blocks until it knows. The program uses
// SystemNameLookup; tests put their own resolver in its place.
using NameLookup = std::function<NameLookupAnswer(const std::string& name)>;

// The last-error code of a failed getaddrinfo (its result, and errno as it
// was right after the call).
uint32_t LookupErrorCode(int lookupResult, int savedErrno);

// The system's resolver: IPv6 and IPv4 addresses of the name, in the order the
// resolver ranks them.
NameLookupAnswer SystemNameLookup(const std::string& name);

// Runs lookup on a thread of its own and waits for its answer until the
// deadline, which then reads as kErrorTryAgain (what a resolver that never
// answers says), or until stop is requested (ECANCELED). A lookup given up on
// finishes in the background and its answer is dropped, so lookup must own
// everything it uses.
NameLookupAnswer LookUpBefore(const NameLookup& lookup, const std::string& name,
                              std::chrono::steady_clock::time_point deadline, std::stop_token stop);

// One address of a server, port included, as the socket calls take it.
struct Peer {
    sockaddr_storage address{};
    socklen_t length = 0;

    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address); }
    int Family() const { return address.ss_family; }
    // "192.0.2.1:123", "[2001:db8::1]:123": the address and port, numeric.
    std::string Text() const;
};

// The addresses of host to try, in order. A dotted IPv4 address is taken as
// it stands, except "255.255.255.255", which parses to the same value as a
// parse failure and so goes to the name lookup; an IPv6 address may stand in
// brackets. Anything else is looked up with lookup, until the deadline or the
// stop (LookUpBefore). False with the reason in the last error.
bool FindPeers(const std::string& host, uint16_t port, const NameLookup& lookup,
               std::chrono::steady_clock::time_point deadline, std::stop_token stop,
               std::vector<Peer>& peers);
