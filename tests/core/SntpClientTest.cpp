#include "core/SntpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <future>
#include <iostream>
#include <stop_token>
#include <thread>

#include "platform/LastError.h"
#include "tests/support/Chronyd.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeClockSetter.h"
#include "tests/support/FakeSntpServer.h"
#include "tests/support/LoopbackSocket.h"

namespace {

using Stamp = FakeSntpServer::Timestamp;

// A loopback port where nobody listens: the kernel answers "port unreachable".
uint16_t ClosedUdpPort() {
    uint16_t port = 0;
    close(LoopbackSocket(SOCK_DGRAM, port));
    return port;
}

class SntpClientTest : public ::testing::Test {
protected:
    FakeClock m_clock = FakeClock::FollowingRealTime(0);
    FakeClockSetter m_clockSetter{m_clock};
    FakeSntpServer m_server;
    CSNTPClient m_client{m_clock, m_clockSetter, 1000};
};

}  // namespace

TEST_F(SntpClientTest, QuerySendsAVersion3RequestAndDecodesTheReply) {
    m_server.SetLeapIndicator(3);
    m_server.SetStratum(0);
    CSNTPReply reply{};
    ASSERT_TRUE(m_client.Query(FakeSntpServer::kHost, reply, m_server.Port())) << GetLastError();

    const std::vector<uint8_t> request = m_server.LastRequest();
    ASSERT_EQ(request.size(), 48u);
    EXPECT_EQ(request[0], 0x1B);
    EXPECT_TRUE(std::all_of(request.begin() + 1, request.begin() + 40, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(CSNTPTimestamp::FromNetwork(&request[40]), reply.sentTransmitTime);
    EXPECT_EQ(reply.originateTime, reply.sentTransmitTime);
    // The request carries a random value, never the clock, which stays local as T1.
    EXPECT_GT(std::fabs(reply.sentTransmitTime.SecondsSince(reply.sendTime)), 1.0);
    EXPECT_NEAR(reply.sendTime.SecondsSince(CSNTPTimestamp::Now(m_clock)), 0, 0.05);
    CSNTPReply second{};
    ASSERT_TRUE(m_client.Query(FakeSntpServer::kHost, second, m_server.Port())) << GetLastError();
    EXPECT_NE(second.sentTransmitTime, reply.sentTransmitTime);
    // Nothing in the reply is judged here: leap 3 and stratum 0 pass through.
    EXPECT_EQ(reply.leapIndicator, 3);
    EXPECT_EQ(reply.stratum, 0);
    EXPECT_NEAR(reply.localClockOffsetSeconds, 0, 0.01);
    EXPECT_GE(reply.roundTripDelaySeconds, 0);
    EXPECT_LT(reply.roundTripDelaySeconds, 0.05);
    EXPECT_TRUE(m_clock.Sets().empty());
}

TEST_F(SntpClientTest, OffsetFollowsTheServerClockAndANameIsLookedUp) {
    struct Row {
        const char* host;
        double serverAheadSeconds;
    };
    const Row rows[] = {{"127.0.0.1", 1.5}, {"127.0.0.1", -1.5}, {"localhost", 7200}, {"127.0.0.1", 0}};
    for (const Row& row : rows) {
        m_server.SetClockOffset(row.serverAheadSeconds);
        CSNTPReply reply{};
        ASSERT_TRUE(m_client.Query(row.host, reply, m_server.Port())) << row.host << " " << GetLastError();
        EXPECT_NEAR(reply.localClockOffsetSeconds, row.serverAheadSeconds, 0.01) << row.host;
    }
}

// The delay is the local round trip less the server's hold time T3 - T2
// (the printed RFC 2030 form would add the hold time twice over).
TEST_F(SntpClientTest, DelayExcludesTheServerHoldTimeAndCountsTheReturnPath) {
    struct Row {
        double holdSeconds;
        double returnPathSeconds;
        double expectedDelaySeconds;
        double expectedOffsetSeconds;
    };
    const Row rows[] = {{0.2, 0, 0, 0}, {0, 0.1, 0.1, -0.05}, {0.15, 0.1, 0.1, -0.05}};
    for (const Row& row : rows) {
        m_server.SetHoldTime(row.holdSeconds);
        m_server.SetReplyDelay(row.returnPathSeconds);
        CSNTPReply reply{};
        ASSERT_TRUE(m_client.Query(FakeSntpServer::kHost, reply, m_server.Port()));
        EXPECT_NEAR(reply.transmitTime.SecondsSince(reply.receiveTime), row.holdSeconds, 0.02);
        EXPECT_GE(reply.roundTripDelaySeconds, row.expectedDelaySeconds - 0.001) << row.holdSeconds;
        EXPECT_LT(reply.roundTripDelaySeconds, row.expectedDelaySeconds + 0.03) << row.holdSeconds;
        EXPECT_NEAR(reply.localClockOffsetSeconds, row.expectedOffsetSeconds, 0.02) << row.holdSeconds;
    }
}

TEST_F(SntpClientTest, SameClockTickGivesTheNegatedHoldTimeAsDelay) {
    FakeClock frozen(ClockTime{1700000000, 0});
    CSNTPClient client(frozen, m_clockSetter, 1000);
    const CSNTPTimestamp now = CSNTPTimestamp::Now(frozen);
    m_server.FixTimestamp(Stamp::Receive, now.AddSeconds(0.5));
    m_server.FixTimestamp(Stamp::Transmit, now.AddSeconds(0.75));
    CSNTPReply reply{};
    ASSERT_TRUE(client.Query(FakeSntpServer::kHost, reply, m_server.Port()));
    EXPECT_NEAR(reply.roundTripDelaySeconds, -0.25, 1e-9);
    EXPECT_NEAR(reply.localClockOffsetSeconds, 0.625, 1e-9);
}

TEST_F(SntpClientTest, ReplyLengthsDecodeAlike) {
    const CSNTPTimestamp t2(3900000000u, 0x40000000u);
    const CSNTPTimestamp t3(3900000000u, 0x60000000u);
    m_server.FixTimestamp(Stamp::Receive, t2);
    m_server.FixTimestamp(Stamp::Transmit, t3);
    m_server.SetStratum(3);
    for (const size_t length : {48, 68, 1024}) {
        m_server.SetReplyLength(length);
        CSNTPReply reply{};
        ASSERT_TRUE(m_client.Query(FakeSntpServer::kHost, reply, m_server.Port())) << length;
        EXPECT_EQ(reply.stratum, 3) << length;
        EXPECT_EQ(reply.transmitTime, t3) << length;
        EXPECT_EQ(reply.receiveTime, t2) << length;
        EXPECT_EQ(reply.originateTime, reply.sentTransmitTime) << length;
    }
}

TEST_F(SntpClientTest, FailuresLeaveTheirReasonInTheLastError) {
    CSNTPClient quick(m_clock, m_clockSetter, 200);
    struct Row {
        const char* what;
        bool silent;
        double replyDelaySeconds;
        size_t replyLength;
        uint16_t port;
        uint32_t expectedError;
    };
    const Row rows[] = {
        {"silent server", true, 0, 48, m_server.Port(), kErrorTimedOut},
        // Too short to be a reply: never decoded, waited past, and named at the end.
        {"empty datagram", false, 0, 0, m_server.Port(), EBADMSG},
        {"47-byte datagram", false, 0, 47, m_server.Port(), EBADMSG},
        {"nobody listening", false, 0, 48, ClosedUdpPort(), ECONNREFUSED},
        // Last: the server is still busy with this one when the row ends.
        {"reply after the time-out", false, 0.5, 48, m_server.Port(), kErrorTimedOut},
    };
    for (const Row& row : rows) {
        m_server.SetSilent(row.silent);
        m_server.SetReplyDelay(row.replyDelaySeconds);
        m_server.SetReplyLength(row.replyLength);
        SetLastError(0);
        CSNTPReply reply{};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(quick.Query(FakeSntpServer::kHost, reply, row.port)) << row.what;
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(GetLastError(), row.expectedError) << row.what;
        if (row.expectedError != ECONNREFUSED) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(200)) << row.what;
            EXPECT_LT(elapsed, std::chrono::milliseconds(450)) << row.what;
        }
    }
    EXPECT_EQ(CSNTPClient(m_clock, m_clockSetter).ReceiveTimeoutMs(), 5000u);
}

