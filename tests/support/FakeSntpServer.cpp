#include "tests/support/FakeSntpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

FakeSntpServer::FakeSntpServer() : m_clock(m_realClock) {
    Start(Family::IPv4);
}

FakeSntpServer::FakeSntpServer(Family family) : m_clock(m_realClock) {
    Start(family);
}

FakeSntpServer::FakeSntpServer(const SystemClock& clock) : m_clock(clock) {
    Start(Family::IPv4);
}

FakeSntpServer::FakeSntpServer(const SystemClock& clock, std::string loopbackAddress, uint16_t port)
    : m_clock(clock), m_address(std::move(loopbackAddress)), m_port(port) {
    Start(Family::IPv4);
}

FakeSntpServer::~FakeSntpServer() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakePipe[1], &wake, 1);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    close(m_socket);
    close(m_wakePipe[0]);
    close(m_wakePipe[1]);
}

void FakeSntpServer::Start(Family family) {
    if (pipe2(m_wakePipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("FakeSntpServer: pipe failed");
    }
    m_family = family;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == Family::IPv6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(m_port);
        if (inet_pton(AF_INET, m_address.c_str(), &v4.sin_addr) != 1) {
            throw std::runtime_error("FakeSntpServer: no IPv4 address: " + m_address);
        }
        length = sizeof v4;
    }
    m_socket = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0 || bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error(std::string("FakeSntpServer: cannot bind: ") + std::strerror(errno));
    }
    m_port = ntohs(family == Family::IPv6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                          : reinterpret_cast<sockaddr_in&>(address).sin_port);
    m_thread = std::thread(&FakeSntpServer::Serve, this);
}

void FakeSntpServer::Serve() {
    for (;;) {
        pollfd entries[2] = {{m_socket, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0) {
            continue;
        }
        if (entries[1].revents != 0) {
            return;
        }
        uint8_t datagram[2048];
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received =
            recvfrom(m_socket, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0) {
            continue;
        }
        const std::vector<uint8_t> request(datagram, datagram + received);
        Knobs knobs;
        {
            std::lock_guard lock(m_mutex);
            knobs = m_knobs;
            ++m_requestCount;
            m_lastRequest = request;
        }
        m_changed.notify_all();
        const CSNTPTimestamp receive = ServerNow(knobs);
        if (knobs.silent) {
            continue;
        }
        for (const auto& [datagram, pauseSeconds] : knobs.before) {
            sendto(m_socket, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&from),
                   fromLength);
            if (!Sleep(pauseSeconds)) {
                return;
            }
        }
        if (!Sleep(knobs.holdSeconds)) {
            return;
        }
        const CSNTPTimestamp transmit = ServerNow(knobs).AddSeconds(knobs.claimedHoldSeconds);
        const std::vector<uint8_t> reply = BuildReply(knobs, request, receive, transmit);
        if (!Sleep(knobs.replyDelaySeconds)) {
            return;
        }
        sendto(m_socket, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from), fromLength);
    }
}

bool FakeSntpServer::Sleep(double seconds) {
    std::unique_lock lock(m_mutex);
    if (seconds > 0) {
        m_changed.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return m_stopping; });
    }
    return !m_stopping;
}

CSNTPTimestamp FakeSntpServer::ServerNow(const Knobs& knobs) const {
    return CSNTPTimestamp::Now(m_clock).AddSeconds(knobs.clockOffsetSeconds);
}

