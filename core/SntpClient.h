#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/SntpTimestamp.h"
#include "platform/SystemClock.h"
#include "platform/TimePrivilege.h"

// What one SNTP exchange yields. The caller clears it (value-initialises it)
// before the exchange; a successful Query fills every field.
struct CSNTPReply {
    int32_t leapIndicator = 0;           // the two top bits of the reply's first byte, 0..3
    int32_t stratum = 0;                 // the reply's second byte, 0..255
    int32_t version = 0;                 // bits 3..5 of the first byte; servers answer 3 or 4
    int32_t mode = 0;                    // the low three bits of the first byte; 4 for a server
    CSNTPTimestamp originateTime;        // T1: the server's echo of the request's transmit timestamp
    CSNTPTimestamp receiveTime;          // T2: server time when the request arrived
    CSNTPTimestamp transmitTime;         // T3: server time when the reply left
    CSNTPTimestamp destinationTime;      // T4: local UTC clock when the reply was seen to be ready
    double roundTripDelaySeconds = 0;    // network round trip without the server's hold time
    double localClockOffsetSeconds = 0;  // positive when the local clock is behind the server
    // The transmit timestamp the request carried; a sound server echoes it as T1.
    CSNTPTimestamp sentTransmitTime;
    // The reply came over an authenticated (NTS) exchange.
    bool authenticated = false;
};

// Fills every field of reply from a received datagram of `length` bytes: bytes
// the datagram does not supply read as zero, bytes past the 68th are ignored.
// sent is the transmit timestamp the request carried, destination the local UTC
// clock when the reply was seen to be ready. False, leaving reply alone, for an
// empty datagram. Pure: no clock, no socket.
bool DecodeReply(const uint8_t* datagram, std::size_t length, const CSNTPTimestamp& sent,
                 const CSNTPTimestamp& destination, CSNTPReply& reply);

// Owns one socket; -1 means that none is open. Closing a closed socket does
// nothing; destruction closes.
class CUdpSocket {
public:
    static constexpr int kInvalidSocket = -1;

    CUdpSocket() = default;
    ~CUdpSocket();
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;

    // An IPv4 datagram socket. False with errno as the last error.
    bool Open();
    void Close();
    bool IsOpen() const { return m_handle != kInvalidSocket; }
    int Handle() const { return m_handle; }

private:
    int m_handle = kInvalidSocket;
};

// The client side of one SNTP (version 3) exchange, and the setting of the
// clock with the right that it needs. One object is used by one thread at a
// time; separate objects may run in parallel.
class CSNTPClient {
public:
    static constexpr uint32_t kDefaultReceiveTimeoutMs = 5000;

    // receiveTimeoutMs: how long Query waits for a reply. The program always
    // uses the default; tests shorten it.
    CSNTPClient(SystemClock& clock, TimePrivilege& privilege,
                uint32_t receiveTimeoutMs = kDefaultReceiveTimeoutMs);
    virtual ~CSNTPClient();
    CSNTPClient(const CSNTPClient&) = delete;
    CSNTPClient& operator=(const CSNTPClient&) = delete;

    // One exchange with host (a name, looked up over IPv4, or a dotted IPv4
    // address; "255.255.255.255" is looked up as a name) on the given UDP port.
    // True with every field of reply filled. False with the reason in the last
    // error: kErrorTimedOut when no reply came within the receive time-out,
    // kErrorHostNotFound / kErrorTryAgain / kErrorNoRecovery from the name
    // lookup, an errno from the socket calls (ECONNREFUSED when nothing listens),
    // ENODATA for an empty datagram. Never touches the clock.
    bool Query(const std::string& host, CSNTPReply& reply, uint16_t port);

    // Sets the UTC clock to the timestamp with its full precision, with the
    // right raised for this one call and cleared after it on every path. False
    // with the reason in the last error; the clock is left alone when the right
    // cannot be raised.
    bool SetSystemClock(const CSNTPTimestamp& utc);
    // True when setting the clock may be tried: the right is raised, or the
    // system has no capabilities at all (the last error then reads 0).
    bool EnableSystemTimePrivilege();
    // Clears the right when EnableSystemTimePrivilege tried to raise it. Keeps
    // the last error.
    void DisableSystemTimePrivilege();

    uint32_t ReceiveTimeoutMs() const { return m_receiveTimeoutMs; }

private:
    SystemClock& m_clock;
    TimePrivilege& m_privilege;
    const uint32_t m_receiveTimeoutMs;
    bool m_privilegeRaised = false;
};
