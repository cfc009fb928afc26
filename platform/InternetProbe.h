#pragma once

#include <chrono>
#include <stop_token>
#include <string>

// How one attempt to open the probe page ended.
enum class ProbeOutcome {
    Reached,     // a server answered with an HTTP status line and headers, whatever the status
    OpenFailed,  // no HTTP session could be set up at all (the client library, not the network)
    UrlFailed,   // the page could not be opened: bad address, name lookup, connect, no answer, time-out
    Cancelled,   // the stop token was triggered before an answer came; nothing is to be reported
};

struct ProbeResult {
    ProbeOutcome outcome = ProbeOutcome::UrlFailed;
    long httpStatus = 0;  // the answer's status code when Reached, otherwise 0
    std::string detail;   // why it failed, in English, for diagnostics; empty when Reached
};

// The Internet connectivity check that a manual synchronisation makes before it
// asks a time server: one HTTP request for a fixed page, whose content is never
// read. Tests replace it with a fake or point the real one at a local server.
class InternetProbe {
public:
    virtual ~InternetProbe() = default;

    // Opens the page once. Blocks until an answer, a failure or the time-out,
    // but returns Cancelled at once when stop is requested, so that a stopped
    // run holds nothing up. Safe to call from several threads at a time.
    virtual ProbeResult Open(std::stop_token stop = {}) = 0;
};

// The check through libcurl: GET with the agent name "Lanternet", asking every
// cache on the way to go to the origin server (Cache-Control and Pragma
// "no-cache"), plain HTTP only, no redirect followed, the proxy settings of the
// environment (http_proxy, no_proxy). The transfer is dropped as soon as the
// answer's headers are complete: any HTTP answer, an error status included,
// shows that the network carried the request to a web server and back, which
// is all the check asks.
class CurlInternetProbe final : public InternetProbe {
public:
    // A page that exists for connectivity checks: it answers 204 with no body
    // over plain HTTP, so no cache or portal rewrite can pass for an answer.
    static constexpr const char* kProbeUrl = "http://connectivitycheck.gstatic.com/generate_204";
    // For the whole attempt, name lookup and connect included.
    static constexpr std::chrono::milliseconds kDefaultTimeout{30'000};

    explicit CurlInternetProbe(std::string url = kProbeUrl,
                               std::chrono::milliseconds timeout = kDefaultTimeout);

    ProbeResult Open(std::stop_token stop = {}) override;

    const std::string& Url() const { return m_url; }

private:
    std::string m_url;
    std::chrono::milliseconds m_timeout;
};
