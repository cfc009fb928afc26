#include "core/SntpClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <optional>
#include <random>
#include <vector>

#include "core/NtpWire.h"
#include "core/NtsClient.h"
#include "platform/LastError.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// An event descriptor that becomes readable when stop is requested, so that a
// poll wakes at once. None (-1) when no stop can come.
class StopWake {
public:
    explicit StopWake(std::stop_token stop)
        : m_stop(stop), m_fd(stop.stop_possible() ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1) {
        if (m_fd >= 0) {
            m_callback.emplace(std::move(stop), Signal{m_fd});
        }
    }
    ~StopWake() {
        // The callback must be gone before its descriptor is.
        m_callback.reset();
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    StopWake(const StopWake&) = delete;
    StopWake& operator=(const StopWake&) = delete;

    int Fd() const { return m_fd; }
    bool Requested() const { return m_stop.stop_requested(); }
    // Without a descriptor a stop is only seen between waits: they must be short.
    bool Polled() const { return m_stop.stop_possible() && m_fd < 0; }

private:
    struct Signal {
        int fd;
        void operator()() const {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
        }
    };

    std::stop_token m_stop;
    int m_fd;
    std::optional<std::stop_callback<Signal>> m_callback;
};

// One request on its way to one address of the server.
struct Attempt {
    std::string peer;  // Peer::Text
    CUdpSocket socket;
    CSNTPTimestamp carried;  // the random transmit value
    CSNTPTimestamp sent;     // T1
};

// Opens a socket to peer and sends the request. False with the reason in the
// last error.
bool Send(const Peer& peer, const SystemClock& clock, Attempt& attempt) {
    if (!attempt.socket.Open(peer.address.ss_family)) {
        return false;
    }
    // Fixes the peer, so that datagrams from anyone else are never read.
    if (connect(attempt.socket.Handle(), reinterpret_cast<const sockaddr*>(&peer.address), peer.length) !=
        0) {
        SetLastError(static_cast<uint32_t>(errno));
        return false;
    }
    uint8_t request[ntp::kHeaderBytes] = {};
    request[ntp::kFlagsOffset] = ntp::kClientRequestFlags;
    attempt.carried = RandomTransmitValue();
    const std::array<uint8_t, ntp::kTimestampBytes> carriedBytes = attempt.carried.ToNetwork();
    std::memcpy(request + ntp::kTransmitTimeOffset, carriedBytes.data(), carriedBytes.size());
    attempt.sent = CSNTPTimestamp::Now(clock);
    if (send(attempt.socket.Handle(), request, sizeof request, 0) < 0) {
        SetLastError(static_cast<uint32_t>(errno));
        return false;
    }
    return true;
}

// Waits until a socket or the stop descriptor is readable, or until the time
// given. False when the wait failed. poll, unlike select, has no limit on the
// descriptors' numbers.
bool WaitReadable(std::vector<pollfd>& entries, SteadyClock::time_point until) {
    for (;;) {
        // Rounded up: poll must not give up before the time given.
        const auto remainingMs =
            std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now()).count();
        const int timeoutMs = static_cast<int>(std::clamp<int64_t>(remainingMs, 0, 60000));
        const int ready = poll(entries.data(), entries.size(), timeoutMs);
        if (ready >= 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Sends the request to the peers in turn and waits, until the deadline, for
// the first datagram that answers it. True with reply filled; false with the
// reason in the last error.
bool Exchange(const std::vector<Peer>& peers, SteadyClock::time_point deadline, std::stop_token stop,
              const SystemClock& clock, const CSNTPClient::SkipNote& note, RequestPacer* pacer,
              CSNTPReply& reply) {
    const StopWake wake(std::move(stop));
    const auto skipped = [&note](std::size_t length, const std::string& why) {
        if (note) {
            note(length, why);
        }
    };
    std::list<Attempt> attempts;  // the requests still waiting for an answer
    std::size_t nextPeer = 0;
    SteadyClock::time_point nextSendAt = SteadyClock::now();
    uint32_t failure = kErrorTimedOut;  // why the last address that failed at once failed
    bool tooShortSeen = false;

    for (;;) {
        if (wake.Requested()) {
            SetLastError(ECANCELED);
            return false;
        }
        SteadyClock::time_point now = SteadyClock::now();
        // The next address is asked when the ones before have failed or have
        // had their share of the time left.
        if (nextPeer < peers.size() && (attempts.empty() || now >= nextSendAt)) {
            const Peer& peer = peers[nextPeer++];
            std::string text = peer.Text();
            if (pacer != nullptr && !pacer->TakeTurn(text)) {
                failure = kErrorPaced;
                continue;
            }
            Attempt& attempt = attempts.emplace_back();
            attempt.peer = std::move(text);
            if (!Send(peer, clock, attempt)) {
                failure = GetLastError();
                attempts.pop_back();
                continue;
            }
            now = SteadyClock::now();
            nextSendAt = now + (deadline - now) / static_cast<int>(peers.size() - nextPeer + 1);
        }
        if (attempts.empty()) {
            // Every address failed at once: the last one's reason stands.
            SetLastError(failure);
            return false;
        }
        if (now >= deadline) {
            // Nothing answered; datagrams too short for a reply give their own reason.
            SetLastError(tooShortSeen ? EBADMSG : kErrorTimedOut);
            return false;
        }

        std::vector<pollfd> entries;
        for (const Attempt& attempt : attempts) {
            entries.push_back({attempt.socket.Handle(), POLLIN, 0});
        }
        entries.push_back({wake.Fd(), POLLIN, 0});
        SteadyClock::time_point until = nextPeer < peers.size() ? std::min(nextSendAt, deadline) : deadline;
        if (wake.Polled()) {
            until = std::min(until, now + std::chrono::milliseconds(20));
        }
        if (!WaitReadable(entries, until)) {
            SetLastError(kErrorTimedOut);
            return false;
        }

        auto attempt = attempts.begin();
        for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
            if (entries[i].revents == 0) {
                ++attempt;
                continue;
            }
            // T4: after the wait, before the read.
            const CSNTPTimestamp destination = CSNTPTimestamp::Now(clock);
            uint8_t buffer[ntp::kMaxReplyBytes] = {};
            const ssize_t received = recv(attempt->socket.Handle(), buffer, sizeof buffer, MSG_TRUNC);
            if (received < 0) {
                // An ICMP "port unreachable" reads as ECONNREFUSED: this
                // address has failed, the others may still answer.
                failure = static_cast<uint32_t>(errno);
                attempt = attempts.erase(attempt);
                continue;
            }
            const std::size_t length = static_cast<std::size_t>(received);
            CSNTPReply candidate = reply;
            if (!DecodeReply(buffer, length, attempt->carried, attempt->sent, destination, candidate)) {
                tooShortSeen = true;
                skipped(length, "too short for a reply");
            } else if (candidate.originateTime != candidate.sentTransmitTime) {
                skipped(length, "does not answer this request");
            } else {
                reply = candidate;
                reply.peerAddress = attempt->peer;
                return true;
            }
            ++attempt;
        }
    }
}

}  // namespace

CSNTPTimestamp RandomTransmitValue() {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        std::random_device device;
        value = static_cast<uint64_t>(device()) << 32 | device();
    }
    // Zero is what a server that echoes nothing sends.
    return CSNTPTimestamp(value != 0 ? value : 1);
}

