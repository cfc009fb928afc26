#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "core/SntpClient.h"

// The measuring command line tool: asks each host for the time a number of
// times and prints what it measured. It never sets the clock.

struct QueryOptions {
    uint16_t port = 123;
    int samples = 1;
    bool help = false;
    // Ask every host at once and judge whether their time agrees (two hosts at least).
    bool consensus = false;
    std::vector<std::string> hosts;
};

constexpr int kQueryExitAllAnswered = 0;
constexpr int kQueryExitNoAnswer = 1;
constexpr int kQueryExitBadArguments = 2;
constexpr int kQueryExitNoConsensus = 3;

// Reads the arguments after the program name. False with a one-line reason
// when they are not understood; --help needs no host.
bool ParseQueryArguments(const std::vector<std::string>& arguments, QueryOptions& options,
                         std::string& error);
std::string QueryUsage(const std::string& program);

// One line per sample: "HOST sample I/N: offset +S.SSSSSS s, delay S.SSSSSS s, stratum N, leap N".
std::string FormatQuerySample(const std::string& host, int sample, int samples, const CSNTPReply& reply);

// Medians and extremes over the samples of one host; offsets in seconds,
// positive when the local clock is behind.
struct QuerySummary {
    size_t count = 0;
    double medianOffsetSeconds = 0;
    double maxAbsOffsetSeconds = 0;
    double medianDelaySeconds = 0;
    double maxDelaySeconds = 0;
};
QuerySummary SummariseReplies(const std::vector<CSNTPReply>& replies);
std::string FormatQuerySummary(const std::string& host, const QuerySummary& summary);

// Runs the queries: samples to out; failures, rejected replies (each with its
// reason) and skipped datagrams to err. A host that does not answer is not asked again; one whose
// reply is rejected is. Returns kQueryExitAllAnswered when every host answered
// every sample with a reply that passed CheckReply, kQueryExitNoAnswer otherwise.
int RunQueries(const QueryOptions& options, CSNTPClient& client, std::ostream& out, std::ostream& err,
               const std::string& program);

// A client of its own for each host asked at the same time.
using QueryClientFactory = std::function<std::unique_ptr<CSNTPClient>()>;

// --consensus: asks every host at once (each on a client from makeClient),
// prints each host's lines as RunQueries does, in the order of the hosts,
// then "consensus: offset +S.SSSSSS s from N of M servers" (FindConsensus over
// each answering host's median offset and delay) and returns
// kQueryExitAllAnswered, or "consensus: none" and kQueryExitNoConsensus.
int RunConsensus(const QueryOptions& options, const QueryClientFactory& makeClient, std::ostream& out,
                 std::ostream& err, const std::string& program);
