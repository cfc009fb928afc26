#pragma once

#include <string>

#include "core/SntpClient.h"

// Whether an SNTP reply may be trusted to say the time, and if not, why not.
// Every exchange is judged by this one function, whoever made it.

constexpr int kFirstPlausibleYear = 2004;
constexpr int kLastPlausibleYear = 2036;

enum class ReplyRejection {
    None,
    // The mode is not the server's: the datagram is no server's reply.
    NotServerMode,
    // The originate timestamp is not the transmit timestamp the request carried:
    // a stale, stray or forged datagram.
    OriginateMismatch,
    // Stratum 0: a kiss-o'-death, the server refuses to serve.
    KissOfDeath,
    // Leap indicator 3: the server says its own clock is not synchronised.
    ServerUnsynchronised,
    // The transmit timestamp is zero (a reply cut short before it).
    TransmitZero,
    // The receive or transmit timestamp names a year outside 2004 to 2036.
    ReceiveYearImplausible,
    TransmitYearImplausible,
};

struct ReplyVerdict {
    ReplyRejection rejection = ReplyRejection::None;
    // One English line for a person, empty when the reply is accepted.
    std::string reason;

    bool Accepted() const { return rejection == ReplyRejection::None; }
};

// The first reason, in the order of the enumeration, that the reply fails; the
// version is not judged, as servers answer 3 or 4. Reads nothing but the reply.
ReplyVerdict CheckReply(const CSNTPReply& reply);