bool DecodeReply(const uint8_t* datagram, std::size_t length, const CSNTPTimestamp& carried,
                 const CSNTPTimestamp& sent, const CSNTPTimestamp& destination, CSNTPReply& reply) {
    if (length < ntp::kHeaderBytes) {
        return false;
    }
    // The optional key identifier and digest are read but not used; anything
    // past them is ignored.
    uint8_t buffer[ntp::kMaxReplyBytes] = {};
    std::memcpy(buffer, datagram, std::min(length, sizeof buffer));

    const uint8_t flags = buffer[ntp::kFlagsOffset];
    reply.leapIndicator = ntp::LeapOf(flags);
    reply.version = ntp::VersionOf(flags);
    reply.mode = ntp::ModeOf(flags);
    reply.stratum = buffer[ntp::kStratumOffset];
    reply.originateTime = CSNTPTimestamp::FromNetwork(buffer + ntp::kOriginateTimeOffset);
    reply.receiveTime = CSNTPTimestamp::FromNetwork(buffer + ntp::kReceiveTimeOffset);
    reply.transmitTime = CSNTPTimestamp::FromNetwork(buffer + ntp::kTransmitTimeOffset);
    reply.destinationTime = destination;
    reply.sentTransmitTime = carried;
    reply.sendTime = sent;

    // The request carried no clock reading: T1 is the local send time.
    const CSNTPTimestamp& t1 = reply.sendTime;
    const CSNTPTimestamp& t2 = reply.receiveTime;
    const CSNTPTimestamp& t3 = reply.transmitTime;
    const CSNTPTimestamp& t4 = reply.destinationTime;
    // The local round trip less the time the server held the request.
    reply.roundTripDelaySeconds = t4.SecondsSince(t1) - t3.SecondsSince(t2);
    reply.localClockOffsetSeconds = (t2.SecondsSince(t1) + t3.SecondsSince(t4)) * 0.5;
    return true;
}

