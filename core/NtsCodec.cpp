#include "core/NtsCodec.h"

#include <arpa/inet.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

namespace {

uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void Append16(NtsBytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

std::size_t Padded4(std::size_t n) {
    return (n + 3) & ~static_cast<std::size_t>(3);
}

bool ParsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const unsigned long value = std::stoul(text);
    if (value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// A body of 16-bit numbers (protocols, algorithms): false for an odd length.
bool ReadList(const uint8_t* body, std::size_t length, std::vector<uint16_t>& list) {
    if (length % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < length; i += 2) {
        list.push_back(Read16(body + i));
    }
    return true;
}

struct MacDeleter {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// AES-CMAC of data under a 16-byte key.
bool Cmac(const uint8_t* key, const uint8_t* data, std::size_t size, uint8_t out[16]) {
    std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr));
    if (!mac) {
        return false;
    }
    std::unique_ptr<EVP_MAC_CTX, MacDeleter> ctx(EVP_MAC_CTX_new(mac.get()));
    char cipherName[] = "AES-128-CBC";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipherName, 0),
        OSSL_PARAM_construct_end(),
    };
    std::size_t written = 0;
    return ctx && EVP_MAC_init(ctx.get(), key, 16, params) == 1 &&
           EVP_MAC_update(ctx.get(), data, size) == 1 && EVP_MAC_final(ctx.get(), out, &written, 16) == 1 &&
           written == 16;
}

// Doubling in GF(2^128) as S2V defines it.
void Double(uint8_t block[16]) {
    const bool carry = (block[0] & 0x80) != 0;
    for (int i = 0; i < 15; ++i) {
        block[i] = static_cast<uint8_t>(block[i] << 1 | block[i + 1] >> 7);
    }
    block[15] = static_cast<uint8_t>(block[15] << 1);
    if (carry) {
        block[15] ^= 0x87;
    }
}

// One call of the library's AES-128-SIV, which handles a non-empty plaintext
// only (with nothing to encrypt it computes no tag).
bool LibrarySiv(bool encrypt, const NtsBytes& key, const uint8_t* ad, std::size_t adSize,
                const uint8_t* nonce, std::size_t nonceSize, const uint8_t* in, std::size_t inSize,
                uint8_t* out, uint8_t tag[16]) {
    std::unique_ptr<EVP_CIPHER, MacDeleter> cipher(EVP_CIPHER_fetch(nullptr, "AES-128-SIV", nullptr));
    if (!cipher) {
        return false;
    }
    std::unique_ptr<EVP_CIPHER_CTX, MacDeleter> ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!ctx ||
        EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.data(), nullptr, encrypt ? 1 : 0, nullptr) != 1) {
        return false;
    }
    if (!encrypt && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag) != 1) {
        return false;
    }
    // Each update without output is one associated-data string.
    if (EVP_CipherUpdate(ctx.get(), nullptr, &length, ad, static_cast<int>(adSize)) != 1 ||
        EVP_CipherUpdate(ctx.get(), nullptr, &length, nonce, static_cast<int>(nonceSize)) != 1 ||
        EVP_CipherUpdate(ctx.get(), out, &length, in, static_cast<int>(inSize)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out + length, &length) != 1) {
        return false;
    }
    return !encrypt || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, tag) == 1;
}

}  // namespace

bool IsNtsHost(const std::string& host) {
    static constexpr char kScheme[] = "nts://";
    if (host.size() < sizeof kScheme - 1) {
        return false;
    }
    for (std::size_t i = 0; i + 1 < sizeof kScheme; ++i) {
        if (static_cast<char>(std::tolower(static_cast<unsigned char>(host[i]))) != kScheme[i]) {
            return false;
        }
    }
    return true;
}

const char* NtsMark(const std::string& host) {
    return IsNtsHost(host) ? " NTS" : "";
}

std::optional<NtsHost> ParseNtsHost(const std::string& host) {
    if (!IsNtsHost(host)) {
        return std::nullopt;
    }
    std::string rest = host.substr(6);
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    NtsHost parsed;
    std::string portText;
    bool hasPort = false;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            return std::nullopt;
        }
        parsed.name = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                return std::nullopt;
            }
            hasPort = true;
            portText = after.substr(1);
        }
        in6_addr address{};
        if (inet_pton(AF_INET6, parsed.name.c_str(), &address) != 1) {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = rest.find(':');
        parsed.name = rest.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            portText = rest.substr(colon + 1);
        }
    }
    if (parsed.name.empty() || (hasPort && !ParsePort(portText, parsed.port))) {
        return std::nullopt;
    }
    // Blanks, control characters, slashes and "@" have no place in a host name.
    for (const char c : parsed.name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '/' || c == '@' || c == '[' || c == ']') {
            return std::nullopt;
        }
    }
    return parsed;
}

