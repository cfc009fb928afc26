#include "core/ReplyCheck.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

CSNTPTimestamp At(const SYSTEMTIME& utc) {
    return CSNTPTimestamp::FromSystemTime(utc);
}

// What a sound server sends back at 2026-12-06 14:05:30.
CSNTPReply SoundReply() {
    CSNTPReply reply{};
    reply.leapIndicator = 0;
    reply.version = 3;
    reply.mode = 4;
    reply.stratum = 2;
    reply.sentTransmitTime = At({2026, 12, 0, 6, 14, 5, 30, 0});
    reply.originateTime = reply.sentTransmitTime;
    reply.receiveTime = At({2026, 12, 0, 6, 14, 5, 30, 400});
    reply.transmitTime = At({2026, 12, 0, 6, 14, 5, 30, 401});
    reply.destinationTime = At({2026, 12, 0, 6, 14, 5, 30, 10});
    return reply;
}

}  // namespace

TEST(ReplyCheckTest, EachFaultIsRejectedWithItsReason) {
    using R = ReplyRejection;
    struct Row {
        const char* name;
        std::function<void(CSNTPReply&)> change;
        ReplyRejection expected;
    };
    const Row rows[] = {
        {"sound", [](CSNTPReply&) {}, R::None},
        {"version 4", [](CSNTPReply& r) { r.version = 4; }, R::None},
        {"version 1", [](CSNTPReply& r) { r.version = 1; }, R::None},
        {"leap 1 and 2", [](CSNTPReply& r) { r.leapIndicator = 2; }, R::None},
        {"stratum 15", [](CSNTPReply& r) { r.stratum = 15; }, R::None},
        {"mode 3 (client)", [](CSNTPReply& r) { r.mode = 3; }, R::NotServerMode},
        {"mode 5 (broadcast)", [](CSNTPReply& r) { r.mode = 5; }, R::NotServerMode},
        {"all zeros", [](CSNTPReply& r) { r = CSNTPReply{}; }, R::NotServerMode},
        {"originate one unit off",
         [](CSNTPReply& r) { r.originateTime = CSNTPTimestamp(r.originateTime.Value() + 1); },
         R::OriginateMismatch},
        {"originate zero", [](CSNTPReply& r) { r.originateTime = {}; }, R::OriginateMismatch},
        {"stratum 0", [](CSNTPReply& r) { r.stratum = 0; }, R::KissOfDeath},
        {"leap 3", [](CSNTPReply& r) { r.leapIndicator = 3; }, R::ServerUnsynchronised},
        {"transmit zero", [](CSNTPReply& r) { r.transmitTime = {}; }, R::TransmitZero},
        {"receive zero (1900)", [](CSNTPReply& r) { r.receiveTime = {}; }, R::ReceiveYearImplausible},
        {"receive 2003-12-31 23:59:59",
         [](CSNTPReply& r) {
             r.receiveTime = At({2003, 12, 0, 31, 23, 59, 59, 999});
         },
         R::ReceiveYearImplausible},
        {"receive 2004-01-01 00:00:00",
         [](CSNTPReply& r) {
             r.receiveTime = At({2004, 1, 0, 1});
         },
         R::None},
        {"receive at the end of the era (2036)",
         [](CSNTPReply& r) { r.receiveTime = CSNTPTimestamp(~uint64_t{0}); }, R::None},
        {"transmit 2037 (wraps to 1901)",
         [](CSNTPReply& r) {
             r.transmitTime = At({2037, 6, 0, 1});
         },
         R::TransmitYearImplausible},
        {"transmit 2003",
         [](CSNTPReply& r) {
             r.transmitTime = At({2003, 6, 0, 1});
         },
         R::TransmitYearImplausible},
    };
    for (const Row& row : rows) {
        CSNTPReply reply = SoundReply();
        row.change(reply);
        const ReplyVerdict verdict = CheckReply(reply);
        EXPECT_EQ(verdict.rejection, row.expected) << row.name;
        EXPECT_EQ(verdict.Accepted(), row.expected == R::None) << row.name;
        EXPECT_EQ(verdict.reason.empty(), row.expected == R::None) << row.name << ": " << verdict.reason;
    }
    CSNTPReply early = SoundReply();
    early.receiveTime = At({2003, 12, 0, 31, 23, 59, 59, 0});
    EXPECT_EQ(CheckReply(early).reason, "receive timestamp in 2003, outside 2004 to 2036");
}