CUdpSocket::~CUdpSocket() {
    Close();
}

bool CUdpSocket::Open(int family) {
    Close();
    m_handle = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_handle == kInvalidSocket) {
        SetLastError(static_cast<uint32_t>(errno));
        return false;
    }
    return true;
}

void CUdpSocket::Close() {
    // Leaves the last error alone, so a failure's reason survives the clean-up.
    if (m_handle != kInvalidSocket) {
        ::close(m_handle);
        m_handle = kInvalidSocket;
    }
}

CSNTPClient::CSNTPClient(SystemClock& clock, ClockSetter& setter, uint32_t receiveTimeoutMs)
    : m_clock(clock), m_setter(setter), m_receiveTimeoutMs(receiveTimeoutMs) {}

CSNTPClient::~CSNTPClient() {
    DisableSystemTimePrivilege();
}

bool CSNTPClient::Query(const std::string& host, CSNTPReply& reply, uint16_t port, std::stop_token stop) {
    if (IsNtsHost(host)) {
        NtsKeOptions options;
        options.lookup = m_nameLookup;
        options.pacer = m_pacer;
        return NtsQuery(host, *m_cookieJar, m_clock, port, m_receiveTimeoutMs, std::move(stop), reply,
                        options);
    }
    const SteadyClock::time_point deadline =
        SteadyClock::now() + std::chrono::milliseconds(m_receiveTimeoutMs);
    if (stop.stop_requested()) {
        SetLastError(ECANCELED);
        return false;
    }
    std::vector<Peer> peers;
    if (!FindPeers(host, port, m_nameLookup, deadline, stop, peers)) {
        return false;
    }
    return Exchange(peers, deadline, std::move(stop), m_clock, m_skipNote, m_pacer, reply);
}

bool CSNTPClient::SetSystemClock(const CSNTPTimestamp& utc, const ClockSetRequest& request) {
    return SetSystemClock(utc.ToClockTime(), request);
}

bool CSNTPClient::SetSystemClock(const ClockTime& utc, const ClockSetRequest& request) {
    bool result = false;
    if (EnableSystemTimePrivilege()) {
        result = m_setter.SetClock(utc, request);
    }
    DisableSystemTimePrivilege();
    return result;
}

bool CSNTPClient::EnableSystemTimePrivilege() {
    m_mayTry = m_setter.MayTry();
    return m_mayTry;
}

void CSNTPClient::DisableSystemTimePrivilege() {
    m_mayTry = false;
}
