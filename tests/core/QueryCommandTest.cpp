#include "core/QueryCommand.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>

#include "tests/support/FakeClock.h"
#include "tests/support/FakeClockSetter.h"
#include "tests/support/FakeSntpServer.h"

TEST(QueryCommandTest, ArgumentsAreParsedOrRefusedWithAReason) {
    struct Row {
        std::vector<std::string> arguments;
        bool ok;
        uint16_t port;
        int samples;
        std::vector<std::string> hosts;
        const char* errorPart;
    };
    const Row rows[] = {
        {{"a.example"}, true, 123, 1, {"a.example"}, ""},
        {{"--port", "11123", "--samples", "5", "a", "b"}, true, 11123, 5, {"a", "b"}, ""},
        {{"--port=1", "--samples=10000", "a"}, true, 1, 10000, {"a"}, ""},
        {{"--", "-odd-host"}, true, 123, 1, {"-odd-host"}, ""},
        {{"--help"}, true, 123, 1, {}, ""},
        {{}, false, 0, 0, {}, "no host"},
        {{"--port", "0", "a"}, false, 0, 0, {}, "--port"},
        {{"--port", "65536", "a"}, false, 0, 0, {}, "--port"},
        {{"--port", "12x", "a"}, false, 0, 0, {}, "--port"},
        {{"--samples", "0", "a"}, false, 0, 0, {}, "--samples"},
        {{"--samples"}, false, 0, 0, {}, "needs a value"},
        {{"-v", "a"}, false, 0, 0, {}, "unknown option -v"},
        {{"nts://[::1]:4460", "NTS://a/"}, true, 123, 1, {"nts://[::1]:4460", "NTS://a/"}, ""},
        {{"a", "nts://"}, false, 0, 0, {}, "\"nts://\" is not"},
        {{"nts://localhost:0"}, false, 0, 0, {}, "\"nts://localhost:0\" is not"},
        {{"nts://[::1"}, false, 0, 0, {}, "\"nts://[::1\" is not"},
        {{"--consensus", "a"}, false, 0, 0, {}, "--consensus needs two hosts at least"},
    };
    for (const Row& row : rows) {
        QueryOptions options;
        std::string error;
        const bool ok = ParseQueryArguments(row.arguments, options, error);
        ASSERT_EQ(ok, row.ok) << error;
        if (ok) {
            EXPECT_EQ(options.port, row.port);
            EXPECT_EQ(options.samples, row.samples);
            EXPECT_EQ(options.hosts, row.hosts);
        } else {
            EXPECT_NE(error.find(row.errorPart), std::string::npos) << error;
        }
    }
}

TEST(QueryCommandTest, SummaryTakesMediansAndExtremes) {
    std::vector<CSNTPReply> replies(4);
    const double offsets[] = {0.001, -0.004, 0.002, 0.003};
    const double delays[] = {0.010, 0.020, 0.040, 0.030};
    for (size_t i = 0; i < replies.size(); ++i) {
        replies[i].localClockOffsetSeconds = offsets[i];
        replies[i].roundTripDelaySeconds = delays[i];
    }
    QuerySummary summary = SummariseReplies(replies);
    EXPECT_EQ(summary.count, 4u);
    EXPECT_NEAR(summary.medianOffsetSeconds, 0.0015, 1e-12);
    EXPECT_NEAR(summary.maxAbsOffsetSeconds, 0.004, 1e-12);
    EXPECT_NEAR(summary.medianDelaySeconds, 0.025, 1e-12);
    EXPECT_NEAR(summary.maxDelaySeconds, 0.040, 1e-12);
    // The extremes come from the samples even when every one lies below zero.
    replies.resize(1);
    replies[0].roundTripDelaySeconds = -0.5;
    summary = SummariseReplies(replies);
    EXPECT_EQ(summary.maxDelaySeconds, -0.5);
    EXPECT_NEAR(summary.maxAbsOffsetSeconds, 0.001, 1e-12);
}

TEST(QueryCommandTest, EveryHostAndSampleGetsALineAndFailuresSayWhy) {
    FakeSntpServer ahead;
    ahead.SetClockOffset(1.5);
    ahead.SetStratum(4);
    FakeSntpServer silent;
    silent.SetSilent(true);
    FakeClock clock = FakeClock::FollowingRealTime(0);
    FakeClockSetter clockSetter{clock};
    CSNTPClient client(clock, clockSetter, 200);

    QueryOptions options;
    options.port = ahead.Port();
    options.samples = 3;
    options.hosts = {"127.0.0.1"};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunQueries(options, client, out, err, "tidewell-query"), kQueryExitAllAnswered);
    std::istringstream lines(out.str());
    std::string line;
    for (int sample = 1; sample <= 3; ++sample) {
        ASSERT_TRUE(std::getline(lines, line));
        int number = 0;
        int of = 0;
        double offsetSeconds = 0;
        double delaySeconds = 0;
        int stratum = 0;
        int leap = -1;
        ASSERT_EQ(std::sscanf(line.c_str(),
                              "127.0.0.1 sample %d/%d: offset %lf s, delay %lf s, stratum %d, leap %d",
                              &number, &of, &offsetSeconds, &delaySeconds, &stratum, &leap),
                  6)
            << line;
        EXPECT_EQ(number, sample);
        EXPECT_EQ(of, 3);
        // A measurement is off by at most half its round trip, which a loaded
        // machine can stretch.
        EXPECT_NEAR(offsetSeconds, 1.5, 0.01 + delaySeconds / 2) << line;
        EXPECT_EQ(stratum, 4);
        EXPECT_EQ(leap, 0);
    }
    ASSERT_TRUE(std::getline(lines, line));
    double medianSeconds = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "127.0.0.1 summary of 3: offset median %lf", &medianSeconds), 1)
        << line;
    EXPECT_NEAR(medianSeconds, 1.5, 0.1) << line;
    EXPECT_TRUE(err.str().empty());

    options.port = silent.Port();
    options.hosts = {"127.0.0.1", "localhost"};
    out.str("");
    EXPECT_EQ(RunQueries(options, client, out, err, "tidewell-query"), kQueryExitNoAnswer);
    EXPECT_EQ(err.str(),
              "tidewell-query: 127.0.0.1: no answer: timed out after 200 ms\n"
              "tidewell-query: localhost: no answer: timed out after 200 ms\n");
    // A host that does not answer is not asked again.
    EXPECT_EQ(silent.RequestCount(), 2u);
    EXPECT_TRUE(clock.Sets().empty());
    EXPECT_TRUE(clockSetter.Requests().empty());
}

