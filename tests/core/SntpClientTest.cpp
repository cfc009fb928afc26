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
#include <iostream>

#include "platform/LastError.h"
#include "tests/support/Chronyd.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeClockSetter.h"
#include "tests/support/FakeSntpServer.h"

namespace {

using Stamp = FakeSntpServer::Timestamp;

// A loopback port where nobody listens: the kernel answers "port unreachable".
uint16_t ClosedUdpPort() {
    const int handle = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
    close(handle);
    return ntohs(address.sin_port);
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

TEST_F(SntpClientTest, ReplyLengthsDecodeAlikeAndShortRepliesReadAsZeros) {
    const CSNTPTimestamp t2(3900000000u, 0x40000000u);
    const CSNTPTimestamp t3(3900000000u, 0x60000000u);
    m_server.FixTimestamp(Stamp::Receive, t2);
    m_server.FixTimestamp(Stamp::Transmit, t3);
    m_server.SetStratum(3);
    struct Row {
        size_t length;
        CSNTPTimestamp expectedTransmit;
    };
    const Row rows[] = {{48, t3}, {68, t3}, {1024, t3}, {40, CSNTPTimestamp()}, {2, CSNTPTimestamp()}};
    for (const Row& row : rows) {
        m_server.SetReplyLength(row.length);
        CSNTPReply reply{};
        ASSERT_TRUE(m_client.Query(FakeSntpServer::kHost, reply, m_server.Port())) << row.length;
        EXPECT_EQ(reply.stratum, 3) << row.length;
        EXPECT_EQ(reply.transmitTime, row.expectedTransmit) << row.length;
        EXPECT_EQ(reply.receiveTime, row.length >= 40 ? t2 : CSNTPTimestamp()) << row.length;
        EXPECT_EQ(reply.originateTime, row.length >= 32 ? reply.sentTransmitTime : CSNTPTimestamp())
            << row.length;
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
        {"empty datagram", false, 0, 0, m_server.Port(), ENODATA},
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
        if (row.expectedError == kErrorTimedOut) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(200)) << row.what;
            EXPECT_LT(elapsed, std::chrono::milliseconds(450)) << row.what;
        }
    }
    EXPECT_EQ(CSNTPClient(m_clock, m_clockSetter).ReceiveTimeoutMs(), 5000u);
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
