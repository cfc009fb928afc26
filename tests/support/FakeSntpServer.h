#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/NtpWire.h"
#include "core/SntpTimestamp.h"
#include "platform/SystemClock.h"

// An SNTP server for tests, in this process: 127.0.0.1 (or ::1), an ephemeral
// UDP port, its own thread. By default it answers each request at once with a sound
// 48-byte version-3 server reply (stratum 2) taken from the real clock. Every
// knob may be turned while it runs; each request sees the knobs as they stood
// when it arrived.
class FakeSntpServer {
public:
    enum class Timestamp : std::size_t {
        Reference = ntp::kReferenceTimeOffset,
        Originate = ntp::kOriginateTimeOffset,
        Receive = ntp::kReceiveTimeOffset,
        Transmit = ntp::kTransmitTimeOffset,
    };
    enum class Family { IPv4, IPv6 };

    // Reads the machine's real clock (never sets it).
    FakeSntpServer();
    // Listens on ::1 for IPv6.
    explicit FakeSntpServer(Family family);
    // Reads the given clock, which must outlive the server.
    explicit FakeSntpServer(const SystemClock& clock);
    // The same on another loopback address (127.0.0.2, ...) and a given port
    // (0: any), so that many servers can share one port.
    FakeSntpServer(const SystemClock& clock, std::string loopbackAddress, uint16_t port);
    ~FakeSntpServer();
    FakeSntpServer(const FakeSntpServer&) = delete;
    FakeSntpServer& operator=(const FakeSntpServer&) = delete;

    static constexpr const char* kHost = "127.0.0.1";
    static constexpr const char* kHostIPv6 = "::1";
    // The address it listens on.
    std::string Host() const { return m_family == Family::IPv6 ? kHostIPv6 : m_address; }
    uint16_t Port() const { return m_port; }

    // Counts requests but never answers.
    void SetSilent(bool silent);
    // Length of the reply datagram in bytes (default 48). Shorter replies are
    // cut; longer ones are padded with zeros (68 = with key identifier and
    // digest, 1024 = more than any client reads).
    void SetReplyLength(size_t bytes);
    // The server's clock stands this many seconds ahead of its source clock.
    void SetClockOffset(double seconds);
    // Seconds between taking the receive timestamp T2 and the transmit
    // timestamp T3: the server's hold time, which a sound delay excludes.
    void SetHoldTime(double seconds);
    // Seconds added to T3 without waiting: a server that claims a hold time
    // longer than the round trip.
    void SetClaimedHoldTime(double seconds);
    // Seconds to wait after T3 before sending: looks like a slow return path,
    // or, when longer than the client's time-out, like no answer at all.
    void SetReplyDelay(double seconds);
    void SetLeapIndicator(int leap);  // 0..3, default 0
    void SetStratum(int stratum);     // 0..255, default 2
    void SetVersion(int version);     // 0..7, default: the request's
    void SetMode(int mode);           // 0..7, default 4 (server)
    // Sends this value in place of a timestamp (the originate timestamp is
    // otherwise the request's transmit timestamp, echoed).
    void FixTimestamp(Timestamp field, CSNTPTimestamp value);
    // Overwrites reply bytes from offset on, after everything else is built.
    void PatchBytes(size_t offset, std::vector<uint8_t> bytes);
    // Before each reply, sends this datagram and then waits pauseSeconds
    // (stray traffic on the client's port). May be called more than once.
    void SendBeforeReply(std::vector<uint8_t> datagram, double pauseSeconds);
    // Back to the defaults of every knob.
    void Reset();

    size_t RequestCount() const;
    // The last request as it arrived (empty before the first).
    std::vector<uint8_t> LastRequest() const;
    // True when at least count requests arrived within the time-out.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Knobs {
        bool silent = false;
        size_t replyLength = 48;
        double clockOffsetSeconds = 0;
        double holdSeconds = 0;
        double claimedHoldSeconds = 0;
        double replyDelaySeconds = 0;
        int leap = 0;
        int stratum = 2;
        int version = -1;  // the request's
        int mode = 4;
        std::map<Timestamp, CSNTPTimestamp> fixed;
        std::vector<std::pair<size_t, std::vector<uint8_t>>> patches;
        std::vector<std::pair<std::vector<uint8_t>, double>> before;
    };

    void Start(Family family);
    void Serve();
    // False when the server is stopping.
    bool Sleep(double seconds);
    CSNTPTimestamp ServerNow(const Knobs& knobs) const;
    std::vector<uint8_t> BuildReply(const Knobs& knobs, const std::vector<uint8_t>& request,
                                    CSNTPTimestamp receive, CSNTPTimestamp transmit) const;

    LinuxSystemClock m_realClock;
    const SystemClock& m_clock;
    Family m_family = Family::IPv4;
    std::string m_address = kHost;
    int m_socket = -1;
    int m_wakePipe[2] = {-1, -1};
    uint16_t m_port = 0;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Knobs m_knobs;
    bool m_stopping = false;
    size_t m_requestCount = 0;
    std::vector<uint8_t> m_lastRequest;
    std::thread m_thread;
};