std::vector<uint8_t> FakeSntpServer::BuildReply(const Knobs& knobs, const std::vector<uint8_t>& request,
                                                CSNTPTimestamp receive, CSNTPTimestamp transmit) const {
    size_t length = std::max(knobs.replyLength, ntp::kHeaderBytes);
    for (const auto& [offset, bytes] : knobs.patches) {
        length = std::max(length, offset + bytes.size());
    }
    std::vector<uint8_t> reply(length, 0);
    const int requestVersion = request.empty() ? ntp::kClientVersion : ntp::VersionOf(request[0]);
    const int version = knobs.version >= 0 ? knobs.version : requestVersion;
    reply[ntp::kFlagsOffset] = ntp::Flags(static_cast<unsigned>(knobs.leap), static_cast<unsigned>(version),
                                          static_cast<unsigned>(knobs.mode));
    reply[ntp::kStratumOffset] = static_cast<uint8_t>(knobs.stratum);
    reply[ntp::kPollOffset] = 6;                   // 64 s
    reply[ntp::kPrecisionOffset] = 0xEC;           // 2^-20 s
    reply[ntp::kRootDelayOffset + 3] = 0x10;       // 1/4096 s
    reply[ntp::kRootDispersionOffset + 3] = 0x20;  // 1/2048 s
    const uint8_t referenceId[4] = {127, 0, 0, 1};
    std::memcpy(&reply[ntp::kReferenceIdOffset], referenceId, sizeof referenceId);

    std::map<Timestamp, CSNTPTimestamp> stamps = {
        {Timestamp::Reference, receive.AddSeconds(-16)},
        {Timestamp::Originate, request.size() >= ntp::kHeaderBytes
                                   ? CSNTPTimestamp::FromNetwork(&request[ntp::kTransmitTimeOffset])
                                   : CSNTPTimestamp()},
        {Timestamp::Receive, receive},
        {Timestamp::Transmit, transmit},
    };
    for (const auto& [field, value] : knobs.fixed) {
        stamps[field] = value;
    }
    for (const auto& [field, value] : stamps) {
        const std::array<uint8_t, 8> bytes = value.ToNetwork();
        std::memcpy(&reply[static_cast<size_t>(field)], bytes.data(), bytes.size());
    }
    for (const auto& [offset, bytes] : knobs.patches) {
        std::copy(bytes.begin(), bytes.end(), reply.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    reply.resize(knobs.replyLength);
    return reply;
}

void FakeSntpServer::SetSilent(bool silent) {
    std::lock_guard lock(m_mutex);
    m_knobs.silent = silent;
}

void FakeSntpServer::SetReplyLength(size_t bytes) {
    std::lock_guard lock(m_mutex);
    m_knobs.replyLength = bytes;
}

void FakeSntpServer::SetClockOffset(double seconds) {
    std::lock_guard lock(m_mutex);
    m_knobs.clockOffsetSeconds = seconds;
}

void FakeSntpServer::SetHoldTime(double seconds) {
    std::lock_guard lock(m_mutex);
    m_knobs.holdSeconds = seconds;
}

void FakeSntpServer::SetClaimedHoldTime(double seconds) {
    std::lock_guard lock(m_mutex);
    m_knobs.claimedHoldSeconds = seconds;
}

void FakeSntpServer::SetReplyDelay(double seconds) {
    std::lock_guard lock(m_mutex);
    m_knobs.replyDelaySeconds = seconds;
}

void FakeSntpServer::SetLeapIndicator(int leap) {
    std::lock_guard lock(m_mutex);
    m_knobs.leap = leap;
}

void FakeSntpServer::SetStratum(int stratum) {
    std::lock_guard lock(m_mutex);
    m_knobs.stratum = stratum;
}

void FakeSntpServer::SetVersion(int version) {
    std::lock_guard lock(m_mutex);
    m_knobs.version = version;
}

void FakeSntpServer::SetMode(int mode) {
    std::lock_guard lock(m_mutex);
    m_knobs.mode = mode;
}

void FakeSntpServer::FixTimestamp(Timestamp field, CSNTPTimestamp value) {
    std::lock_guard lock(m_mutex);
    m_knobs.fixed[field] = value;
}

void FakeSntpServer::PatchBytes(size_t offset, std::vector<uint8_t> bytes) {
    std::lock_guard lock(m_mutex);
    m_knobs.patches.emplace_back(offset, std::move(bytes));
}

void FakeSntpServer::SendBeforeReply(std::vector<uint8_t> datagram, double pauseSeconds) {
    std::lock_guard lock(m_mutex);
    m_knobs.before.emplace_back(std::move(datagram), pauseSeconds);
}

void FakeSntpServer::Reset() {
    std::lock_guard lock(m_mutex);
    m_knobs = Knobs{};
}

size_t FakeSntpServer::RequestCount() const {
    std::lock_guard lock(m_mutex);
    return m_requestCount;
}

std::vector<uint8_t> FakeSntpServer::LastRequest() const {
    std::lock_guard lock(m_mutex);
    return m_lastRequest;
}

bool FakeSntpServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requestCount >= count; });
}