// Exchanges that end in the answer: IPv6 written bare, in brackets or behind a
// name; a name's addresses asked in the resolver's order within the one
// time-out; datagrams that answer nothing skipped with a note on the way.
TEST_F(SntpClientTest, TheAnswerIsFoundWhereverItComesFrom) {
    FakeSntpServer v6(FakeSntpServer::Family::IPv6);
    // ::1 at the IPv4 server's port, never read: an address that stays silent.
    const int sink = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 at{AF_INET6, htons(m_server.Port()), 0, in6addr_loopback, 0};
    ASSERT_EQ(bind(sink, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    std::vector<uint8_t> stale(48, 0);  // a server's reply to some other request
    stale[0] = 0x24;
    stale[31] = 1;
    struct Row {
        std::string host;
        FakeSntpServer& server;
        std::vector<std::string> resolved;
        std::vector<std::vector<uint8_t>> before;
        std::vector<std::string> notes;
        int minMs;
    };
    const Row rows[] = {
        {"::1", v6, {}, {}, {}, 0},
        {"[::1]", v6, {}, {std::vector<uint8_t>(44, 0xAB)}, {"44: too short for a reply"}, 0},
        {"six.test", v6, {"::1"}, {stale}, {"48: does not answer this request"}, 0},
        // Nobody at the first address: the next is asked at once.
        {"dual.test",
         v6,
         {"127.0.0.1", "::1"},
         {{}, stale},
         {"0: too short for a reply", "48: does not answer this request"},
         0},
        // A silent first address has half of the time.
        {"dual.test", m_server, {"::1", "127.0.0.1"}, {}, {}, 500},
    };
    for (const Row& row : rows) {
        row.server.Reset();
        for (const std::vector<uint8_t>& datagram : row.before) {
            row.server.SendBeforeReply(datagram, 0.02);
        }
        std::vector<std::string> looked;
        std::vector<std::string> notes;
        m_client.SetNameLookup([&looked, resolved = row.resolved](const std::string& name) {
            looked.push_back(name);
            return NameLookupAnswer{0, resolved};
        });
        m_client.SetSkipNote([&](std::size_t length, const std::string& why) {
            notes.push_back(std::to_string(length) + ": " + why);
        });
        CSNTPReply reply{};
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(m_client.Query(row.host, reply, row.server.Port())) << row.host << " " << GetLastError();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, std::chrono::milliseconds(row.minMs)) << row.host;
        EXPECT_LT(elapsed, std::chrono::milliseconds(row.minMs + 150)) << row.host;
        EXPECT_EQ(reply.originateTime, reply.sentTransmitTime) << row.host;
        EXPECT_EQ(notes, row.notes) << row.host;
        EXPECT_EQ(looked, row.resolved.empty() ? std::vector<std::string>{} : std::vector{row.host});
    }
    close(sink);
}

// A stop ends the exchange at once, in the name lookup as in the wait for the
// reply; a lookup that never answers ends with the time-out as a lookup failure.
TEST_F(SntpClientTest, StopsAndTheLookupDeadlineEndTheExchangeInTime) {
    std::promise<void> release;  // holds the hanging lookups until the test ends
    m_client.SetNameLookup([held = release.get_future().share()](const std::string&) {
        held.wait();
        return NameLookupAnswer{kErrorHostNotFound, {}};
    });
    m_server.SetSilent(true);
    struct Row {
        const char* host;
        int stopAfterMs;  // 0: before the exchange; -1: never
        uint32_t expectedError;
        int minMs;
        int maxMs;
    };
    const Row rows[] = {
        {FakeSntpServer::kHost, 100, ECANCELED, 100, 300},
        {"hanging.test", 100, ECANCELED, 100, 300},
        {FakeSntpServer::kHost, 0, ECANCELED, 0, 50},
        {"hanging.test", -1, kErrorTryAgain, 1000, 1300},
    };
    for (const Row& row : rows) {
        std::stop_source source;
        if (row.stopAfterMs == 0) {
            source.request_stop();
        }
        // Read before the stopper starts its sleep, so that the stop never
        // comes sooner than stopAfterMs after it.
        const auto start = std::chrono::steady_clock::now();
        std::jthread stopper([&] {
            if (row.stopAfterMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(row.stopAfterMs));
                source.request_stop();
            }
        });
        CSNTPReply reply{};
        EXPECT_FALSE(m_client.Query(row.host, reply, m_server.Port(), source.get_token())) << row.host;
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(GetLastError(), row.expectedError) << row.host;
        EXPECT_GE(elapsed, std::chrono::milliseconds(row.minMs)) << row.host;
        EXPECT_LT(elapsed, std::chrono::milliseconds(row.maxMs)) << row.host;
    }
    // Only the first row sent a request.
    EXPECT_EQ(m_server.RequestCount(), 1u);
    release.set_value();
}

