#pragma once

#include <cstddef>
#include <cstdint>

// The SNTP packet as it travels: a 48-byte header, all multi-byte fields
// big-endian, optionally followed by a key identifier and a digest. Everything
// that builds or reads a packet takes its layout from here.
namespace ntp {

// The header every request and reply carries.
constexpr std::size_t kHeaderBytes = 48;
// A reply may add a 4-byte key identifier and a 16-byte digest; nothing past
// them is read.
constexpr std::size_t kMaxReplyBytes = kHeaderBytes + 4 + 16;
// A timestamp on the wire: seconds word, then fraction word.
constexpr std::size_t kTimestampBytes = 8;

// Byte offsets of the header's fields.
constexpr std::size_t kFlagsOffset = 0;  // leap indicator, version, mode
constexpr std::size_t kStratumOffset = 1;
constexpr std::size_t kPollOffset = 2;
constexpr std::size_t kPrecisionOffset = 3;
constexpr std::size_t kRootDelayOffset = 4;
constexpr std::size_t kRootDispersionOffset = 8;
constexpr std::size_t kReferenceIdOffset = 12;
constexpr std::size_t kReferenceTimeOffset = 16;
// The server's echo of the request's transmit timestamp.
constexpr std::size_t kOriginateTimeOffset = 24;
constexpr std::size_t kReceiveTimeOffset = 32;
constexpr std::size_t kTransmitTimeOffset = 40;

// The association modes of the flags byte's low three bits.
enum Mode : uint8_t {
    kModeClient = 3,
    kModeServer = 4,
    kModeBroadcast = 5,
};

// The leap indicator a server sends when its own clock is not synchronised.
constexpr uint8_t kLeapUnsynchronised = 3;
// Stratum 0 in a reply: a kiss-o'-death, the server refuses to serve.
constexpr uint8_t kStratumKissOfDeath = 0;
// The protocol version this client speaks.
constexpr uint8_t kClientVersion = 3;

// The flags byte: leap indicator in bits 7-6, version in bits 5-3, mode in bits 2-0.
constexpr uint8_t Flags(unsigned leap, unsigned version, unsigned mode) {
    return static_cast<uint8_t>((leap & 3) << 6 | (version & 7) << 3 | (mode & 7));
}
constexpr int LeapOf(uint8_t flags) {
    return flags >> 6;
}
constexpr int VersionOf(uint8_t flags) {
    return (flags >> 3) & 7;
}
constexpr int ModeOf(uint8_t flags) {
    return flags & 7;
}

// What a request's first byte holds: no leap warning, version 3, client.
constexpr uint8_t kClientRequestFlags = Flags(0, kClientVersion, kModeClient);
static_assert(kClientRequestFlags == 0x1B);

}  // namespace ntp
