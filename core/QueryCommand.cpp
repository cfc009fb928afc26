#include "core/QueryCommand.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <thread>

#include "core/Agreement.h"
#include "core/NtsClient.h"
#include "core/ReplyCheck.h"
#include "platform/LastError.h"

namespace {

constexpr int kMaxSamples = 10000;

bool ParseNumber(const std::string& text, long min, long max, long& value) {
    const char* end = text.data() + text.size();
    const auto [rest, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && rest == end && !text.empty() && value >= min && value <= max;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

bool ParseQueryArguments(const std::vector<std::string>& arguments, QueryOptions& options,
                         std::string& error) {
    options = QueryOptions{};
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.empty() || argument[0] != '-') {
            options.hosts.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            options.help = true;
            continue;
        }
        if (argument == "--consensus") {
            options.consensus = true;
            continue;
        }
        std::string name = argument;
        std::string value;
        const size_t equals = argument.find('=');
        if (equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        } else if (argument == "--port" || argument == "--samples") {
            if (i + 1 >= arguments.size()) {
                error = argument + " needs a value";
                return false;
            }
            value = arguments[++i];
        }
        long number = 0;
        if (name == "--port") {
            if (!ParseNumber(value, 1, 65535, number)) {
                error = "--port takes a number from 1 to 65535, not \"" + value + "\"";
                return false;
            }
            options.port = static_cast<uint16_t>(number);
        } else if (name == "--samples") {
            if (!ParseNumber(value, 1, kMaxSamples, number)) {
                error = "--samples takes a number from 1 to " + std::to_string(kMaxSamples) + ", not \"" +
                        value + "\"";
                return false;
            }
            options.samples = static_cast<int>(number);
        } else {
            error = "unknown option " + name;
            return false;
        }
    }
    if (options.hosts.empty() && !options.help) {
        error = "no host given";
        return false;
    }
    if (options.consensus && options.hosts.size() < 2 && !options.help) {
        error = "--consensus needs two hosts at least";
        return false;
    }
    for (const std::string& host : options.hosts) {
        if (IsNtsHost(host) && !ParseNtsHost(host)) {
            error =
                "\"" + host + "\" is not nts://HOST, nts://HOST:PORT or nts://[IPv6]:PORT (PORT 1 to 65535)";
            return false;
        }
    }
    return true;
}

std::string QueryUsage(const std::string& program) {
    return "Usage: " + program +
           " [--port N] [--samples N] [--consensus] HOST...\n"
           "Asks each time server HOST (a name, an IPv4 address or an IPv6 address such as ::1)\n"
           "for the time over SNTP and prints the measured clock offset and network delay.\n"
           "Never sets the clock.\n"
           "A HOST written nts://NAME or nts://NAME:PORT is asked with Network Time\n"
           "Security: a TLS key establishment on PORT (default 4460), then authenticated\n"
           "NTPv4 on the port the server names (else --port).\n"
           "\n"
           "  --port N      UDP port of the servers (default 123)\n"
           "  --samples N   exchanges per host, sent one after the other (default 1);\n"
           "                more than one adds a summary line per host\n"
           "  --consensus   ask every HOST at once (two at least) and end with the time\n"
           "                they agree on: \"consensus: offset S s from N of M servers\",\n"
           "                or \"consensus: none\" (see below)\n"
           "  --help        this text\n"
           "\n"
           "Offset: seconds to add to the local clock to match the server (positive when\n"
           "the local clock is behind). Delay: network round trip in seconds.\n"
           "A reply that cannot be trusted (not from a server, not an answer to the request,\n"
           "a server that refuses or is not synchronised, a date outside 2004 to 2036, a delay\n"
           "below 0) is reported with its reason and left out. A datagram that answers no\n"
           "request of this tool is skipped with a note, and the wait for the answer goes on.\n"
           "Consensus: each answering host stands for the offsets its median offset\n"
           "+/- half its median delay allows; the largest group of hosts that share an\n"
           "offset, when it holds at least half of those that answered and no other group\n"
           "is as large, gives the middle of what they share.\n"
           "Exit status: 0 when every host answered soundly, 1 when one did not, 2 on bad\n"
           "arguments. With --consensus: 0 when there is a consensus, 3 when there is none.\n";
}

std::string FormatQuerySample(const std::string& host, int sample, int samples, const CSNTPReply& reply) {
    char line[160];
    std::snprintf(line, sizeof line, " sample %d/%d: offset %+.6f s, delay %.6f s, stratum %d, leap %d",
                  sample, samples, reply.localClockOffsetSeconds, reply.roundTripDelaySeconds, reply.stratum,
                  reply.leapIndicator);
    return host + line + (reply.authenticated ? ", authenticated (NTS)" : "");
}

QuerySummary SummariseReplies(const std::vector<CSNTPReply>& replies) {
    QuerySummary summary;
    summary.count = replies.size();
    std::vector<double> offsets;
    std::vector<double> delays;
    for (const CSNTPReply& reply : replies) {
        offsets.push_back(reply.localClockOffsetSeconds);
        delays.push_back(reply.roundTripDelaySeconds);
    }
    // The extremes are the samples' own, never a starting value.
    if (!replies.empty()) {
        summary.maxAbsOffsetSeconds = std::fabs(*std::max_element(
            offsets.begin(), offsets.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); }));
        summary.maxDelaySeconds = *std::max_element(delays.begin(), delays.end());
    }
    summary.medianOffsetSeconds = Median(offsets);
    summary.medianDelaySeconds = Median(delays);
    return summary;
}

