#include "core/SntpClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/NtsClient.h"
#include "platform/LastError.h"

namespace {

constexpr size_t kRequestBytes = 48;
// A reply may carry a key identifier and a digest after the 48-byte header.
constexpr size_t kReceiveBufferBytes = 68;
constexpr uint8_t kRequestHeader = 0x1B;  // leap 0, version 3, mode 3 (client)
constexpr size_t kOriginateOffset = 24;
constexpr size_t kReceiveOffset = 32;
constexpr size_t kTransmitOffset = 40;

uint32_t LookupErrorCode(int lookupResult, int savedErrno) {
    switch (lookupResult) {
        case EAI_NONAME:
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return kErrorHostNotFound;
        case EAI_AGAIN:
            return kErrorTryAgain;
        case EAI_MEMORY:
            return ENOMEM;
        case EAI_SYSTEM:
            return savedErrno != 0 ? static_cast<uint32_t>(savedErrno) : kErrorNoRecovery;
        default:
            return kErrorNoRecovery;
    }
}

// A dotted address is taken as it stands; anything else, including
// "255.255.255.255" (which parses to the same value as a parse failure), goes
// to the name lookup.
bool ResolveIPv4(const std::string& host, in_addr& address) {
    const in_addr_t numeric = inet_addr(host.c_str());
    if (numeric != INADDR_NONE) {
        address.s_addr = numeric;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    errno = 0;
    const int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
        SetLastError(LookupErrorCode(result != 0 ? result : EAI_NONAME, errno));
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// True when the socket became readable (a datagram or a pending error) within
// the time-out. poll, unlike select, has no limit on the descriptor's number.
bool WaitReadable(int handle, uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Rounded up: poll must not give up before the deadline.
        const auto remainingMs =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{handle, POLLIN, 0};
        const int ready = poll(&entry, 1, remainingMs > 0 ? static_cast<int>(remainingMs) : 0);
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR || remainingMs <= 0) {
            return false;
        }
    }
}

}  // namespace

bool DecodeReply(const uint8_t* datagram, std::size_t length, const CSNTPTimestamp& sent,
                 const CSNTPTimestamp& destination, CSNTPReply& reply) {
    if (length == 0) {
        return false;
    }
    // Bytes that the datagram does not supply read as zero; a longer datagram
    // yields its first bytes.
    uint8_t buffer[kReceiveBufferBytes] = {};
    std::memcpy(buffer, datagram, std::min(length, sizeof buffer));

    reply.leapIndicator = buffer[0] >> 6;
    reply.version = (buffer[0] >> 3) & 7;
    reply.mode = buffer[0] & 7;
    reply.stratum = buffer[1];
    reply.originateTime = CSNTPTimestamp::FromNetwork(buffer + kOriginateOffset);
    reply.receiveTime = CSNTPTimestamp::FromNetwork(buffer + kReceiveOffset);
    reply.transmitTime = CSNTPTimestamp::FromNetwork(buffer + kTransmitOffset);
    reply.destinationTime = destination;
    reply.sentTransmitTime = sent;

    const CSNTPTimestamp& t1 = reply.originateTime;
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

bool CUdpSocket::Open() {
    Close();
    m_handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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

CSNTPClient::CSNTPClient(SystemClock& clock, TimePrivilege& privilege, uint32_t receiveTimeoutMs)
    : m_clock(clock), m_privilege(privilege), m_receiveTimeoutMs(receiveTimeoutMs) {}

CSNTPClient::~CSNTPClient() {
    DisableSystemTimePrivilege();
}

bool CSNTPClient::Query(const std::string& host, CSNTPReply& reply, uint16_t port, std::stop_token stop) {
    if (IsNtsHost(host)) {
        return NtsQuery(host, m_clock, port, m_receiveTimeoutMs, stop, reply);
    }
    CUdpSocket socket;
    if (!socket.Open()) {
        return false;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (!ResolveIPv4(host, peer.sin_addr)) {
        return false;
    }
    // Fixes the peer, so that datagrams from anyone else are never read.
    if (connect(socket.Handle(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        SetLastError(static_cast<uint32_t>(errno));
        return false;
    }

    uint8_t request[kRequestBytes] = {};
    request[0] = kRequestHeader;
    const CSNTPTimestamp sent = CSNTPTimestamp::Now(m_clock);
    const std::array<uint8_t, 8> sentBytes = sent.ToNetwork();
    std::memcpy(request + kTransmitOffset, sentBytes.data(), sentBytes.size());
    if (send(socket.Handle(), request, sizeof request, 0) < 0) {
        SetLastError(static_cast<uint32_t>(errno));
        return false;
    }

    if (!WaitReadable(socket.Handle(), m_receiveTimeoutMs)) {
        SetLastError(kErrorTimedOut);
        return false;
    }
    const CSNTPTimestamp destination = CSNTPTimestamp::Now(m_clock);

    uint8_t buffer[kReceiveBufferBytes] = {};
    const ssize_t received = recv(socket.Handle(), buffer, sizeof buffer, 0);
    if (received < 0) {
        // An error (an ICMP "port unreachable" reads as ECONNREFUSED) is a
        // failed exchange, not a reply of zeros.
        SetLastError(static_cast<uint32_t>(errno));
        return false;
    }
    if (!DecodeReply(buffer, static_cast<std::size_t>(received), sent, destination, reply)) {
        SetLastError(ENODATA);
        return false;
    }
    return true;
}

bool CSNTPClient::SetSystemClock(const CSNTPTimestamp& utc) {
    bool result = false;
    if (EnableSystemTimePrivilege()) {
        result = m_clock.Set(utc.ToClockTime());
    }
    DisableSystemTimePrivilege();
    return result;
}

bool CSNTPClient::EnableSystemTimePrivilege() {
    m_privilegeRaised = false;
    if (m_privilege.Raise()) {
        m_privilegeRaised = true;
        return true;
    }
    if (GetLastError() == kErrorCallNotImplemented) {
        // No capabilities at all: nothing guards the clock, set it directly.
        SetLastError(kErrorSuccess);
        return true;
    }
    // A refused raise may still have changed part of the state: clear it as well.
    m_privilegeRaised = true;
    return false;
}

void CSNTPClient::DisableSystemTimePrivilege() {
    if (!m_privilegeRaised) {
        return;
    }
    LastErrorKeeper keep;
    m_privilege.Clear();
    m_privilegeRaised = false;
}
