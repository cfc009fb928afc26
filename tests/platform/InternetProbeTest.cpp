#include "platform/InternetProbe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LocalHttpResponder.h"

using namespace std::chrono_literals;

namespace {

using SteadyClock = std::chrono::steady_clock;

std::chrono::milliseconds MillisecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
}

// A loopback port that was free a moment ago and on which nothing listens.
uint16_t UnusedPort() {
    const int probeSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(probeSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(getsockname(probeSocket, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(probeSocket);
    return ntohs(address.sin_port);
}

}  // namespace

TEST(InternetProbeTest, AnyHttpAnswerCountsAsReached) {
    LocalHttpResponder responder;
    CurlInternetProbe probe(responder.Url());
    for (const int status : {200, 204, 302, 404, 503}) {
        SCOPED_TRACE(status);
        responder.SetStatus(status);
        const ProbeResult result = probe.Open();
        EXPECT_EQ(result.outcome, ProbeOutcome::Reached) << result.detail;
        EXPECT_EQ(result.httpStatus, status);
    }
}

TEST(InternetProbeTest, AsksForThePageWithTheAgentNameAndPastEveryCache) {
    LocalHttpResponder responder;
    CurlInternetProbe probe(responder.Url("/generate_204"));
    ASSERT_EQ(probe.Open().outcome, ProbeOutcome::Reached);

    const std::vector<HttpRequest> requests = responder.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/generate_204");
    EXPECT_EQ(requests[0].Header("User-Agent"), "Lanternet");
    EXPECT_EQ(requests[0].Header("Cache-Control"), "no-cache");
    EXPECT_EQ(requests[0].Header("Pragma"), "no-cache");
}

TEST(InternetProbeTest, LeavesTheBodyUnread) {
    constexpr size_t kBodyBytes = 256u << 20;
    LocalHttpResponder responder;
    responder.SetBodySize(kBodyBytes);
    CurlInternetProbe probe(responder.Url());

    const auto start = SteadyClock::now();
    const ProbeResult result = probe.Open();
    EXPECT_LT(MillisecondsSince(start), 1000ms);
    EXPECT_EQ(result.outcome, ProbeOutcome::Reached) << result.detail;
    EXPECT_EQ(result.httpStatus, 200);
    // The connection was closed long before the body could be sent.
    ASSERT_TRUE(responder.WaitForFinished(1, 10s));
    EXPECT_LT(responder.LastBodyBytesSent(), kBodyBytes / 4);
}

TEST(InternetProbeTest, PagesThatCannotBeOpenedAreUrlFailures) {
    LocalHttpResponder responder;
    responder.SetCloseAtOnce(true);
    const std::string loopback = "127.0.0.1:" + std::to_string(responder.Port());
    struct Case {
        const char* what;
        std::string url;
    };
    const Case cases[] = {
        {"nothing listens on the port", "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/"},
        {"the connection closes without an answer", responder.Url()},
        {"not plain HTTP", "https://" + loopback + "/"},
        {"another scheme", "ftp://" + loopback + "/"},
        {"a malformed address", "http://[127.0.0.1/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = SteadyClock::now();
        const ProbeResult result = CurlInternetProbe(c.url).Open();
        EXPECT_LT(MillisecondsSince(start), 2000ms);
        EXPECT_EQ(result.outcome, ProbeOutcome::UrlFailed);
        EXPECT_EQ(result.httpStatus, 0);
        EXPECT_FALSE(result.detail.empty());
    }
    // Only the one case meant for the responder reached it.
    EXPECT_EQ(responder.ConnectionCount(), 1u);
}

TEST(InternetProbeTest, WaitsForASlowAnswerUntilItsTimeOut) {
    LocalHttpResponder responder;
    responder.SetDelay(200ms);
    const ProbeResult slow = CurlInternetProbe(responder.Url(), 3000ms).Open();
    EXPECT_EQ(slow.outcome, ProbeOutcome::Reached) << slow.detail;

    responder.Reset();
    responder.SetSilent(true);
    const auto start = SteadyClock::now();
    const ProbeResult silent = CurlInternetProbe(responder.Url(), 300ms).Open();
    const auto elapsed = MillisecondsSince(start);
    EXPECT_EQ(silent.outcome, ProbeOutcome::UrlFailed);
    EXPECT_GE(elapsed, 250ms);  // libcurl keeps time in whole milliseconds
    EXPECT_LT(elapsed, 2000ms);
}

TEST(InternetProbeTest, AStopAbandonsAWaitingRequestAtOnce) {
    LocalHttpResponder responder;
    responder.SetSilent(true);
    CurlInternetProbe probe(responder.Url());  // the long default time-out
    std::stop_source stopSource;
    ProbeResult result;
    std::atomic<SteadyClock::rep> returnedAt{0};
    std::thread worker([&] {
        result = probe.Open(stopSource.get_token());
        returnedAt = SteadyClock::now().time_since_epoch().count();
    });
    ASSERT_TRUE(responder.WaitForRequests(1, 5s));
    std::this_thread::sleep_for(20ms);  // well into the wait for the answer
    const auto stoppedAt = SteadyClock::now();
    stopSource.request_stop();
    worker.join();

    const SteadyClock::time_point returned{SteadyClock::duration{returnedAt.load()}};
    EXPECT_LT(returned - stoppedAt, 100ms);
    EXPECT_EQ(result.outcome, ProbeOutcome::Cancelled);
}

TEST(InternetProbeTest, AStopBeforeTheStartSendsNothing) {
    LocalHttpResponder responder;
    std::stop_source stopSource;
    stopSource.request_stop();
    EXPECT_EQ(CurlInternetProbe(responder.Url()).Open(stopSource.get_token()).outcome,
              ProbeOutcome::Cancelled);
    EXPECT_EQ(responder.ConnectionCount(), 0u);
}

TEST(InternetProbeTest, ProbesOnSeveralThreadsAtOnce) {
    LocalHttpResponder responder;
    CurlInternetProbe probe(responder.Url());
    std::atomic<int> reached{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 3; ++j) {
                if (probe.Open().outcome == ProbeOutcome::Reached) {
                    ++reached;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(reached, 12);
}