std::string FormatQuerySummary(const std::string& host, const QuerySummary& summary) {
    char line[200];
    std::snprintf(
        line, sizeof line,
        " summary of %zu: offset median %+.6f s, max |offset| %.6f s, delay median %.6f s, max %.6f s",
        summary.count, summary.medianOffsetSeconds, summary.maxAbsOffsetSeconds, summary.medianDelaySeconds,
        summary.maxDelaySeconds);
    return host + line;
}

namespace {

// One host's samples: its lines to out and err; the replies that passed.
// False when a sample was not answered soundly.
bool QueryHost(const QueryOptions& options, CSNTPClient& client, const std::string& host,
               std::vector<CSNTPReply>& replies, std::ostream& out, std::ostream& err,
               const std::string& program) {
    bool sound = true;
    client.SetSkipNote([&](std::size_t length, const std::string& why) {
        err << program << ": " << host << ": skipped a " << length << "-byte datagram: " << why << '\n';
    });
    for (int sample = 1; sample <= options.samples; ++sample) {
        CSNTPReply reply{};
        if (!client.Query(host, reply, options.port)) {
            const uint32_t code = GetLastError();
            err << program << ": " << host
                << ": no answer: " << (code == EBADMSG ? "no reply of full length" : LastErrorText(code));
            if (code == kErrorTimedOut) {
                err << " after " << client.ReceiveTimeoutMs() << " ms";
            }
            if (IsNtsHost(host) && !NtsLastDetail().empty()) {
                err << " (" << NtsLastDetail() << ")";
            }
            err << '\n';
            sound = false;
            break;
        }
        std::string rejected = CheckReply(reply).reason;
        if (rejected.empty() && reply.roundTripDelaySeconds < 0) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "delay %.6f s below 0: the server claims it held the request longer than the "
                          "round trip took",
                          reply.roundTripDelaySeconds);
            rejected = text;
        }
        if (!rejected.empty()) {
            // Its figures mean nothing; the host may answer soundly next time.
            err << program << ": " << host << ": sample " << sample << "/" << options.samples
                << " rejected: " << rejected << '\n';
            sound = false;
            continue;
        }
        replies.push_back(reply);
        out << FormatQuerySample(host, sample, options.samples, reply) << '\n';
    }
    if (options.samples > 1 && !replies.empty()) {
        out << FormatQuerySummary(host, SummariseReplies(replies)) << '\n';
    }
    client.SetSkipNote({});
    return sound;
}

}  // namespace

int RunQueries(const QueryOptions& options, CSNTPClient& client, std::ostream& out, std::ostream& err,
               const std::string& program) {
    int exitCode = kQueryExitAllAnswered;
    for (const std::string& host : options.hosts) {
        std::vector<CSNTPReply> replies;
        if (!QueryHost(options, client, host, replies, out, err, program)) {
            exitCode = kQueryExitNoAnswer;
        }
        out.flush();
    }
    return exitCode;
}

int RunConsensus(const QueryOptions& options, const QueryClientFactory& makeClient, std::ostream& out,
                 std::ostream& err, const std::string& program) {
    struct Host {
        std::unique_ptr<CSNTPClient> client;
        std::vector<CSNTPReply> replies;
        std::ostringstream out;
        std::ostringstream err;
    };
    std::vector<Host> hosts(options.hosts.size());
    {
        std::vector<std::jthread> askers;
        for (std::size_t i = 0; i < hosts.size(); ++i) {
            hosts[i].client = makeClient();
            askers.emplace_back([&, i] {
                Host& h = hosts[i];
                QueryHost(options, *h.client, options.hosts[i], h.replies, h.out, h.err, program);
            });
        }
    }
    std::vector<TimeSample> samples;
    for (Host& h : hosts) {
        out << h.out.str();
        err << h.err.str();
        if (!h.replies.empty()) {
            const QuerySummary summary = SummariseReplies(h.replies);
            samples.push_back({summary.medianOffsetSeconds, summary.medianDelaySeconds});
        }
    }
    const std::optional<Consensus> consensus = FindConsensus(samples);
    if (!consensus) {
        out << "consensus: none\n";
        out.flush();
        return kQueryExitNoConsensus;
    }
    char line[160];
    std::snprintf(line, sizeof line, "consensus: offset %+.6f s from %zu of %zu servers\n",
                  consensus->offsetSeconds, consensus->servers, hosts.size());
    out << line;
    out.flush();
    return kQueryExitAllAnswered;
}