NtsBytes EncodeNtsKeRequest() {
    using namespace NtsKe;
    NtsBytes out;
    Append16(out, kCriticalBit | kNextProtocol);
    Append16(out, 2);
    Append16(out, kProtocolNtpV4);
    Append16(out, kCriticalBit | kAeadAlgorithm);
    Append16(out, 2);
    Append16(out, kAeadAesSivCmac256);
    Append16(out, kCriticalBit | kEndOfMessage);
    Append16(out, 0);
    return out;
}

NtsKeParse ParseNtsKeResponse(const uint8_t* data, std::size_t size, NtsKeResponse& response) {
    using namespace NtsKe;
    response = NtsKeResponse{};
    std::size_t at = 0;
    while (at < size) {
        if (at >= kMaxResponseBytes) {
            return NtsKeParse::Malformed;
        }
        if (size - at < 4) {
            return NtsKeParse::NeedMore;
        }
        const uint16_t typeWord = Read16(data + at);
        const uint16_t length = Read16(data + at + 2);
        if (size - at - 4 < length) {
            return at + 4 + length > kMaxResponseBytes ? NtsKeParse::Malformed : NtsKeParse::NeedMore;
        }
        const uint8_t* body = data + at + 4;
        at += 4 + std::size_t{length};
        const bool critical = (typeWord & kCriticalBit) != 0;
        switch (typeWord & ~kCriticalBit) {
            case kEndOfMessage:
                return length == 0 ? NtsKeParse::Complete : NtsKeParse::Malformed;
            case kNextProtocol:
                response.protocolSeen = true;
                if (!ReadList(body, length, response.protocols)) {
                    return NtsKeParse::Malformed;
                }
                break;
            case kAeadAlgorithm:
                response.aeadSeen = true;
                if (!ReadList(body, length, response.aeads)) {
                    return NtsKeParse::Malformed;
                }
                break;
            case kError:
            case kWarning: {
                if (length != 2) {
                    return NtsKeParse::Malformed;
                }
                auto& slot = (typeWord & ~kCriticalBit) == kError ? response.error : response.warning;
                if (!slot) {
                    slot = Read16(body);
                }
                break;
            }
            case kNewCookie:
                if (length == 0) {
                    return NtsKeParse::Malformed;
                }
                if (response.cookies.size() < kMaxCookies) {
                    response.cookies.emplace_back(body, body + length);
                }
                break;
            case kServer:
                // A name or an address in ASCII: nothing else may reach the resolver.
                if (length == 0 ||
                    !std::all_of(body, body + length, [](uint8_t c) { return c > 0x20 && c < 0x7F; })) {
                    return NtsKeParse::Malformed;
                }
                response.server.assign(reinterpret_cast<const char*>(body), length);
                break;
            case kPort:
                if (length != 2 || Read16(body) == 0) {
                    return NtsKeParse::Malformed;
                }
                response.port = Read16(body);
                break;
            default:
                if (critical && !response.unknownCritical) {
                    response.unknownCritical = static_cast<uint16_t>(typeWord & ~kCriticalBit);
                }
                break;
        }
    }
    return NtsKeParse::NeedMore;
}

NtsKeProblem JudgeNtsKeResponse(const NtsKeResponse& response) {
    if (response.error) {
        return NtsKeProblem::ServerError;
    }
    if (response.warning) {
        return NtsKeProblem::ServerWarning;
    }
    if (response.unknownCritical) {
        return NtsKeProblem::UnknownCritical;
    }
    if (response.protocols != std::vector<uint16_t>{NtsKe::kProtocolNtpV4}) {
        return NtsKeProblem::NoProtocol;
    }
    if (response.aeads != std::vector<uint16_t>{NtsKe::kAeadAesSivCmac256}) {
        return NtsKeProblem::NoAlgorithm;
    }
    if (response.cookies.empty()) {
        return NtsKeProblem::NoCookie;
    }
    return NtsKeProblem::None;
}

void AppendExtensionField(NtsBytes& packet, uint16_t type, const uint8_t* body, std::size_t size) {
    const std::size_t length = std::max<std::size_t>(16, 4 + Padded4(size));
    Append16(packet, type);
    Append16(packet, static_cast<uint16_t>(length));
    if (size > 0) {
        packet.insert(packet.end(), body, body + size);
    }
    packet.resize(packet.size() + length - 4 - size, 0);
}

