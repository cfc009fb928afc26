#include "platform/NetworkState.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <deque>
#include <string>
#include <vector>

namespace {

struct FakeAddress {
    const char* interface;
    unsigned flags;
    const char* address;  // IPv4 or IPv6 text; nullptr for an entry without one
};

// An interface list laid out as getifaddrs gives it: one entry per address.
class InterfaceList {
public:
    explicit InterfaceList(const std::vector<FakeAddress>& entries) {
        for (const FakeAddress& entry : entries) {
            ifaddrs& node = m_nodes.emplace_back();
            node.ifa_name = const_cast<char*>(entry.interface);
            node.ifa_flags = entry.flags;
            if (entry.address != nullptr) {
                sockaddr_storage& storage = m_addresses.emplace_back();
                auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
                auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
                if (inet_pton(AF_INET, entry.address, &v4->sin_addr) == 1) {
                    v4->sin_family = AF_INET;
                } else if (inet_pton(AF_INET6, entry.address, &v6->sin6_addr) == 1) {
                    v6->sin6_family = AF_INET6;
                } else {
                    ADD_FAILURE() << "not an address: " << entry.address;
                }
                node.ifa_addr = reinterpret_cast<sockaddr*>(&storage);
            }
        }
        for (size_t i = 0; i + 1 < m_nodes.size(); ++i) {
            m_nodes[i].ifa_next = &m_nodes[i + 1];
        }
    }

    const ifaddrs* Head() const { return m_nodes.empty() ? nullptr : &m_nodes.front(); }

private:
    // Deques keep the addresses of their elements as they grow.
    std::deque<ifaddrs> m_nodes;
    std::deque<sockaddr_storage> m_addresses;
};

constexpr unsigned kLoopback = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;
constexpr unsigned kUp = IFF_UP | IFF_RUNNING;
constexpr unsigned kNoCarrier = IFF_UP;

}  // namespace

TEST(NetworkStateTest, ConnectedOnlyWithAnInterfaceThatIsUpAndAddressed) {
    struct Case {
        const char* what;
        std::vector<FakeAddress> list;
        bool connected;
    };
    const FakeAddress lo4{"lo", kLoopback, "127.0.0.1"};
    const FakeAddress lo6{"lo", kLoopback, "::1"};
    const Case cases[] = {
        {"no interfaces", {}, false},
        {"only loopback", {lo4, lo6}, false},
        {"an interface down", {lo4, {"eth0", 0, "192.0.2.2"}}, false},
        {"up without a carrier", {lo4, {"eth0", kNoCarrier, "192.0.2.2"}}, false},
        {"up without an address", {lo4, {"eth0", kUp, nullptr}}, false},
        {"up with only link-local IPv4", {lo4, {"eth0", kUp, "169.254.7.1"}}, false},
        {"up with only link-local IPv6", {lo4, {"eth0", kUp, "fe80::fc:ff:fe00:1"}}, false},
        {"up with IPv4", {lo4, {"eth0", kUp, "192.0.2.2"}}, true},
        {"up with IPv6", {lo6, {"eth0", kUp, "fe80::1"}, {"eth0", kUp, "2001:db8::2"}}, true},
        {"one of several", {lo4, {"wlan0", 0, "198.51.100.7"}, {"eth0", kUp, "10.0.0.5"}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const InterfaceList list(c.list);
        EXPECT_EQ(AnyInterfaceConnected(list.Head()), c.connected);
    }
}

TEST(NetworkStateTest, ReadsTheMachinesOwnList) {
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    const bool expected = AnyInterfaceConnected(list);
    freeifaddrs(list);
    EXPECT_EQ(LinuxNetworkState().IsConnected(), expected);
}