// Setting the clock goes to the setter as one request with the full
// precision; a setter that cannot even be tried is never asked, and its
// reason stays in the last error.
TEST_F(SntpClientTest, SetSystemClockHandsTheTargetToTheSetter) {
    using Mode = FakeClockSetter::Mode;
    struct Row {
        const char* what;
        Mode mode;
        uint32_t clockFailure;
        bool expectedResult;
        uint32_t expectedError;
        size_t expectedRequests;
    };
    const Row rows[] = {
        {"granted", Mode::Granted, 0, true, 12345, 1},
        {"set refused by the clock", Mode::Granted, EINVAL, false, EINVAL, 1},
        {"refused by the authority", Mode::Refused, 0, false, EPERM, 1},
        {"no authority", Mode::Unreachable, 0, false, ECONNREFUSED, 0},
    };
    const ClockTime target{1900000000, 123456789};
    for (const Row& row : rows) {
        FakeClock clock(ClockTime{1700000000, 0});
        clock.FailSets(row.clockFailure);
        FakeClockSetter setter(clock, row.mode);
        CSNTPClient client(clock, setter);
        SetLastError(12345);
        EXPECT_EQ(client.SetSystemClock(CSNTPTimestamp::FromClockTime(target)), row.expectedResult)
            << row.what;
        EXPECT_EQ(GetLastError(), row.expectedError) << row.what;
        ASSERT_EQ(setter.Requests().size(), row.expectedRequests) << row.what;
        if (row.expectedRequests != 0) {
            EXPECT_EQ(setter.Requests()[0].stepMicroseconds, 200000000000000 + 123457) << row.what;
        }
        const ClockTime expectedNow = row.expectedResult ? target : ClockTime{1700000000, 0};
        EXPECT_EQ(clock.Now(), expectedNow) << row.what;
    }
}

