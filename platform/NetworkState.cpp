#include "platform/NetworkState.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace {

bool HasRoutableAddress(const sockaddr* address) {
    if (address == nullptr) {
        return false;
    }
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        const uint32_t host = ntohl(v4->sin_addr.s_addr);
        return host != 0 && (host & 0xFFFF0000u) != 0xA9FE0000u;  // not 169.254.0.0/16
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        return !IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr) && !IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr);
    }
    return false;  // link-layer entries (AF_PACKET) and the like
}

}  // namespace

bool AnyInterfaceConnected(const ifaddrs* list) {
    constexpr unsigned kUpAndRunning = IFF_UP | IFF_RUNNING;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        // getifaddrs gives one entry per address, each with its interface's flags.
        if ((entry->ifa_flags & kUpAndRunning) == kUpAndRunning && (entry->ifa_flags & IFF_LOOPBACK) == 0 &&
            HasRoutableAddress(entry->ifa_addr)) {
            return true;
        }
    }
    return false;
}

bool LinuxNetworkState::IsConnected() const {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    const bool connected = AnyInterfaceConnected(list);
    freeifaddrs(list);
    return connected;
}
