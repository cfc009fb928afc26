#pragma once

#include <cstdint>
#include <string>

#include "core/SntpClient.h"

// The reply with the shortest round trip of a few exchanges: one measurement
// can be off by half its round trip, so on a loaded machine the fastest is the
// truest. Its delay reads 1e9 s when no exchange succeeded.
inline CSNTPReply FastestReply(CSNTPClient& client, const std::string& host, uint16_t port,
                               int exchanges = 5) {
    CSNTPReply best{};
    best.roundTripDelaySeconds = 1e9;
    for (int i = 0; i < exchanges; ++i) {
        CSNTPReply reply{};
        if (client.Query(host, reply, port) && reply.roundTripDelaySeconds < best.roundTripDelaySeconds) {
            best = reply;
        }
    }
    return best;
}