bool ParseExtensionFields(const uint8_t* data, std::size_t size, std::vector<NtsExtensionField>& fields) {
    fields.clear();
    std::size_t at = 0;
    while (at < size) {
        if (size - at < 4) {
            return false;
        }
        NtsExtensionField field;
        field.type = Read16(data + at);
        field.length = Read16(data + at + 2);
        if (field.length < 4 || field.length % 4 != 0 || field.length > size - at) {
            return false;
        }
        field.offset = at;
        field.body = data + at + 4;
        field.bodyLength = field.length - 4;
        fields.push_back(field);
        at += field.length;
    }
    return true;
}

bool ParseAuthenticator(const NtsExtensionField& field, NtsAuthenticatorBody& out) {
    if (field.bodyLength < 4) {
        return false;
    }
    out.nonceLength = Read16(field.body);
    out.ciphertextLength = Read16(field.body + 2);
    const std::size_t nonceEnd = 4 + Padded4(out.nonceLength);
    if (nonceEnd > field.bodyLength || Padded4(out.ciphertextLength) > field.bodyLength - nonceEnd) {
        return false;
    }
    out.nonce = field.body + 4;
    out.ciphertext = field.body + nonceEnd;
    return true;
}

NtsBytes EncodeAuthenticatorBody(const NtsBytes& nonce, const NtsBytes& ciphertext) {
    NtsBytes body;
    Append16(body, static_cast<uint16_t>(nonce.size()));
    Append16(body, static_cast<uint16_t>(ciphertext.size()));
    body.insert(body.end(), nonce.begin(), nonce.end());
    body.resize(4 + Padded4(nonce.size()), 0);
    body.insert(body.end(), ciphertext.begin(), ciphertext.end());
    body.resize(4 + Padded4(nonce.size()) + Padded4(ciphertext.size()), 0);
    return body;
}

bool NtsS2V(const uint8_t* key, const std::vector<NtsBytes>& associated, const NtsBytes& plaintext,
            uint8_t iv[16]) {
    uint8_t d[16];
    uint8_t mac[16];
    const uint8_t zero[16] = {};
    if (!Cmac(key, zero, sizeof zero, d)) {
        return false;
    }
    for (const NtsBytes& string : associated) {
        if (!Cmac(key, string.data(), string.size(), mac)) {
            return false;
        }
        Double(d);
        for (int i = 0; i < 16; ++i) {
            d[i] ^= mac[i];
        }
    }
    NtsBytes last;
    if (plaintext.size() >= 16) {
        // The plaintext with D folded into its last 16 bytes.
        last = plaintext;
        for (std::size_t i = 0; i < 16; ++i) {
            last[last.size() - 16 + i] ^= d[i];
        }
    } else {
        Double(d);
        last.assign(d, d + 16);
        for (std::size_t i = 0; i < plaintext.size(); ++i) {
            last[i] ^= plaintext[i];
        }
        last[plaintext.size()] ^= 0x80;
    }
    return Cmac(key, last.data(), last.size(), iv);
}

bool NtsSeal(const NtsBytes& key, const uint8_t* ad, std::size_t adSize, const NtsBytes& nonce,
             const NtsBytes& plaintext, NtsBytes& ciphertext) {
    if (key.size() != NtsKe::kKeyBytes) {
        return false;
    }
    ciphertext.assign(NtsField::kTagBytes + plaintext.size(), 0);
    if (plaintext.empty()) {
        // Nothing to encrypt: the ciphertext is the IV alone.
        return NtsS2V(key.data(), {NtsBytes(ad, ad + adSize), nonce}, plaintext, ciphertext.data());
    }
    return LibrarySiv(true, key, ad, adSize, nonce.data(), nonce.size(), plaintext.data(), plaintext.size(),
                      ciphertext.data() + NtsField::kTagBytes, ciphertext.data());
}

bool NtsOpen(const NtsBytes& key, const uint8_t* ad, std::size_t adSize, const uint8_t* nonce,
             std::size_t nonceSize, const uint8_t* ciphertext, std::size_t ciphertextSize,
             NtsBytes& plaintext) {
    plaintext.clear();
    if (key.size() != NtsKe::kKeyBytes || ciphertextSize < NtsField::kTagBytes) {
        return false;
    }
    uint8_t tag[16];
    std::memcpy(tag, ciphertext, sizeof tag);
    if (ciphertextSize == NtsField::kTagBytes) {
        uint8_t iv[16];
        return NtsS2V(key.data(), {NtsBytes(ad, ad + adSize), NtsBytes(nonce, nonce + nonceSize)}, {}, iv) &&
               CRYPTO_memcmp(iv, tag, sizeof iv) == 0;
    }
    NtsBytes out(ciphertextSize - NtsField::kTagBytes);
    if (!LibrarySiv(false, key, ad, adSize, nonce, nonceSize, ciphertext + NtsField::kTagBytes, out.size(),
                    out.data(), tag)) {
        return false;
    }
    plaintext = std::move(out);
    return true;
}
