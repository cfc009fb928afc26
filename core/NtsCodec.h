#pragma once

// The wire formats of Network Time Security, free of sockets and TLS: the
// "nts://" host form, the key-establishment records, the NTP extension fields
// that carry cookies and the authenticator, and the AES-SIV sealing of a
// request or a reply. Every parser here takes untrusted bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/NtpWire.h"

using NtsBytes = std::vector<uint8_t>;

// ---- The host form ----

constexpr uint16_t kNtsKeDefaultPort = 4460;
constexpr uint16_t kNtpDefaultPort = 123;

struct NtsHost {
    std::string name;  // a DNS name or an IPv4 or IPv6 address, without brackets
    uint16_t port = kNtsKeDefaultPort;
};

// True when the host text names an NTS server: it starts with "nts://"
// (letters in any case).
bool IsNtsHost(const std::string& host);
// "nts://HOST", "nts://HOST:PORT", "nts://[IPv6]" or "nts://[IPv6]:PORT"; a
// single trailing "/" is allowed. Empty for any other text, for an empty host
// and for a port outside 1 to 65535.
std::optional<NtsHost> ParseNtsHost(const std::string& host);

// " NTS" for an NTS host, empty for any other: the mark that a report of a
// successful exchange with the host carries, as only an authenticated reply
// succeeds with such a host.
const char* NtsMark(const std::string& host);

// ---- Key-establishment records ----

namespace NtsKe {
constexpr uint16_t kEndOfMessage = 0;
constexpr uint16_t kNextProtocol = 1;
constexpr uint16_t kError = 2;
constexpr uint16_t kWarning = 3;
constexpr uint16_t kAeadAlgorithm = 4;
constexpr uint16_t kNewCookie = 5;
constexpr uint16_t kServer = 6;
constexpr uint16_t kPort = 7;
constexpr uint16_t kCriticalBit = 0x8000;

constexpr uint16_t kProtocolNtpV4 = 0;
constexpr uint16_t kAeadAesSivCmac256 = 15;
constexpr std::size_t kKeyBytes = 32;  // one AES-SIV-CMAC-256 key
constexpr std::size_t kMaxCookies = 8;
// A response longer than this is refused rather than buffered.
constexpr std::size_t kMaxResponseBytes = 65536;
}  // namespace NtsKe

// The client's request: NTPv4 as next protocol, AES-SIV-CMAC-256 as the one
// algorithm, end of message.
NtsBytes EncodeNtsKeRequest();

struct NtsKeResponse {
    bool protocolSeen = false;
    std::vector<uint16_t> protocols;
    bool aeadSeen = false;
    std::vector<uint16_t> aeads;
    std::optional<uint16_t> error;
    std::optional<uint16_t> warning;
    std::vector<NtsBytes> cookies;            // at most kMaxCookies kept
    std::string server;                       // empty: the key-establishment host itself
    std::optional<uint16_t> port;             // empty: 123
    std::optional<uint16_t> unknownCritical;  // the first critical record not understood
};

enum class NtsKeParse { NeedMore, Complete, Malformed };

// Reads records from the start of data up to the end-of-message record.
// NeedMore when the bytes end before it, Malformed when a record's body does
// not fit its type (or the bytes go past the size limit). Extra bytes after the
// end of message are ignored. Cookies beyond kMaxCookies are dropped.
NtsKeParse ParseNtsKeResponse(const uint8_t* data, std::size_t size, NtsKeResponse& response);

// The reason a complete response cannot be used, or empty when it can: an
// error or warning record, an unknown critical record, no NTPv4, no common
// algorithm, no cookie. Tested in that order.
enum class NtsKeProblem {
    None,
    ServerError,
    ServerWarning,
    UnknownCritical,
    NoProtocol,
    NoAlgorithm,
    NoCookie
};
NtsKeProblem JudgeNtsKeResponse(const NtsKeResponse& response);

// ---- NTP extension fields ----

namespace NtsField {
constexpr uint16_t kUniqueIdentifier = 0x0104;
constexpr uint16_t kCookie = 0x0204;
constexpr uint16_t kCookiePlaceholder = 0x0304;
constexpr uint16_t kAuthenticator = 0x0404;
constexpr std::size_t kHeaderBytes = ntp::kHeaderBytes;  // the NTP header before the fields
constexpr std::size_t kUniqueIdBytes = 32;
constexpr std::size_t kNonceBytes = 16;
constexpr std::size_t kTagBytes = 16;
}  // namespace NtsField

struct NtsExtensionField {
    uint16_t type = 0;
    std::size_t offset = 0;  // of the field's header within the parsed bytes
    std::size_t length = 0;  // the whole field, header and padding included
    const uint8_t* body = nullptr;
    std::size_t bodyLength = 0;  // length - 4
};

// Appends one field: its body padded with zeros to a multiple of 4, and to at
// least 16 bytes in all.
void AppendExtensionField(NtsBytes& packet, uint16_t type, const uint8_t* body, std::size_t size);

// Splits data (what follows the NTP header) into fields. False when a length
// is below 4, not a multiple of 4, or runs past the end; bytes left over that
// cannot hold a field header make it false too.
bool ParseExtensionFields(const uint8_t* data, std::size_t size, std::vector<NtsExtensionField>& fields);

struct NtsAuthenticatorBody {
    const uint8_t* nonce = nullptr;
    std::size_t nonceLength = 0;
    const uint8_t* ciphertext = nullptr;
    std::size_t ciphertextLength = 0;
};

// The authenticator's body: nonce length, ciphertext length, nonce and
// ciphertext each padded to 4 bytes. False when they do not fit.
bool ParseAuthenticator(const NtsExtensionField& field, NtsAuthenticatorBody& out);
// The body of an authenticator field for a nonce and its ciphertext.
NtsBytes EncodeAuthenticatorBody(const NtsBytes& nonce, const NtsBytes& ciphertext);

// ---- AES-SIV-CMAC-256 ----

// The synthetic IV of a 32-byte key over the associated data strings and the
// plaintext (S2V with the key's first half). Used on its own only by tests.
bool NtsS2V(const uint8_t* key, const std::vector<NtsBytes>& associated, const NtsBytes& plaintext,
            uint8_t iv[16]);
// ciphertext = the 16-byte IV followed by the encrypted plaintext. The
// associated data is ad then nonce. False only when the crypto library fails.
bool NtsSeal(const NtsBytes& key, const uint8_t* ad, std::size_t adSize, const NtsBytes& nonce,
             const NtsBytes& plaintext, NtsBytes& ciphertext);
// The reverse; false when the ciphertext does not verify.
bool NtsOpen(const NtsBytes& key, const uint8_t* ad, std::size_t adSize, const uint8_t* nonce,
             std::size_t nonceSize, const uint8_t* ciphertext, std::size_t ciphertextSize,
             NtsBytes& plaintext);
