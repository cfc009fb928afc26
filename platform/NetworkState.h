#pragma once

struct ifaddrs;

// Whether the machine has a network connection, asked of the system alone:
// no traffic, quick enough for the user-interface thread's one-second tick.
// Tests replace it with a fake.
class NetworkState {
public:
    virtual ~NetworkState() = default;

    virtual bool IsConnected() const = 0;
};

// The interfaces as getifaddrs lists them.
class LinuxNetworkState final : public NetworkState {
public:
    // False when the list cannot be read.
    bool IsConnected() const override;
};

// The decision on one interface list (a getifaddrs list, or one built by a
// test): connected when some interface other than loopback is up and running
// (IFF_UP and IFF_RUNNING: administratively up and with a carrier) and carries
// an IPv4 or IPv6 address that is not link-local. Link-local addresses
// (169.254.0.0/16, fe80::/10) are left out because the system gives them to
// any interface with a cable in, with or without a network behind it.
bool AnyInterfaceConnected(const ifaddrs* list);
