#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "core/NameLookup.h"
#include "core/NtsSession.h"
#include "core/RequestPacer.h"
#include "core/SntpTimestamp.h"
#include "platform/ClockSetter.h"
#include "platform/SystemClock.h"

// What one SNTP exchange yields. The caller clears it (value-initialises it)
// before the exchange; a successful Query fills every field.
struct CSNTPReply {
    int32_t leapIndicator = 0;           // the two top bits of the reply's first byte, 0..3
    int32_t stratum = 0;                 // the reply's second byte, 0..255
    int32_t version = 0;                 // bits 3..5 of the first byte; servers answer 3 or 4
    int32_t mode = 0;                    // the low three bits of the first byte; 4 for a server
    CSNTPTimestamp originateTime;        // the server's echo of the request's transmit timestamp
    CSNTPTimestamp receiveTime;          // T2: server time when the request arrived
    CSNTPTimestamp transmitTime;         // T3: server time when the reply left
    CSNTPTimestamp destinationTime;      // T4: local UTC clock when the reply was seen to be ready
    double roundTripDelaySeconds = 0;    // network round trip without the server's hold time
    double localClockOffsetSeconds = 0;  // positive when the local clock is behind the server
    // The transmit timestamp the request carried: a random value, which a
    // sound server echoes as the originate timestamp.
    CSNTPTimestamp sentTransmitTime;
    // T1: the local UTC clock when the request left. It never goes on the wire.
    CSNTPTimestamp sendTime;
    // True when the reply was authenticated with Network Time Security keys.
    bool authenticated = false;
    // The address that answered ("192.0.2.1:123", Peer::Text).
    std::string peerAddress;
};

// Fills every field of reply from a received datagram of `length` bytes, of
// which the first 48 (68 with key identifier and digest) are read. carried is
// the transmit value the request carried, sent the local UTC clock when it left
// (T1), destination the local UTC clock when the reply was seen to be ready
// (T4). False, leaving reply alone, for a datagram shorter than 48 bytes: it
// is no reply. Pure: no clock, no socket.
bool DecodeReply(const uint8_t* datagram, std::size_t length, const CSNTPTimestamp& carried,
                 const CSNTPTimestamp& sent, const CSNTPTimestamp& destination, CSNTPReply& reply);

// A fresh unpredictable value for a request's transmit field, so that the
// request tells nobody the local clock and a reply must echo what only the
// server saw. Never zero.
CSNTPTimestamp RandomTransmitValue();

// Owns one socket; -1 means that none is open. Closing a closed socket does
// nothing; destruction closes.
class CUdpSocket {
public:
    static constexpr int kInvalidSocket = -1;

    CUdpSocket() = default;
    ~CUdpSocket();
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;

    // A datagram socket of the address family (AF_INET, AF_INET6). False with
    // errno as the last error.
    bool Open(int family);
    void Close();
    int Handle() const { return m_handle; }

private:
    int m_handle = kInvalidSocket;
};

// The client side of one SNTP (version 3) exchange, and the setting of the
// clock through whoever may set it. One object is used by one thread at a
// time; separate objects may run in parallel.
class CSNTPClient {
public:
    static constexpr uint32_t kDefaultReceiveTimeoutMs = 5000;

    // receiveTimeoutMs: how long Query waits for a reply. The program always
    // uses the default; tests shorten it.
    CSNTPClient(SystemClock& clock, ClockSetter& setter,
                uint32_t receiveTimeoutMs = kDefaultReceiveTimeoutMs);
    virtual ~CSNTPClient();
    CSNTPClient(const CSNTPClient&) = delete;
    CSNTPClient& operator=(const CSNTPClient&) = delete;

    // One exchange with host on the given UDP port. host is a name, a dotted
    // IPv4 address or an IPv6 address, bare or in brackets ("::1",
    // "[2001:db8::1]"); "255.255.255.255" is looked up as a name. A name's
    // addresses are asked in the resolver's order, the next one when the one
    // before fails or has had its share of the time. The name lookup and the
    // wait for the reply together last at most the receive time-out.
    //
    // The request carries a random transmit value; a datagram that does not
    // echo it, or is shorter than 48 bytes, answers nothing and is skipped
    // (see SetSkipNote). The first answer ends the exchange: true with every
    // field of reply filled, whatever the reply says (CheckReply judges it).
    //
    // False with the reason in the last error: kErrorTimedOut when no answer
    // came in time, EBADMSG when only datagrams too short for a reply came,
    // kErrorHostNotFound / kErrorTryAgain / kErrorNoRecovery from the name
    // lookup (kErrorTryAgain also when it outlasts the time-out), ECANCELED
    // within a few milliseconds of a stop requested through stop, an errno from
    // the socket calls (ECONNREFUSED when nothing listens). Never touches the
    // clock. An "nts://HOST[:PORT]" host is asked with Network Time Security
    // instead (NtsQuery, with the cookie jar and the name lookup below): port
    // is then used only when the server names no port.
    bool Query(const std::string& host, CSNTPReply& reply, uint16_t port, std::stop_token stop = {});

    // Called on the querying thread for every datagram Query skips, with its
    // length and why it is no answer. None by default.
    using SkipNote = std::function<void(std::size_t length, const std::string& why)>;
    void SetSkipNote(SkipNote note) { m_skipNote = std::move(note); }
    // Replaces the system resolver (tests).
    void SetNameLookup(NameLookup lookup) { m_nameLookup = std::move(lookup); }
    // Every request first takes its turn with pacer: an address it holds is
    // passed over, and when it holds them all the exchange fails with
    // kErrorPaced. None (the default): nothing is paced.
    void SetPacer(RequestPacer* pacer) { m_pacer = pacer; }
    // The NTS sessions kept between queries: the client's own, or the jar
    // given here (which must outlive the client's queries).
    void UseCookieJar(NtsCookieJar& jar) { m_cookieJar = &jar; }
    NtsCookieJar& CookieJar() { return *m_cookieJar; }

    // Sets the UTC clock to the timestamp with its full precision, through the
    // clock setter (which asks the system's time authority). False with the
    // reason in the last error (see ClockSetter); the clock is left alone when
    // setting may not even be tried.
    bool SetSystemClock(const CSNTPTimestamp& utc, const ClockSetRequest& request = {});
    // The same for an instant outside the timestamp's era.
    bool SetSystemClock(const ClockTime& utc, const ClockSetRequest& request = {});
    // True when setting the clock may be tried: there is an authority to ask,
    // or this process holds the right itself.
    bool EnableSystemTimePrivilege();
    // Nothing is held between two sets: forgets what EnableSystemTimePrivilege
    // found. Keeps the last error.
    void DisableSystemTimePrivilege();

    uint32_t ReceiveTimeoutMs() const { return m_receiveTimeoutMs; }

private:
    SystemClock& m_clock;
    ClockSetter& m_setter;
    const uint32_t m_receiveTimeoutMs;
    bool m_mayTry = false;
    SkipNote m_skipNote;
    NameLookup m_nameLookup = SystemNameLookup;
    RequestPacer* m_pacer = nullptr;
    NtsCookieJar m_ownCookieJar;
    NtsCookieJar* m_cookieJar = &m_ownCookieJar;
};
