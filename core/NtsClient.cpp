#include "core/NtsClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
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
#include <map>
#include <memory>
#include <mutex>
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

bool WaitFailed(Wait wait, const char* what) {
    if (wait == Wait::Cancelled) {
        return Fail(ECANCELED, std::string(what) + " stopped");
    }
    return Fail(kErrorTimedOut, std::string(what) + " timed out");
}

// The addresses of name, looked up until the deadline or the stop.
bool Resolve(const std::string& name, uint16_t port, SteadyClock::time_point deadline,
             const std::stop_token& stop, std::vector<Peer>& peers) {
    if (!FindPeers(name, port, SystemNameLookup, deadline, stop, peers)) {
        return Fail(GetLastError(), "cannot look up " + name);
    }
    return true;
}

// A non-blocking TCP connection to the first address that takes it.
bool ConnectTcp(const NtsHost& host, SteadyClock::time_point deadline, const std::stop_token& stop,
                Descriptor& socketOut) {
    std::vector<Peer> peers;
    if (!Resolve(host.name, host.port, deadline, stop, peers)) {
        return false;
    }
    int lastError = ECONNREFUSED;
    for (const Peer& peer : peers) {
        Descriptor handle(socket(peer.Family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (handle.Get() < 0) {
            lastError = errno;
            continue;
        }
        if (connect(handle.Get(), peer.Address(), peer.length) != 0) {
            if (errno != EINPROGRESS) {
                lastError = errno;
                continue;
            }
            const Wait wait = WaitFor(handle.Get(), POLLOUT, deadline, stop);
            if (wait != Wait::Ready) {
                return WaitFailed(wait, "connection");
            }
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(handle.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                lastError = error;
                continue;
            }
        }
        // The request and the TLS records are small: without this, each waits
        // for the peer's delayed acknowledgement.
        const int on = 1;
        setsockopt(handle.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        socketOut.Reset(handle.Release());
        return true;
    }
    return Fail(static_cast<uint32_t>(lastError),
                "cannot connect to " + host.name + " port " + std::to_string(host.port));
}

struct SslDeleter {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

std::string TlsErrorText(SSL* ssl) {
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
        return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
    }
    const unsigned long error = ERR_peek_last_error();
    if (error != 0) {
        char text[256];
        ERR_error_string_n(error, text, sizeof text);
        return text;
    }
    return "TLS connection failed";
}

// Drives one TLS call to completion on the non-blocking socket. 1 done, 0 the
// peer closed, -1 failed (the reason in the last error).
template <typename Call>
int TlsStep(SSL* ssl, int handle, SteadyClock::time_point deadline, const std::stop_token& stop,
            const char* what, Call call) {
    for (;;) {
        ERR_clear_error();
        const int result = call();
        if (result > 0) {
            return 1;
        }
        const int error = SSL_get_error(ssl, result);
        short events = 0;
        if (error == SSL_ERROR_WANT_READ) {
            events = POLLIN;
        } else if (error == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else if (error == SSL_ERROR_ZERO_RETURN ||
                   (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0)) {
            return 0;
        } else {
            Fail(kErrorNtsTls, TlsErrorText(ssl));
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

enum class Verdict { Stray, Refused, Unauthenticated, Sound };

// Judges one datagram against the request's identifier and the S2C key; a
// sound one gives its fresh cookies.
Verdict JudgeDatagram(const uint8_t* data, std::size_t size, const NtsBytes& uid, const NtsBytes& s2c,
                      std::vector<NtsBytes>& cookies) {
    using namespace NtsField;
    std::vector<NtsExtensionField> fields;
    if (size < kHeaderBytes || ntp::ModeOf(data[ntp::kFlagsOffset]) != ntp::kModeServer ||
        !ParseExtensionFields(data + kHeaderBytes, size - kHeaderBytes, fields)) {
        return Verdict::Stray;
    }
    const NtsExtensionField* id = FindField(fields, kUniqueIdentifier);
    if (id == nullptr || id->bodyLength < uid.size() || std::memcmp(id->body, uid.data(), uid.size()) != 0) {
        return Verdict::Stray;
    }
    const NtsExtensionField* auth = FindField(fields, kAuthenticator);
    if (auth == nullptr) {
        // Stratum 0 with "NTSN": the server cannot read our cookie.
        const bool nak = data[1] == 0 && std::memcmp(data + 12, "NTSN", 4) == 0;
        return nak ? Verdict::Refused : Verdict::Unauthenticated;
    }
    NtsAuthenticatorBody body;
    NtsBytes plaintext;
    // The identifier must lie in what the authenticator covers.
    if (id->offset > auth->offset || !ParseAuthenticator(*auth, body) ||
        !NtsOpen(s2c, data, kHeaderBytes + auth->offset, body.nonce, body.nonceLength, body.ciphertext,
                 body.ciphertextLength, plaintext)) {
        return Verdict::Unauthenticated;
    }
    std::vector<NtsExtensionField> inner;
    if (ParseExtensionFields(plaintext.data(), plaintext.size(), inner)) {
        for (const NtsExtensionField& field : inner) {
            if (field.type == kCookie && field.bodyLength > 0 && cookies.size() < NtsKe::kMaxCookies) {
                cookies.emplace_back(field.body, field.body + field.bodyLength);
            }
        }
    }
    return Verdict::Sound;
}

std::mutex g_jarMutex;
std::map<std::string, NtsSession> g_jar;

std::string JarKey(const NtsHost& host) {
    return host.name + '\n' + std::to_string(host.port);
}

}  // namespace

const std::string& NtsLastDetail() {
    return t_detail;
}

bool NtsEstablish(const NtsHost& host, const NtsKeOptions& options, std::stop_token stop,
                  NtsSession& session) {
    t_detail.clear();
    const SigpipeGuard sigpipe;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(options.timeoutMs);
    Descriptor tcp;
    if (!ConnectTcp(host, deadline, stop, tcp)) {
        return false;
    }

    std::unique_ptr<SSL_CTX, SslDeleter> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        return Fail(kErrorNtsTls, "cannot set up TLS");
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    const int trusted = options.trustFile.empty()
                            ? SSL_CTX_set_default_verify_paths(ctx.get())
                            : SSL_CTX_load_verify_locations(ctx.get(), options.trustFile.c_str(), nullptr);
    static constexpr unsigned char kAlpn[] = {7, 'n', 't', 's', 'k', 'e', '/', '1'};
    // set_alpn_protos, unlike its neighbours, returns 0 on success.
    if (trusted != 1 || SSL_CTX_set_alpn_protos(ctx.get(), kAlpn, sizeof kAlpn) != 0) {
        return Fail(kErrorNtsTls, "cannot load the trusted certificates");
    }
    std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx.get()));
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
        return step == 0 ? Fail(kErrorNtsTls, "the server closed the connection during the handshake")
                         : false;
    }
    const unsigned char* alpn = nullptr;
    unsigned int alpnLength = 0;
    SSL_get0_alpn_selected(s, &alpn, &alpnLength);
    if (alpnLength != sizeof kAlpn - 1 || std::memcmp(alpn, kAlpn + 1, alpnLength) != 0) {
        return Fail(kErrorNtsTls, "the server did not agree to ntske/1");
    }

    const NtsBytes request = EncodeNtsKeRequest();
    std::size_t written = 0;
    step = TlsStep(s, handle, deadline, stop, "key establishment",
                   [&] { return SSL_write_ex(s, request.data(), request.size(), &written); });
    if (step <= 0) {
        return step == 0 ? Fail(kErrorNtsBadResponse, "the server closed the connection") : false;
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
            return Fail(kErrorNtsBadResponse, "the answer ended before its end-of-message record");
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
    fresh.ntpHost = response.server.empty() ? host.name : response.server;
    fresh.ntpPort = response.port.value_or(0);
    session = std::move(fresh);
    return true;
}

bool NtsExchange(NtsSession& session, const SystemClock& clock, uint16_t fallbackPort, uint32_t timeoutMs,
                 std::stop_token stop, CSNTPReply& reply) {
    using namespace NtsField;
    t_detail.clear();
    if (session.cookies.empty()) {
        return Fail(kErrorNtsNoCookie, "no cookie left");
    }
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    const uint16_t port = session.ntpPort != 0 ? session.ntpPort : fallbackPort;
    std::vector<Peer> peers;
    if (!Resolve(session.ntpHost, port, deadline, stop, peers)) {
        return false;
    }
    const Peer& peer = peers.front();
    Descriptor udp(socket(peer.Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
    // Fixes the peer, so that datagrams from anyone else are never read.
    if (udp.Get() < 0 || connect(udp.Get(), peer.Address(), peer.length) != 0) {
        return Fail(static_cast<uint32_t>(errno), "cannot reach " + session.ntpHost);
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
    const CSNTPTimestamp sent = CSNTPTimestamp::Now(clock);
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

    if (send(udp.Get(), packet.data(), packet.size(), 0) < 0) {
        return Fail(static_cast<uint32_t>(errno), "cannot send to " + session.ntpHost);
    }
    bool sawForgery = false;
    for (;;) {
        const Wait wait = WaitFor(udp.Get(), POLLIN, deadline, stop);
        if (wait == Wait::TimedOut && sawForgery) {
            return Fail(kErrorNtsUnauthenticated, "the reply does not verify under the server's key");
        }
        if (wait != Wait::Ready) {
            return WaitFailed(wait, "authenticated exchange");
        }
        const CSNTPTimestamp destination = CSNTPTimestamp::Now(clock);
        uint8_t buffer[2048];
        const ssize_t received = recv(udp.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            // An ICMP "port unreachable" reads as ECONNREFUSED.
            return Fail(static_cast<uint32_t>(errno), "no NTS time service at " + session.ntpHost);
        }
        std::vector<NtsBytes> fresh;
        switch (JudgeDatagram(buffer, static_cast<std::size_t>(received), uid, session.s2c, fresh)) {
            case Verdict::Stray:
                continue;
            case Verdict::Unauthenticated:
                sawForgery = true;
                continue;
            case Verdict::Refused:
                session.cookies.clear();
                return Fail(kErrorNtsRefused, "the server answered NTSN: it cannot read the cookie");
            case Verdict::Sound:
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

bool NtsQuery(const std::string& host, const SystemClock& clock, uint16_t fallbackPort, uint32_t timeoutMs,
              std::stop_token stop, CSNTPReply& reply, const NtsKeOptions& options) {
    const std::optional<NtsHost> parsed = ParseNtsHost(host);
    if (!parsed) {
        return Fail(kErrorHostNotFound, "not a valid nts:// host: " + host);
    }
    NtsSession session;
    bool kept = false;
    {
        std::lock_guard lock(g_jarMutex);
        if (const auto found = g_jar.find(JarKey(*parsed)); found != g_jar.end()) {
            session = std::move(found->second);
            g_jar.erase(found);
            kept = !session.cookies.empty();
        }
    }
    if (!kept) {
        NtsKeOptions keOptions = options;
        keOptions.timeoutMs = timeoutMs;
        if (!NtsEstablish(*parsed, keOptions, stop, session)) {
            return false;
        }
    }
    if (!NtsExchange(session, clock, fallbackPort, timeoutMs, stop, reply)) {
        return false;
    }
    std::lock_guard lock(g_jarMutex);
    g_jar[JarKey(*parsed)] = std::move(session);
    return true;
}

std::size_t NtsKeptCookies(const std::string& host) {
    const std::optional<NtsHost> parsed = ParseNtsHost(host);
    std::lock_guard lock(g_jarMutex);
    const auto found = parsed ? g_jar.find(JarKey(*parsed)) : g_jar.end();
    return found == g_jar.end() ? 0 : found->second.cookies.size();
}

void NtsForgetSessions() {
    std::lock_guard lock(g_jarMutex);
    g_jar.clear();
}
