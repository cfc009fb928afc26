#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// A socket of the given type bound to a free port on 127.0.0.1; port receives
// the port. -1 when no socket could be made.
inline int LoopbackSocket(int type, uint16_t& port) {
    const int handle = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return handle;
}

// A socket of the given type bound to port on ::1 that never answers: a
// stream socket listens but never accepts, so a connection is made and then
// nothing comes. -1 when ::1 or the port is not to be had.
inline int SilentIpv6Socket(int type, uint16_t port) {
    const int handle = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port);
    if (bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && listen(handle, 4) != 0)) {
        close(handle);
        return -1;
    }
    return handle;
}
