#include "core/NameLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/LastError.h"

namespace {

// Shared by the waiting caller and the lookup's thread, whichever ends last.
struct PendingLookup {
    std::mutex mutex;
    std::condition_variable_any answered;
    bool done = false;
    NameLookupAnswer answer;
};

}  // namespace

uint32_t LookupErrorCode(int lookupResult, int savedErrno) {
    switch (lookupResult) {
        case EAI_NONAME:
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return kErrorHostNotFound;
        case EAI_AGAIN:
            return kErrorTryAgain;
        case EAI_MEMORY:
            return ENOMEM;
        case EAI_SYSTEM:
            return savedErrno != 0 ? static_cast<uint32_t>(savedErrno) : kErrorNoRecovery;
        default:
            return kErrorNoRecovery;
    }
}

NameLookupAnswer SystemNameLookup(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    errno = 0;
    const int result = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (result != 0) {
        return {LookupErrorCode(result, errno), {}};
    }
    NameLookupAnswer answer;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        char text[NI_MAXHOST] = {};
        if (getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
            0) {
            answer.addresses.emplace_back(text);
        }
    }
    freeaddrinfo(found);
    if (answer.addresses.empty()) {
        answer.error = kErrorHostNotFound;
    }
    return answer;
}

NameLookupAnswer LookUpBefore(const NameLookup& lookup, const std::string& name,
                              std::chrono::steady_clock::time_point deadline, std::stop_token stop) {
    if (stop.stop_requested()) {
        return {ECANCELED, {}};
    }
    auto pending = std::make_shared<PendingLookup>();
    try {
        std::thread([pending, lookup, name] {
            NameLookupAnswer answer = lookup(name);
            {
                std::lock_guard lock(pending->mutex);
                pending->answer = std::move(answer);
                pending->done = true;
            }
            pending->answered.notify_all();
        }).detach();
    } catch (const std::system_error& error) {
        return {static_cast<uint32_t>(error.code().value()), {}};
    }
    std::unique_lock lock(pending->mutex);
    if (pending->answered.wait_until(lock, stop, deadline, [&] { return pending->done; })) {
        return std::move(pending->answer);
    }
    return {stop.stop_requested() ? static_cast<uint32_t>(ECANCELED) : kErrorTryAgain, {}};
}

namespace {

// A numeric address of any family (a scope such as "%eth0" included); false
// for anything else. Never asks a resolver.
bool NumericPeer(const std::string& text, uint16_t port, int family, Peer& peer) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(text.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return false;
    }
    const bool fits = found->ai_addrlen <= sizeof peer.address;
    if (fits) {
        std::memcpy(&peer.address, found->ai_addr, found->ai_addrlen);
        peer.length = found->ai_addrlen;
    }
    freeaddrinfo(found);
    return fits;
}

}  // namespace

std::string Peer::Text() const {
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (getnameinfo(Address(), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return {};
    }
    // Appended piece by piece: GCC 12 at -O3 takes the chain of + for an
    // overlapping copy (-Wrestrict, GCC bug 105651).
    std::string text;
    if (Family() == AF_INET6) {
        text += '[';
        text += host;
        text += ']';
    } else {
        text += host;
    }
    text += ':';
    text += service;
    return text;
}

bool FindPeers(const std::string& host, uint16_t port, const NameLookup& lookup,
               std::chrono::steady_clock::time_point deadline, std::stop_token stop,
               std::vector<Peer>& peers) {
    const in_addr_t dotted = inet_addr(host.c_str());
    if (dotted != INADDR_NONE) {
        sockaddr_in& v4 = reinterpret_cast<sockaddr_in&>(peers.emplace_back().address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = dotted;
        peers.back().length = sizeof v4;
        return true;
    }
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    const std::string bare = bracketed ? host.substr(1, host.size() - 2) : host;
    if (Peer peer; bare.find(':') != std::string::npos && NumericPeer(bare, port, AF_INET6, peer)) {
        peers.push_back(peer);
        return true;
    }
    const NameLookupAnswer answer = LookUpBefore(lookup, host, deadline, std::move(stop));
    if (answer.error != 0) {
        SetLastError(answer.error);
        return false;
    }
    for (const std::string& address : answer.addresses) {
        if (Peer peer; NumericPeer(address, port, AF_UNSPEC, peer)) {
            peers.push_back(peer);
        }
    }
    if (peers.empty()) {
        SetLastError(kErrorHostNotFound);
        return false;
    }
    return true;
}
