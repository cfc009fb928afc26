#include "core/NtsClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "core/NameLookup.h"
#include "core/NtpWire.h"
#include "platform/LastError.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

thread_local std::string t_detail;

bool Fail(uint32_t code, std::string detail = {}) {
    t_detail = std::move(detail);
    SetLastError(code);
    return false;
}

// Closes the descriptor when it goes.
class Descriptor {
public:
    explicit Descriptor(int handle = -1) : m_handle(handle) {}
    ~Descriptor() {
        if (m_handle >= 0) {
            ::close(m_handle);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void Reset(int handle) {
        if (m_handle >= 0) {
            ::close(m_handle);
        }
        m_handle = handle;
    }
    int Get() const { return m_handle; }
    int Release() { return std::exchange(m_handle, -1); }

private:
    int m_handle;
};

// TLS writes with write(2): a server that has closed its end would otherwise
// end this process with SIGPIPE. Blocks the signal on this thread while the
// guard lives and takes back one that the writes raised meanwhile.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
    }
    ~SigpipeGuard() {
        if (!m_wasPending) {
            const timespec none{};
            while (sigtimedwait(&m_set, nullptr, &none) > 0) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_set{};
    sigset_t m_old{};
    bool m_wasPending = false;
};

enum class Wait { Ready, TimedOut, Cancelled };

// Waits for the events on handle until the deadline, looking at stop every
// 50 ms so that a stopped run does not sit out the whole time-out.
Wait WaitFor(int handle, short events, SteadyClock::time_point deadline, const std::stop_token& stop) {
    for (;;) {
        if (stop.stop_requested()) {
            return Wait::Cancelled;
        }
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        if (remaining <= 0) {
            return Wait::TimedOut;
        }
        pollfd entry{handle, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(remaining, 50)));
        if (ready > 0) {
            return Wait::Ready;
        }
        if (ready < 0 && errno != EINTR) {
            // Let the following call report the descriptor's error.
            return Wait::Ready;
        }
    }
}

bool WaitFailed(Wait wait, const std::string& what) {
    if (wait == Wait::Cancelled) {
        return Fail(ECANCELED, what + " stopped");
    }
    return Fail(kErrorTimedOut, what + " timed out");
}

// The addresses of name, looked up until the deadline or the stop.
bool Resolve(const std::string& name, uint16_t port, const NameLookup& lookup,
             SteadyClock::time_point deadline, const std::stop_token& stop, std::vector<Peer>& peers) {
    if (!FindPeers(name, port, lookup, deadline, stop, peers)) {
        return Fail(GetLastError(), "cannot look up " + name);
    }
    return true;
}

// "192.0.2.1" or "[2001:db8::1]", for the details.
std::string AddressText(const Peer& peer) {
    char text[NI_MAXHOST] = {};
    if (getnameinfo(peer.Address(), peer.length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
        return "?";
    }
    return peer.Family() == AF_INET6 ? std::string("[") + text + "]" : std::string(text);
}

// The peer with another port.
Peer WithPort(Peer peer, uint16_t port) {
    if (peer.Family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(peer.address).sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in&>(peer.address).sin_port = htons(port);
    }
    return peer;
}

// The deadline of the address asked now when `left` addresses, this one
// included, share what remains of the time.
SteadyClock::time_point ShareOf(SteadyClock::time_point deadline, std::size_t left) {
    const auto now = SteadyClock::now();
    return deadline <= now ? deadline
                           : now + (deadline - now) / static_cast<int>(std::max<std::size_t>(left, 1));
}

// The failure that stands for several addresses: the first one from a server
// that answered (a TLS, key-establishment or authentication failure) tells
// more than a silent or closed address, which only stands when no server
// answered at all.
class FailureChoice {
public:
    void Note(uint32_t code, std::string detail) {
        if (m_spoke) {
            return;
        }
        m_spoke = code >= kErrorNtsFirst && code <= kErrorNtsLast;
        m_code = code;
        m_detail = std::move(detail);
    }
    bool Report() { return Fail(m_code, std::move(m_detail)); }

private:
    bool m_spoke = false;
    uint32_t m_code = kErrorTimedOut;
    std::string m_detail;
};

// A non-blocking TCP connection to one address of host.
bool ConnectTcp(const Peer& peer, SteadyClock::time_point deadline, const std::stop_token& stop,
                Descriptor& socketOut) {
    Descriptor handle(socket(peer.Family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (handle.Get() < 0) {
        return Fail(static_cast<uint32_t>(errno), "cannot open a socket");
    }
    if (connect(handle.Get(), peer.Address(), peer.length) != 0) {
        if (errno != EINPROGRESS) {
            return Fail(static_cast<uint32_t>(errno), "cannot connect");
        }
        const Wait wait = WaitFor(handle.Get(), POLLOUT, deadline, stop);
        if (wait != Wait::Ready) {
            return WaitFailed(wait, "connection");
        }
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(handle.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            return Fail(static_cast<uint32_t>(error), "cannot connect");
        }
    }
    // The request and the TLS records are small: without this, each waits
    // for the peer's delayed acknowledgement.
    const int on = 1;
    setsockopt(handle.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    socketOut.Reset(handle.Release());
    return true;
}

// The one protocol offered in the TLS handshake, in the wire form of ALPN.
constexpr unsigned char kAlpn[] = {7, 'n', 't', 's', 'k', 'e', '/', '1'};

struct SslDeleter {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// Why a TLS call failed: the certificate, the protocol the server would not
// speak, or the TLS layer itself.
bool FailTls(SSL* ssl) {
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
        return Fail(kErrorNtsCertificate,
                    std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify));
    }
    const unsigned long error = ERR_peek_last_error();
    if (error == 0) {
        return Fail(kErrorNtsTls, "TLS connection failed");
    }
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    if (ERR_GET_LIB(error) == ERR_LIB_SSL &&
        ERR_GET_REASON(error) == SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL) {
        return Fail(kErrorNtsNoAlpn, std::string("the server did not agree to ntske/1: ") + text);
    }
    return Fail(kErrorNtsTls, text);
}

// Drives one TLS call to completion on the non-blocking socket. 1 done, 0 the
// peer closed (politely or not), -1 failed (the reason in the last error).
template <typename Call>
int TlsStep(SSL* ssl, int handle, SteadyClock::time_point deadline, const std::stop_token& stop,
            const char* what, Call call) {
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = call();
        if (result > 0) {
            return 1;
        }
        const int error = SSL_get_error(ssl, result);
        const unsigned long queued = ERR_peek_error();
        short events = 0;
        if (error == SSL_ERROR_WANT_READ) {
            events = POLLIN;
        } else if (error == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else if (error == SSL_ERROR_ZERO_RETURN ||
                   (error == SSL_ERROR_SYSCALL && queued == 0 &&
                    (errno == 0 || errno == ECONNRESET || errno == EPIPE)) ||
                   (error == SSL_ERROR_SSL && ERR_GET_LIB(queued) == ERR_LIB_SSL &&
                    ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
            // A connection cut off mid-stream is no fault of the certificate.
            return 0;
        } else {
            FailTls(ssl);
            return -1;
        }
        const Wait wait = WaitFor(handle, events, deadline, stop);
        if (wait != Wait::Ready) {
            WaitFailed(wait, what);
            return -1;
        }
    }
}

bool IsAddress(const std::string& name) {
    in6_addr v6{};
    in_addr v4{};
    return inet_pton(AF_INET6, name.c_str(), &v6) == 1 || inet_pton(AF_INET, name.c_str(), &v4) == 1;
}

bool ExportKey(SSL* ssl, uint8_t direction, NtsBytes& key) {
    static constexpr char kLabel[] = "EXPORTER-network-time-security";
    // Protocol NTPv4, the algorithm, then 0 for client-to-server, 1 for the reverse.
    const uint8_t context[5] = {0, NtsKe::kProtocolNtpV4, 0, NtsKe::kAeadAesSivCmac256, direction};
    key.assign(NtsKe::kKeyBytes, 0);
    return SSL_export_keying_material(ssl, key.data(), key.size(), kLabel, sizeof kLabel - 1, context,
                                      sizeof context, 1) == 1;
}

bool JudgeResponse(const NtsKeResponse& response) {
    switch (JudgeNtsKeResponse(response)) {
        case NtsKeProblem::None:
            return true;
        case NtsKeProblem::ServerError:
            return Fail(kErrorNtsServerError, "error record " + std::to_string(*response.error));
        case NtsKeProblem::ServerWarning:
            return Fail(kErrorNtsServerWarning, "warning record " + std::to_string(*response.warning));
        case NtsKeProblem::UnknownCritical:
            return Fail(kErrorNtsBadResponse,
                        "unknown critical record " + std::to_string(*response.unknownCritical));
        case NtsKeProblem::NoProtocol:
            return Fail(kErrorNtsNoAlgorithm, "the server does not offer NTPv4");
        case NtsKeProblem::NoAlgorithm:
            return Fail(kErrorNtsNoAlgorithm, "the server does not offer AES-SIV-CMAC-256");
        case NtsKeProblem::NoCookie:
            return Fail(kErrorNtsNoCookie, "no cookie in the answer");
    }
    return false;
}

bool FillRandom(NtsBytes& bytes, std::size_t count) {
    bytes.assign(count, 0);
    return RAND_bytes(bytes.data(), static_cast<int>(count)) == 1;
}

// The field of the given type whose body starts with the bytes, if any.
const NtsExtensionField* FindField(const std::vector<NtsExtensionField>& fields, uint16_t type) {
    const auto found = std::find_if(fields.begin(), fields.end(),
                                    [&](const NtsExtensionField& f) { return f.type == type; });
    return found == fields.end() ? nullptr : &*found;
}

}  // namespace

const std::string& NtsLastDetail() {
    return t_detail;
}

NtsVerdict JudgeDatagram(const uint8_t* data, std::size_t size, const NtsBytes& uid, const NtsBytes& s2c,
                         std::vector<NtsBytes>& cookies) {
    using namespace NtsField;
    std::vector<NtsExtensionField> fields;
    if (size < kHeaderBytes || ntp::ModeOf(data[ntp::kFlagsOffset]) != ntp::kModeServer ||
        !ParseExtensionFields(data + kHeaderBytes, size - kHeaderBytes, fields)) {
        return NtsVerdict::Stray;
    }
    const NtsExtensionField* id = FindField(fields, kUniqueIdentifier);
    if (id == nullptr || id->bodyLength < uid.size() || std::memcmp(id->body, uid.data(), uid.size()) != 0) {
        return NtsVerdict::Stray;
    }
    const NtsExtensionField* auth = FindField(fields, kAuthenticator);
    if (auth == nullptr) {
        // Stratum 0 with "NTSN": the server cannot read our cookie.
        const bool nak = data[1] == 0 && std::memcmp(data + 12, "NTSN", 4) == 0;
        return nak ? NtsVerdict::Refused : NtsVerdict::Unauthenticated;
    }
    NtsAuthenticatorBody body;
    NtsBytes plaintext;
    // The identifier must lie in what the authenticator covers.
    if (id->offset > auth->offset || !ParseAuthenticator(*auth, body) ||
        !NtsOpen(s2c, data, kHeaderBytes + auth->offset, body.nonce, body.nonceLength, body.ciphertext,
                 body.ciphertextLength, plaintext)) {
        return NtsVerdict::Unauthenticated;
    }
    std::vector<NtsExtensionField> inner;
    if (ParseExtensionFields(plaintext.data(), plaintext.size(), inner)) {
        for (const NtsExtensionField& field : inner) {
            if (field.type == kCookie && field.bodyLength > 0 && cookies.size() < NtsKe::kMaxCookies) {
                cookies.emplace_back(field.body, field.body + field.bodyLength);
            }
        }
    }
    return NtsVerdict::Sound;
}

namespace {

// The TLS settings every connection of one key establishment shares.
std::unique_ptr<SSL_CTX, SslDeleter> MakeTlsContext(const NtsKeOptions& options) {
    std::unique_ptr<SSL_CTX, SslDeleter> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        Fail(kErrorNtsTls, "cannot set up TLS");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    const int trusted = options.trustFile.empty()
                            ? SSL_CTX_set_default_verify_paths(ctx.get())
                            : SSL_CTX_load_verify_locations(ctx.get(), options.trustFile.c_str(), nullptr);
    // set_alpn_protos, unlike its neighbours, returns 0 on success.
    if (trusted != 1 || SSL_CTX_set_alpn_protos(ctx.get(), kAlpn, sizeof kAlpn) != 0) {
        Fail(kErrorNtsTls, "cannot load the trusted certificates");
        return nullptr;
    }
    return ctx;
}

// The key establishment over one address of host, until the deadline.
bool EstablishWith(const NtsHost& host, const Peer& peer, SSL_CTX* ctx, SteadyClock::time_point deadline,
                   const std::stop_token& stop, NtsSession& session) {
    Descriptor tcp;
    if (!ConnectTcp(peer, deadline, stop, tcp)) {
        return false;
    }
    std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx));
    if (!ssl || SSL_set_fd(ssl.get(), tcp.Get()) != 1) {
        return Fail(kErrorNtsTls, "cannot set up TLS");
    }
    // The certificate must name the host as the user wrote it.
    bool named = false;
    if (IsAddress(host.name)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.name.c_str()) == 1;
    } else {
        named = SSL_set_tlsext_host_name(ssl.get(), host.name.c_str()) == 1 &&
                SSL_set1_host(ssl.get(), host.name.c_str()) == 1;
    }
    if (!named) {
        return Fail(kErrorNtsTls, "cannot check the certificate against " + host.name);
    }

    const int handle = tcp.Get();
    SSL* s = ssl.get();
    int step = TlsStep(s, handle, deadline, stop, "TLS handshake", [&] { return SSL_connect(s); });
    if (step <= 0) {
        return step == 0 ? Fail(kErrorNtsClosed, "the server closed the connection during the TLS handshake")
                         : false;
    }
    const unsigned char* alpn = nullptr;
    unsigned int alpnLength = 0;
    SSL_get0_alpn_selected(s, &alpn, &alpnLength);
    if (alpnLength != sizeof kAlpn - 1 || std::memcmp(alpn, kAlpn + 1, alpnLength) != 0) {
        return Fail(kErrorNtsNoAlpn, "the server did not agree to ntske/1");
    }

    const NtsBytes request = EncodeNtsKeRequest();
    std::size_t written = 0;
    step = TlsStep(s, handle, deadline, stop, "key establishment",
                   [&] { return SSL_write_ex(s, request.data(), request.size(), &written); });
    if (step <= 0) {
        return step == 0 ? Fail(kErrorNtsClosed, "the server closed the connection before the request")
                         : false;
    }

    NtsBytes received;
    NtsKeResponse response;
    NtsKeParse parse = NtsKeParse::NeedMore;
    while (parse == NtsKeParse::NeedMore) {
        uint8_t buffer[4096];
        std::size_t got = 0;
        step = TlsStep(s, handle, deadline, stop, "key establishment",
                       [&] { return SSL_read_ex(s, buffer, sizeof buffer, &got); });
        if (step < 0) {
            return false;
        }
        if (step == 0) {
            return Fail(kErrorNtsClosed, received.empty()
                                             ? "the server closed the connection without an answer"
                                             : "the answer was cut off before its end-of-message record");
        }
        received.insert(received.end(), buffer, buffer + got);
        parse = ParseNtsKeResponse(received.data(), received.size(), response);
    }
    if (parse == NtsKeParse::Malformed) {
        return Fail(kErrorNtsBadResponse, "malformed record in the answer");
    }
    if (!JudgeResponse(response)) {
        return false;
    }
    NtsSession fresh;
    if (!ExportKey(s, 0, fresh.c2s) || !ExportKey(s, 1, fresh.s2c)) {
        return Fail(kErrorNtsTls, "cannot derive the keys");
    }
    // A polite close; the keys are ours whatever the server does with it.
    SSL_shutdown(s);
    fresh.cookies = std::move(response.cookies);
    fresh.ntpHost = response.server;
    fresh.ntpPort = response.port.value_or(0);
    fresh.keAddress = peer;
    session = std::move(fresh);
    return true;
}

// One request with one cookie to one address, and the wait for its answer
// until the deadline.
bool ExchangeWith(NtsSession& session, const Peer& peer, const SystemClock& clock,
                  SteadyClock::time_point deadline, const std::stop_token& stop, CSNTPReply& reply) {
    using namespace NtsField;
    Descriptor udp(socket(peer.Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
    // Fixes the peer, so that datagrams from anyone else are never read.
    if (udp.Get() < 0 || connect(udp.Get(), peer.Address(), peer.length) != 0) {
        return Fail(static_cast<uint32_t>(errno), "cannot reach " + AddressText(peer));
    }

    NtsBytes uid;
    NtsBytes nonce;
    if (!FillRandom(uid, kUniqueIdBytes) || !FillRandom(nonce, kNonceBytes)) {
        return Fail(kErrorNtsTls, "no random numbers");
    }
    const NtsBytes cookie = std::move(session.cookies.back());
    session.cookies.pop_back();

    NtsBytes packet(kHeaderBytes, 0);
    packet[ntp::kFlagsOffset] = ntp::Flags(0, 4, ntp::kModeClient);
    // The request carries a random value; the real send time stays here.
    const CSNTPTimestamp carried = RandomTransmitValue();
    const std::array<uint8_t, 8> carriedBytes = carried.ToNetwork();
    std::copy(carriedBytes.begin(), carriedBytes.end(), packet.begin() + ntp::kTransmitTimeOffset);
    AppendExtensionField(packet, kUniqueIdentifier, uid.data(), uid.size());
    AppendExtensionField(packet, kCookie, cookie.data(), cookie.size());
    // One placeholder per cookie wanted beyond the one the reply brings anyway.
    const NtsBytes placeholder(cookie.size(), 0);
    for (std::size_t held = session.cookies.size() + 1; held < NtsKe::kMaxCookies; ++held) {
        AppendExtensionField(packet, kCookiePlaceholder, placeholder.data(), placeholder.size());
    }
    NtsBytes ciphertext;
    if (!NtsSeal(session.c2s, packet.data(), packet.size(), nonce, {}, ciphertext)) {
        return Fail(kErrorNtsTls, "cannot seal the request");
    }
    const NtsBytes auth = EncodeAuthenticatorBody(nonce, ciphertext);
    AppendExtensionField(packet, kAuthenticator, auth.data(), auth.size());

    // T1 once the request is sealed: the sealing is no part of the round trip.
    const CSNTPTimestamp sent = CSNTPTimestamp::Now(clock);
    if (send(udp.Get(), packet.data(), packet.size(), 0) < 0) {
        return Fail(static_cast<uint32_t>(errno), "cannot send to " + AddressText(peer));
    }
    bool sawForgery = false;
    for (;;) {
        const Wait wait = WaitFor(udp.Get(), POLLIN, deadline, stop);
        if (wait == Wait::TimedOut && sawForgery) {
            return Fail(kErrorNtsUnauthenticated, "the reply does not verify under the server's key");
        }
        if (wait != Wait::Ready) {
            return WaitFailed(wait, "authenticated exchange with " + AddressText(peer));
        }
        const CSNTPTimestamp destination = CSNTPTimestamp::Now(clock);
        uint8_t buffer[2048];
        const ssize_t received = recv(udp.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            // An ICMP "port unreachable" reads as ECONNREFUSED.
            return Fail(static_cast<uint32_t>(errno), "no NTS time service at " + AddressText(peer));
        }
        std::vector<NtsBytes> fresh;
        switch (JudgeDatagram(buffer, static_cast<std::size_t>(received), uid, session.s2c, fresh)) {
            case NtsVerdict::Stray:
                continue;
            case NtsVerdict::Unauthenticated:
                sawForgery = true;
                continue;
            case NtsVerdict::Refused:
                session.cookies.clear();
                return Fail(kErrorNtsRefused, "the server answered NTSN: it cannot read the cookie");
            case NtsVerdict::Sound:
                break;
        }
        for (NtsBytes& c : fresh) {
            if (session.cookies.size() < NtsKe::kMaxCookies) {
                session.cookies.push_back(std::move(c));
            }
        }
        DecodeReply(buffer, static_cast<std::size_t>(received), carried, sent, destination, reply);
        reply.authenticated = true;
        return true;
    }
}

std::string JarKey(const NtsHost& host) {
    return host.name + '\n' + std::to_string(host.port);
}

}  // namespace

bool NtsEstablish(const NtsHost& host, const NtsKeOptions& options, std::stop_token stop,
                  NtsSession& session) {
    t_detail.clear();
    const SigpipeGuard sigpipe;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(options.timeoutMs);
    std::vector<Peer> peers;
    if (!Resolve(host.name, host.port, options.lookup, deadline, stop, peers)) {
        return false;
    }
    const auto ctx = MakeTlsContext(options);
    if (!ctx) {
        return false;
    }
    FailureChoice failure;
    for (std::size_t i = 0; i < peers.size(); ++i) {
        if (EstablishWith(host, peers[i], ctx.get(), ShareOf(deadline, peers.size() - i), stop, session)) {
            t_detail.clear();
            return true;
        }
        if (GetLastError() == ECANCELED) {
            return false;
        }
        failure.Note(GetLastError(),
                     AddressText(peers[i]) + " port " + std::to_string(host.port) + ": " + t_detail);
    }
    return failure.Report();
}

bool NtsExchange(NtsSession& session, const SystemClock& clock, uint16_t fallbackPort, uint32_t timeoutMs,
                 std::stop_token stop, CSNTPReply& reply, const NameLookup& lookup, RequestPacer* pacer) {
    t_detail.clear();
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    const uint16_t port = session.ntpPort != 0 ? session.ntpPort : fallbackPort;
    std::vector<Peer> peers;
    if (!session.ntpHost.empty()) {
        if (!Resolve(session.ntpHost, port, lookup, deadline, stop, peers)) {
            return false;
        }
    } else if (session.keAddress.length != 0) {
        // Without a server record the time is asked where the keys were made.
        peers.push_back(WithPort(session.keAddress, port));
    } else {
        return Fail(kErrorHostNotFound, "the session names no address for the time requests");
    }
    FailureChoice failure;
    for (std::size_t i = 0; i < peers.size(); ++i) {
        if (session.cookies.empty()) {
            failure.Note(kErrorNtsNoCookie, "no cookie left");
            break;
        }
        const std::string address = peers[i].Text();
        if (pacer != nullptr && !pacer->TakeTurn(address)) {
            failure.Note(kErrorPaced, address + " was asked moments ago");
            continue;
        }
        if (ExchangeWith(session, peers[i], clock, ShareOf(deadline, peers.size() - i), stop, reply)) {
            reply.peerAddress = address;
            t_detail.clear();
            return true;
        }
        const uint32_t code = GetLastError();
        if (code == ECANCELED || code == kErrorNtsRefused) {
            return false;
        }
        failure.Note(code, t_detail);
    }
    return failure.Report();
}

bool NtsQuery(const std::string& host, NtsCookieJar& jar, const SystemClock& clock, uint16_t fallbackPort,
              uint32_t timeoutMs, std::stop_token stop, CSNTPReply& reply, const NtsKeOptions& options) {
    const std::optional<NtsHost> parsed = ParseNtsHost(host);
    if (!parsed) {
        return Fail(kErrorHostNotFound, "not a valid nts:// host: " + host);
    }
    NtsKeOptions keOptions = options;
    keOptions.timeoutMs = timeoutMs;
    std::optional<NtsSession> session = jar.Take(*parsed);
    if (!session) {
        session.emplace();
        if (!NtsEstablish(*parsed, keOptions, stop, *session)) {
            return false;
        }
    }
    bool answered =
        NtsExchange(*session, clock, fallbackPort, timeoutMs, stop, reply, options.lookup, options.pacer);
    if (!answered && GetLastError() == kErrorNtsRefused) {
        // The server can no longer read the cookies (its keys changed): new
        // ones from a fresh key establishment, and one more request.
        if (!NtsEstablish(*parsed, keOptions, stop, *session)) {
            return false;
        }
        answered =
            NtsExchange(*session, clock, fallbackPort, timeoutMs, stop, reply, options.lookup, options.pacer);
        if (!answered && GetLastError() == kErrorNtsRefused) {
            return Fail(kErrorNtsRefused,
                        "the server answered NTSN to the cookies of a fresh key establishment too");
        }
    }
    // A request held back by the pacing leaves the session good for the next one.
    if (answered || GetLastError() == kErrorPaced) {
        LastErrorKeeper keep;
        jar.Keep(*parsed, std::move(*session));
    }
    return answered;
}

std::optional<NtsSession> NtsCookieJar::Take(const NtsHost& host) {
    std::lock_guard lock(m_mutex);
    const auto found = m_sessions.find(JarKey(host));
    if (found == m_sessions.end()) {
        return std::nullopt;
    }
    std::optional<NtsSession> session(std::move(found->second));
    m_sessions.erase(found);
    if (session->cookies.empty()) {
        return std::nullopt;
    }
    return session;
}

void NtsCookieJar::Keep(const NtsHost& host, NtsSession session) {
    std::lock_guard lock(m_mutex);
    m_sessions[JarKey(host)] = std::move(session);
}

std::size_t NtsCookieJar::KeptCookies(const std::string& host) const {
    const std::optional<NtsHost> parsed = ParseNtsHost(host);
    std::lock_guard lock(m_mutex);
    const auto found = parsed ? m_sessions.find(JarKey(*parsed)) : m_sessions.end();
    return found == m_sessions.end() ? 0 : found->second.cookies.size();
}

void NtsCookieJar::Clear() {
    std::lock_guard lock(m_mutex);
    m_sessions.clear();
}
