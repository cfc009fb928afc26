#include "core/ReplyCheck.h"

#include "core/NtpWire.h"

namespace {

bool YearPlausible(const CSNTPTimestamp& t, int& year) {
    year = t.ToSystemTime().wYear;
    return year >= kFirstPlausibleYear && year <= kLastPlausibleYear;
}

}  // namespace

ReplyVerdict CheckReply(const CSNTPReply& reply) {
    if (reply.mode != ntp::kModeServer) {
        return {ReplyRejection::NotServerMode,
                "mode " + std::to_string(reply.mode) + ": not a server's reply"};
    }
    if (reply.originateTime != reply.sentTransmitTime) {
        return {ReplyRejection::OriginateMismatch,
                "originate timestamp does not echo the request: a stale or stray reply"};
    }
    if (reply.stratum == ntp::kStratumKissOfDeath) {
        return {ReplyRejection::KissOfDeath, "stratum 0: the server refuses to serve (kiss-o'-death)"};
    }
    if (reply.leapIndicator == ntp::kLeapUnsynchronised) {
        return {ReplyRejection::ServerUnsynchronised,
                "leap indicator 3: the server's clock is not synchronised"};
    }
    if (reply.transmitTime.Value() == 0) {
        return {ReplyRejection::TransmitZero, "transmit timestamp is zero"};
    }
    int year = 0;
    if (!YearPlausible(reply.receiveTime, year)) {
        return {ReplyRejection::ReceiveYearImplausible,
                "receive timestamp in " + std::to_string(year) + ", outside " +
                    std::to_string(kFirstPlausibleYear) + " to " + std::to_string(kLastPlausibleYear)};
    }
    if (!YearPlausible(reply.transmitTime, year)) {
        return {ReplyRejection::TransmitYearImplausible,
                "transmit timestamp in " + std::to_string(year) + ", outside " +
                    std::to_string(kFirstPlausibleYear) + " to " + std::to_string(kLastPlausibleYear)};
    }
    return {};
}
