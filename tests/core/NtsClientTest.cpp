#include "core/NtsClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/QueryCommand.h"
#include "core/ReplyCheck.h"
#include "core/SocketsLayer.h"
#include "core/SyncManager.h"
#include "core/Synchroniser.h"
#include "platform/LastError.h"
#include "tests/support/Chronyd.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeClockSetter.h"
#include "tests/support/FakeInternetProbe.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TempSettings.h"

namespace {

// A self-signed certificate for 127.0.0.1 and localhost, made with the
// openssl command; it is its own trust anchor.
bool MakeCertificate(const TempFolder& dir) {
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "
        "/CN=localhost"
        " -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
        dir / "key.pem" + " -out " + dir / "cert.pem" + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

bool Readable(int handle, int ms) {
    pollfd entry{handle, POLLIN, 0};
    return poll(&entry, 1, ms) > 0;
}

// The server's NTSN for a request: stratum 0, the kiss code, the request's
// transmit value and unique identifier echoed, nothing authenticated.
std::vector<uint8_t> NakFor(const uint8_t* request, std::size_t size) {
    std::vector<uint8_t> nak(NtsField::kHeaderBytes, 0);
    nak[0] = 0x24;
    std::memcpy(nak.data() + 12, "NTSN", 4);
    std::vector<NtsExtensionField> fields;
    if (size < NtsField::kHeaderBytes ||
        !ParseExtensionFields(request + NtsField::kHeaderBytes, size - NtsField::kHeaderBytes, fields)) {
        return {};
    }
    std::memcpy(nak.data() + 24, request + 40, 8);
    for (const NtsExtensionField& field : fields) {
        if (field.type == NtsField::kUniqueIdentifier) {
            AppendExtensionField(nak, field.type, field.body, field.bodyLength);
        }
    }
    return nak;
}

// Passes each request to the server and its reply back, with one byte of the
// reply flipped (none when flipAt is past the end); the first nakFirst
// requests get the NTSN instead. Keeps the last request.
class UdpRelay {
public:
    UdpRelay(uint16_t serverPort, std::size_t flipAt, int nakFirst = 0) {
        m_handle = LoopbackSocket(SOCK_DGRAM, m_port);
        m_thread = std::thread([this, serverPort, flipAt, nakFirst] {
            uint16_t unused = 0;
            const int upstream = LoopbackSocket(SOCK_DGRAM, unused);
            sockaddr_in server{};
            server.sin_family = AF_INET;
            server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            server.sin_port = htons(serverPort);
            while (!m_stop) {
                if (!Readable(m_handle, 50)) {
                    continue;
                }
                uint8_t buffer[2048];
                sockaddr_in client{};
                socklen_t length = sizeof client;
                const ssize_t n = recvfrom(m_handle, buffer, sizeof buffer, 0,
                                           reinterpret_cast<sockaddr*>(&client), &length);
                {
                    std::lock_guard lock(m_mutex);
                    m_last.assign(buffer, buffer + std::max<ssize_t>(n, 0));
                }
                if (m_naks < nakFirst) {
                    ++m_naks;
                    const std::vector<uint8_t> nak = NakFor(buffer, static_cast<std::size_t>(n));
                    sendto(m_handle, nak.data(), nak.size(), 0, reinterpret_cast<sockaddr*>(&client), length);
                    continue;
                }
                sendto(upstream, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&server),
                       sizeof server);
                if (!Readable(upstream, 1000)) {
                    continue;
                }
                const ssize_t m = recv(upstream, buffer, sizeof buffer, 0);
                if (m > 0 && flipAt < static_cast<std::size_t>(m)) {
                    buffer[flipAt] ^= 0x01;
                }
                sendto(m_handle, buffer, static_cast<std::size_t>(std::max<ssize_t>(m, 0)), 0,
                       reinterpret_cast<sockaddr*>(&client), length);
            }
            close(upstream);
        });
    }
    ~UdpRelay() {
        m_stop = true;
        m_thread.join();
        close(m_handle);
    }
    uint16_t Port() const { return m_port; }
    int Naks() const { return m_naks; }
    std::vector<uint8_t> LastRequest() const {
        std::lock_guard lock(m_mutex);
        return m_last;
    }

private:
    int m_handle = -1;
    uint16_t m_port = 0;
    std::atomic<int> m_naks{0};
    mutable std::mutex m_mutex;
    std::vector<uint8_t> m_last;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// How many datagrams wait on a socket, read and dropped.
int DrainDatagrams(int handle) {
    int count = 0;
    uint8_t buffer[2048];
    while (recv(handle, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
        ++count;
    }
    return count;
}

// A key-establishment server that answers each connection with fixed bytes.
// Silent, it completes the handshake and then says nothing; cut off, it sends
// the bytes and drops the connection without closing TLS.
enum class KeBehaviour { Answer, Silent, CutOff };

class FakeKeServer {
public:
    FakeKeServer(const TempFolder& dir, NtsBytes answer, bool offerAlpn,
                 KeBehaviour behaviour = KeBehaviour::Answer) {
        m_ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(m_ctx, (dir / "cert.pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(m_ctx, (dir / "key.pem").c_str(), SSL_FILETYPE_PEM);
        if (offerAlpn) {
            SSL_CTX_set_alpn_select_cb(
                m_ctx,
                [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
                   unsigned int inLength, void*) {
                    static const unsigned char kOurs[] = {7, 'n', 't', 's', 'k', 'e', '/', '1'};
                    return SSL_select_next_proto(const_cast<unsigned char**>(out), outLength, kOurs,
                                                 sizeof kOurs, in, inLength) == OPENSSL_NPN_NEGOTIATED
                               ? SSL_TLSEXT_ERR_OK
                               : SSL_TLSEXT_ERR_ALERT_FATAL;
                },
                nullptr);
        }
        m_listener = LoopbackSocket(SOCK_STREAM, m_port);
        listen(m_listener, 4);
        m_thread = std::thread([this, answer = std::move(answer), behaviour] {
            // A client that leaves early must not end the test program.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            while (!m_stop) {
                if (!Readable(m_listener, 50)) {
                    continue;
                }
                const int connection = accept(m_listener, nullptr, nullptr);
                ++m_connections;
                SSL* ssl = SSL_new(m_ctx);
                SSL_set_fd(ssl, connection);
                uint8_t request[256];
                std::size_t got = 0;
                if (SSL_accept(ssl) == 1 && SSL_read_ex(ssl, request, sizeof request, &got) == 1) {
                    if (behaviour == KeBehaviour::Silent) {
                        while (!m_stop) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(10));
                        }
                    } else {
                        std::size_t written = 0;
                        SSL_write_ex(ssl, answer.data(), answer.size(), &written);
                        if (behaviour == KeBehaviour::Answer) {
                            SSL_shutdown(ssl);
                        }
                    }
                }
                SSL_free(ssl);
                close(connection);
            }
        });
    }
    ~FakeKeServer() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
        SSL_CTX_free(m_ctx);
    }
    uint16_t Port() const { return m_port; }
    int Connections() const { return m_connections; }

private:
    SSL_CTX* m_ctx = nullptr;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<int> m_connections{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

NtsBytes Records(std::initializer_list<uint16_t> words) {
    NtsBytes out;
    for (const uint16_t w : words) {
        out.push_back(static_cast<uint8_t>(w >> 8));
        out.push_back(static_cast<uint8_t>(w));
    }
    return out;
}

NtsBytes Join(std::initializer_list<NtsBytes> parts) {
    NtsBytes out;
    for (const NtsBytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

class NtsClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeCertificate(m_dir)) << "the openssl command is needed";
        m_options.trustFile = m_dir / "cert.pem";
        m_options.timeoutMs = 2000;
    }

    std::unique_ptr<Chronyd> StartChronyd() {
        ChronydOptions options;
        options.ntsCertFile = m_dir / "cert.pem";
        options.ntsKeyFile = m_dir / "key.pem";
        if (const std::string reason = Chronyd::Unavailable(options); !reason.empty()) {
            return nullptr;
        }
        return std::make_unique<Chronyd>(options);
    }

    TempFolder m_dir;
    NtsKeOptions m_options;
    FakeClock m_clock = FakeClock::FollowingRealTime(0);
};

TEST_F(NtsClientTest, AuthenticatedExchangeWithChronydAgreesWithin1Ms) {
    if (Chronyd::RanAsNamespaceRoot()) {
        return;
    }
    const auto chronyd = StartChronyd();
    if (!chronyd) {
        GTEST_SKIP() << Chronyd::Unavailable();
    }
    const NtsHost host{"127.0.0.1", chronyd->NtsPort()};
    NtsSession session;
    ASSERT_TRUE(NtsEstablish(host, m_options, {}, session)) << NtsLastDetail() << chronyd->Log();
    EXPECT_EQ(session.cookies.size(), NtsKe::kMaxCookies);
    // No server record: the time is asked where the keys were made.
    EXPECT_EQ(session.ntpHost, "");
    std::vector<double> offsets;
    for (int i = 0; i < 20; ++i) {
        CSNTPReply reply{};
        ASSERT_TRUE(NtsExchange(session, m_clock, chronyd->Port(), 2000, {}, reply))
            << LastErrorText(GetLastError()) << ": " << NtsLastDetail();
        EXPECT_TRUE(reply.authenticated);
        EXPECT_TRUE(CheckReply(reply).Accepted()) << CheckReply(reply).reason;
        offsets.push_back(std::fabs(reply.localClockOffsetSeconds));
        // Every reply replaces the cookie it used.
        EXPECT_EQ(session.cookies.size(), NtsKe::kMaxCookies);
    }
    std::sort(offsets.begin(), offsets.end());
    std::cout << "NTS with chronyd: offset median " << offsets[10] * 1e6 << " us, max "
              << offsets.back() * 1e6 << " us\n";
    EXPECT_LT(offsets[10], 0.001);

    // Through the program's own entry, trusting the certificate the way OpenSSL
    // lets a user do: the cookies are kept for the next query.
    setenv("SSL_CERT_FILE", m_options.trustFile.c_str(), 1);
    FakeClockSetter privilege(m_clock);
    CSNTPClient client(m_clock, privilege, 2000);
    const std::string nts = "nts://127.0.0.1:" + std::to_string(chronyd->NtsPort());
    for (int i = 0; i < 2; ++i) {
        CSNTPReply reply{};
        EXPECT_TRUE(client.Query(nts, reply, chronyd->Port())) << NtsLastDetail();
        EXPECT_TRUE(reply.authenticated);
        EXPECT_EQ(client.CookieJar().KeptCookies(nts), NtsKe::kMaxCookies);
    }
    unsetenv("SSL_CERT_FILE");
    EXPECT_TRUE(m_clock.Sets().empty());
}

TEST_F(NtsClientTest, ForgedRepliesAndUntrustedServersAreRefused) {
    if (Chronyd::RanAsNamespaceRoot()) {
        return;
    }
    const auto chronyd = StartChronyd();
    if (!chronyd) {
        GTEST_SKIP() << Chronyd::Unavailable();
    }
    const NtsHost host{"127.0.0.1", chronyd->NtsPort()};
    NtsSession session;

    NtsKeOptions untrusted = m_options;
    untrusted.trustFile.clear();
    EXPECT_FALSE(NtsEstablish(host, untrusted, {}, session));
    EXPECT_EQ(GetLastError(), kErrorNtsCertificate);
    EXPECT_NE(NtsLastDetail().find("certificate verify failed"), std::string::npos) << NtsLastDetail();

    ASSERT_TRUE(NtsEstablish(host, m_options, {}, session)) << NtsLastDetail();
    // A byte of the header, of the identifier, of the nonce, of the sealed cookies,
    // and none at all for a relay that only passes the reply on.
    const struct {
        std::size_t flipAt;
        uint32_t error;
    } cases[] = {{40, kErrorNtsUnauthenticated},
                 {60, kErrorTimedOut},
                 {100, kErrorNtsUnauthenticated},
                 {130, kErrorNtsUnauthenticated},
                 {5000, kErrorSuccess}};
    for (const auto& c : cases) {
        UdpRelay relay(chronyd->Port(), c.flipAt);
        session.ntpPort = relay.Port();
        CSNTPReply reply{};
        SetLastError(kErrorSuccess);
        EXPECT_EQ(NtsExchange(session, m_clock, 0, 500, {}, reply), c.error == kErrorSuccess) << c.flipAt;
        EXPECT_EQ(GetLastError(), c.error) << c.flipAt << ": " << NtsLastDetail();
        EXPECT_EQ(reply.authenticated, c.error == kErrorSuccess);
    }
}

// A whole run from two hours behind: the coarse and the fine step, each after
// an authenticated exchange, and the status line says so. Without the
// certificate trusted, the run fails and the clock stays.
TEST_F(NtsClientTest, ARunWithAnNtsServerStepsOnAuthenticatedTimeOnly) {
    if (Chronyd::RanAsNamespaceRoot()) {
        return;
    }
    const auto chronyd = StartChronyd();
    if (!chronyd) {
        GTEST_SKIP() << Chronyd::Unavailable();
    }
    const std::string nts = "nts://localhost:" + std::to_string(chronyd->NtsPort());
    TempSettings temp;
    temp.settings.servers.Add(CServer("Local NTS", nts, 1));
    // Two hours are a large correction: the same server under another name bears it out.
    temp.settings.servers.Add(CServer("Local NTS again", nts + "/", 1));
    FakeClock clock = FakeClock::FollowingRealTime(-7200);
    FakePrompts prompts;
    FakeClockSetter privilege(clock);
    SocketsLayer sockets;
    FakeInternetProbe probe;
    SyncManager manager(temp.settings, clock, prompts, "C");
    manager.SetCurrentServer();
    Synchroniser synchroniser(manager, clock, privilege, sockets, probe, {chronyd->Port(), 2000, {}});

    EXPECT_EQ(synchroniser.SyncThreadProc(0, manager.BeginRun(0)), 0);
    EXPECT_TRUE(clock.Sets().empty());
    EXPECT_EQ(GetLastError(), kErrorNtsCertificate);

    setenv("SSL_CERT_FILE", m_options.trustFile.c_str(), 1);
    manager.SetCurrentServer();
    EXPECT_EQ(synchroniser.SyncThreadProc(0, manager.BeginRun(0)), 1) << manager.StatusText();
    EXPECT_EQ(clock.Sets().size(), 2u);
    EXPECT_TRUE(manager.StatusText().starts_with("Success synchro: ")) << manager.StatusText();
    EXPECT_TRUE(manager.StatusText().ends_with(" sec. NTS")) << manager.StatusText();

    // tidewell-query's report of the same server, and of one it cannot trust.
    CSNTPClient client(clock, privilege, 2000);
    std::ostringstream out;
    std::ostringstream err;
    QueryOptions options;
    options.port = chronyd->Port();
    options.hosts = {nts};
    EXPECT_EQ(RunQueries(options, client, out, err, "q"), kQueryExitAllAnswered) << err.str();
    EXPECT_NE(out.str().find(", authenticated (NTS)"), std::string::npos) << out.str();
    unsetenv("SSL_CERT_FILE");
    client.CookieJar().Clear();
    EXPECT_EQ(RunQueries(options, client, out, err, "q"), kQueryExitNoAnswer);
    EXPECT_NE(err.str().find("certificate verify failed"), std::string::npos) << err.str();
    EXPECT_LT(std::fabs(clock.OffsetFromRealSeconds()), 0.002);
}

TEST_F(NtsClientTest, KeyEstablishmentFailuresHaveTheirOwnReasons) {
    const NtsBytes ntp = Records({0x8001, 2, 0});
    const NtsBytes aead = Records({0x8004, 2, 15});
    const NtsBytes end = Records({0x8000, 0});
    const struct {
        const char* what;
        NtsBytes answer;
        bool alpn;
        uint32_t error;
        KeBehaviour behaviour = KeBehaviour::Answer;
    } cases[] = {
        {"no cookie", Join({ntp, aead, end}), true, kErrorNtsNoCookie},
        {"error record", Join({Records({0x8002, 2, 1}), end}), true, kErrorNtsServerError},
        {"warning record", Join({ntp, aead, Records({0x0003, 2, 9}), end}), true, kErrorNtsServerWarning},
        {"other algorithm", Join({ntp, Records({0x8004, 2, 1}), Records({5, 2, 0xabcd}), end}), true,
         kErrorNtsNoAlgorithm},
        {"cut short", Join({ntp, aead}), true, kErrorNtsClosed},
        {"no ALPN", Join({ntp, aead, end}), false, kErrorNtsNoAlpn},
        {"cut off mid-stream", Join({ntp, aead}), true, kErrorNtsClosed, KeBehaviour::CutOff},
        {"malformed", Join({Records({0x8001, 1, 0}), end}), true, kErrorNtsBadResponse},
    };
    for (const auto& c : cases) {
        FakeKeServer server(m_dir, c.answer, c.alpn, c.behaviour);
        NtsSession session;
        EXPECT_FALSE(NtsEstablish({"localhost", server.Port()}, m_options, {}, session)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what << ": " << NtsLastDetail();
        EXPECT_FALSE(NtsLastDetail().empty()) << c.what;
    }

    // A server that goes silent: the time-out, or the stop, ends the wait.
    FakeKeServer silent(m_dir, {}, true, KeBehaviour::Silent);
    NtsSession session;
    std::stop_source stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(NtsEstablish({"127.0.0.1", silent.Port()}, m_options, stop.get_token(), session));
    stopper.join();
    EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ECANCELED));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

// A name whose first address (::1) takes the connection and says nothing: it
// has its share of the time, the second address (127.0.0.1) makes the keys,
// and the time is asked at 127.0.0.1, where the keys were made, not at the
// name's first address.
TEST_F(NtsClientTest, EveryAddressHasItsShareAndTheTimeIsAskedWhereTheKeysWereMade) {
    if (Chronyd::RanAsNamespaceRoot()) {
        return;
    }
    const auto chronyd = StartChronyd();
    if (!chronyd) {
        GTEST_SKIP() << Chronyd::Unavailable();
    }
    const int silentKe = SilentIpv6Socket(SOCK_STREAM, chronyd->NtsPort());
    const int silentNtp = SilentIpv6Socket(SOCK_DGRAM, chronyd->Port());
    if (silentKe < 0 || silentNtp < 0) {
        GTEST_SKIP() << "no IPv6 loopback address";
    }
    setenv("SSL_CERT_FILE", m_options.trustFile.c_str(), 1);
    FakeClockSetter privilege(m_clock);
    CSNTPClient client(m_clock, privilege, 2000);
    client.SetNameLookup([](const std::string&) { return NameLookupAnswer{0, {"::1", "127.0.0.1"}}; });
    const std::string nts = "nts://localhost:" + std::to_string(chronyd->NtsPort());
    for (const int round : {1, 2}) {
        const auto start = std::chrono::steady_clock::now();
        CSNTPReply reply{};
        EXPECT_TRUE(client.Query(nts, reply, chronyd->Port())) << round << ": " << NtsLastDetail();
        EXPECT_TRUE(reply.authenticated);
        const auto took = std::chrono::steady_clock::now() - start;
        // The handshake waits half the time-out on ::1; the kept cookies go
        // straight to 127.0.0.1.
        EXPECT_LT(took, std::chrono::milliseconds(round == 1 ? 1800 : 500)) << round;
        EXPECT_EQ(client.CookieJar().KeptCookies(nts), NtsKe::kMaxCookies);
    }
    unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(DrainDatagrams(silentNtp), 0);
    close(silentKe);
    close(silentNtp);
}

// A server record names a host of two addresses and a port: ::1 is silent and
// has its share of the time, 127.0.0.1 answers NTSN. The cookies are dropped,
// one fresh key establishment follows, and after its request is refused too the
// query fails with the reason. The requests hold one placeholder for each
// cookie the session lacks.
TEST_F(NtsClientTest, ServerRecordsAddressesAndTheNtsnOfAServer) {
    UdpRelay nak(0, 0, 1000);
    const int silentNtp = SilentIpv6Socket(SOCK_DGRAM, nak.Port());
    if (silentNtp < 0) {
        GTEST_SKIP() << "no IPv6 loopback address";
    }
    const NtsBytes cookie(100, 0xc0);
    const NtsBytes cookieRecord = Join({Records({5, 100}), cookie});
    FakeKeServer ke(m_dir,
                    Join({Records({0x8001, 2, 0, 0x8004, 2, 15}),
                          cookieRecord,
                          cookieRecord,
                          Records({6, 4}),
                          {'t', 'i', 'm', 'e'},
                          Records({7, 2, nak.Port(), 0x8000, 0})}),
                    true);
    NtsKeOptions options = m_options;
    options.lookup = [](const std::string& name) {
        return NameLookupAnswer{0, name == "time" ? std::vector<std::string>{"::1", "127.0.0.1"}
                                                  : std::vector<std::string>{"127.0.0.1"}};
    };
    NtsCookieJar jar;
    CSNTPReply reply{};
    const std::string nts = "nts://localhost:" + std::to_string(ke.Port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(NtsQuery(nts, jar, m_clock, 9, 1000, {}, reply, options));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetLastError(), kErrorNtsRefused);
    EXPECT_NE(NtsLastDetail().find("fresh key establishment"), std::string::npos) << NtsLastDetail();
    EXPECT_EQ(ke.Connections(), 2);
    EXPECT_EQ(nak.Naks(), 2);
    EXPECT_EQ(DrainDatagrams(silentNtp), 2);
    // Two halves of the time-out on ::1, not two whole ones.
    EXPECT_GT(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(1800));
    EXPECT_EQ(jar.KeptCookies(nts), 0u);

    // The last request carried the last cookie and a placeholder of its size
    // for each of the seven the session lacked.
    const std::vector<uint8_t> request = nak.LastRequest();
    std::vector<NtsExtensionField> fields;
    ASSERT_TRUE(ParseExtensionFields(request.data() + 48, request.size() - 48, fields));
    std::string types;
    for (const NtsExtensionField& field : fields) {
        types += std::to_string(field.type >> 8) + ":" + std::to_string(field.bodyLength) + " ";
    }
    EXPECT_EQ(types, "1:32 2:100 3:100 3:100 3:100 3:100 3:100 3:100 3:100 4:36 ");
    close(silentNtp);
}

// A kept session whose requests go through a relay that answers NTSN, as a
// server does once its keys have changed: a fresh key establishment and the
// second request give authenticated time.
TEST_F(NtsClientTest, AnNtsnIsAnsweredWithAFreshKeyEstablishment) {
    if (Chronyd::RanAsNamespaceRoot()) {
        return;
    }
    const auto chronyd = StartChronyd();
    if (!chronyd) {
        GTEST_SKIP() << Chronyd::Unavailable();
    }
    UdpRelay relay(chronyd->Port(), 5000, 1);
    const NtsHost host{"127.0.0.1", chronyd->NtsPort()};
    NtsSession session;
    ASSERT_TRUE(NtsEstablish(host, m_options, {}, session)) << NtsLastDetail();
    session.ntpPort = relay.Port();
    NtsCookieJar jar;
    jar.Keep(host, session);
    CSNTPReply reply{};
    const std::string nts = "nts://127.0.0.1:" + std::to_string(chronyd->NtsPort());
    EXPECT_TRUE(NtsQuery(nts, jar, m_clock, chronyd->Port(), 2000, {}, reply, m_options)) << NtsLastDetail();
    EXPECT_TRUE(reply.authenticated);
    EXPECT_TRUE(CheckReply(reply).Accepted()) << CheckReply(reply).reason;
    EXPECT_EQ(relay.Naks(), 1);
    EXPECT_EQ(jar.KeptCookies(nts), NtsKe::kMaxCookies);
}

}  // namespace