TEST(QueryCommandTest, EveryRejectedReplyIsReportedWithItsReasonAndLeftOut) {
    FakeSntpServer server;
    FakeClock clock = FakeClock::FollowingRealTime(0);
    FakeClockSetter clockSetter{clock};
    CSNTPClient client(clock, clockSetter, 1000);
    QueryOptions options;
    options.port = server.Port();
    options.samples = 2;
    options.hosts = {"127.0.0.1"};

    server.SetLeapIndicator(3);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunQueries(options, client, out, err, "tidewell-query"), kQueryExitNoAnswer);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(),
              "tidewell-query: 127.0.0.1: sample 1/2 rejected: leap indicator 3: the server's clock is not "
              "synchronised\n"
              "tidewell-query: 127.0.0.1: sample 2/2 rejected: leap indicator 3: the server's clock is not "
              "synchronised\n");
    // A rejected host is asked again: the next reply may be sound.
    EXPECT_EQ(server.RequestCount(), 2u);

    // A datagram that answers nothing is noted and the wait goes on.
    server.Reset();
    server.SendBeforeReply(std::vector<uint8_t>(44, 0x24), 0.02);
    options.samples = 1;
    err.str("");
    EXPECT_EQ(RunQueries(options, client, out, err, "tidewell-query"), kQueryExitAllAnswered);
    EXPECT_EQ(err.str(), "tidewell-query: 127.0.0.1: skipped a 44-byte datagram: too short for a reply\n");
    EXPECT_NE(out.str().find("127.0.0.1 sample 1/1: offset"), std::string::npos) << out.str();

    // A server claiming to have held the request 10 s gives a delay below 0.
    server.Reset();
    server.SetClaimedHoldTime(10);
    err.str("");
    out.str("");
    EXPECT_EQ(RunQueries(options, client, out, err, "tidewell-query"), kQueryExitNoAnswer);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("127.0.0.1: sample 1/1 rejected: delay -9.99"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find(" s below 0: "), std::string::npos) << err.str();

    server.Reset();
    server.SetReplyLength(40);
    err.str("");
    EXPECT_EQ(RunQueries(options, client, out, err, "tidewell-query"), kQueryExitNoAnswer);
    EXPECT_EQ(err.str(),
              "tidewell-query: 127.0.0.1: skipped a 40-byte datagram: too short for a reply\n"
              "tidewell-query: 127.0.0.1: no answer: no reply of full length\n");
}

TEST(QueryCommandTest, ConsensusAsksEveryHostAtOnceAndNamesTheTimeMostOfThemShare) {
    FakeClock clock = FakeClock::FollowingRealTime(0);
    FakeClockSetter clockSetter{clock};
    FakeSntpServer first(clock, "127.0.0.1", 0);
    FakeSntpServer second(clock, "127.0.0.2", first.Port());
    FakeSntpServer wrongYear(clock, "127.0.0.3", first.Port());
    first.SetClockOffset(2.0);
    second.SetClockOffset(2.0);
    wrongYear.SetClockOffset(-366 * 86400.0);
    // Each silent host waits out its time-out; asked at once, they wait together.
    FakeSntpServer silent(clock, "127.0.0.4", first.Port());
    FakeSntpServer silentToo(clock, "127.0.0.5", first.Port());
    silent.SetSilent(true);
    silentToo.SetSilent(true);
    const QueryClientFactory make = [&] { return std::make_unique<CSNTPClient>(clock, clockSetter, 300); };

    QueryOptions options;
    options.port = first.Port();
    options.consensus = true;
    options.hosts = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    std::ostringstream out;
    std::ostringstream err;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunConsensus(options, make, out, err, "q"), kQueryExitAllAnswered);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(550));
    const std::string text = out.str();
    EXPECT_EQ(text.find("127.0.0.1 sample 1/1"), 0u) << text;
    EXPECT_LT(text.find("127.0.0.2 sample"), text.find("127.0.0.3 sample")) << "in the order of the hosts";
    double offset = 0;
    ASSERT_EQ(std::sscanf(text.substr(text.rfind("consensus:")).c_str(),
                          "consensus: offset %lf s from 2 of 5 servers", &offset),
              1)
        << text;
    EXPECT_NEAR(offset, 2.0, 0.05);
    EXPECT_EQ(err.str(),
              "q: 127.0.0.4: no answer: timed out after 300 ms\n"
              "q: 127.0.0.5: no answer: timed out after 300 ms\n");

    // One against one: neither group is the largest.
    options.hosts = {"127.0.0.1", "127.0.0.3"};
    out.str("");
    EXPECT_EQ(RunConsensus(options, make, out, err, "q"), kQueryExitNoConsensus);
    EXPECT_EQ(out.str().substr(out.str().rfind("consensus:")), "consensus: none\n");
    EXPECT_TRUE(clockSetter.Requests().empty());
}