// A real server on loopback: the measured offset must match its clock.
class SntpClientChronydTest : public ::testing::TestWithParam<std::pair<const char*, double>> {};

TEST_P(SntpClientChronydTest, OffsetMatchesTheServerClockWithin1Ms) {
    if (Chronyd::RanAsNamespaceRoot()) {
        return;
    }
    const auto [fakeTime, expectedOffsetSeconds] = GetParam();
    const ChronydOptions options{fakeTime, 8, std::chrono::milliseconds(10000)};
    if (const std::string reason = Chronyd::Unavailable(options); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    Chronyd chronyd(options);
    FakeClock clock = FakeClock::FollowingRealTime(0);
    FakeClockSetter clockSetter{clock};
    CSNTPClient client(clock, clockSetter);
    std::vector<double> offsets;
    std::vector<double> delays;
    for (int i = 0; i < 50; ++i) {
        CSNTPReply reply{};
        ASSERT_TRUE(client.Query(Chronyd::kHost, reply, chronyd.Port())) << GetLastError() << chronyd.Log();
        EXPECT_EQ(reply.stratum, 8);
        EXPECT_EQ(reply.leapIndicator, 0);
        offsets.push_back(reply.localClockOffsetSeconds - expectedOffsetSeconds);
        delays.push_back(reply.roundTripDelaySeconds);
    }
    std::sort(offsets.begin(), offsets.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
    std::sort(delays.begin(), delays.end());
    std::cout << "chronyd " << (*fakeTime != '\0' ? fakeTime : "real clock")
              << ": 50 samples, offset error median " << offsets[25] * 1e6 << " us, max "
              << offsets.back() * 1e6 << " us; delay median " << delays[25] * 1e6 << " us, max "
              << delays.back() * 1e6 << " us\n";
    EXPECT_LT(std::fabs(offsets[25]), 0.001);
    EXPECT_GE(delays.front(), 0);
    EXPECT_TRUE(clock.Sets().empty());
}

INSTANTIATE_TEST_SUITE_P(Clocks, SntpClientChronydTest,
                         ::testing::Values(std::make_pair("", 0.0), std::make_pair("+2h", 7200.0)),
                         [](const auto& info) { return *info.param.first == '\0' ? "Real" : "Plus2h"; });
