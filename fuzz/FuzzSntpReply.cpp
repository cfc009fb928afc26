// Any datagram a peer can send, 0 to 1024 bytes, through the reply decoding and
// what the synchronisation then computes from it.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/NtpWire.h"
#include "core/ReplyCheck.h"
#include "core/SntpClient.h"
#include "core/SntpTimestamp.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 1024) {
        return -1;
    }
    // The request carried a random value and left at 2024-01-01 00:00:00 UTC
    // plus a fraction; the reply was seen 50 ms later.
    const CSNTPTimestamp carried(0x9E3779B97F4A7C15u);
    const CSNTPTimestamp sent(3913056000u, 0x12345678u);
    const CSNTPTimestamp destination = sent.AddSeconds(0.05);

    CSNTPReply reply{};
    const bool decoded = DecodeReply(data, size, carried, sent, destination, reply);
    FUZZ_CHECK(decoded == (size >= ntp::kHeaderBytes));
    if (!decoded) {
        return 0;
    }
    FUZZ_CHECK(reply.leapIndicator >= 0 && reply.leapIndicator <= 3);
    FUZZ_CHECK(reply.stratum >= 0 && reply.stratum <= 255);
    FUZZ_CHECK(reply.sentTransmitTime == carried && reply.sendTime == sent &&
               reply.destinationTime == destination);
    FUZZ_CHECK(std::isfinite(reply.roundTripDelaySeconds));
    FUZZ_CHECK(std::isfinite(reply.localClockOffsetSeconds));

    // Every datagram gets a verdict; an accepted one answers this request and
    // dates from the years the clock may be set to.
    const ReplyVerdict verdict = CheckReply(reply);
    FUZZ_CHECK(verdict.Accepted() == verdict.reason.empty());
    if (verdict.Accepted()) {
        FUZZ_CHECK(reply.originateTime == carried && reply.mode == ntp::kModeServer &&
                   reply.stratum != ntp::kStratumKissOfDeath);
        const unsigned receiveYear = reply.receiveTime.ToSystemTime().wYear;
        FUZZ_CHECK(receiveYear >= 2004 && receiveYear <= 2036);
    }

    // The clock is set to the destination time moved by the offset; the time
    // shown and recorded is its calendar form.
    const CSNTPTimestamp corrected = destination.AddSeconds(reply.localClockOffsetSeconds);
    const ClockTime clock = corrected.ToClockTime();
    FUZZ_CHECK(clock.nanoseconds >= 0 && clock.nanoseconds < 1000000000);
    FUZZ_CHECK(CSNTPTimestamp::FromClockTime(clock).Seconds() == corrected.Seconds() ||
               CSNTPTimestamp::FromClockTime(clock).Seconds() == corrected.Seconds() + 1);
    for (const CSNTPTimestamp& t : {reply.originateTime, reply.receiveTime, reply.transmitTime, corrected}) {
        const SYSTEMTIME st = t.ToSystemTime();
        FUZZ_CHECK(st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 && st.wDay <= 31);
        FUZZ_CHECK(st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000);
        FUZZ_CHECK(st.wDayOfWeek < 7);
    }
    return 0;
}
