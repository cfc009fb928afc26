// A datagram received for an authenticated request, through the judgement the
// client passes every one through. The first byte chooses the form: even, the
// rest is the datagram as it came; odd, the rest is a header and the plaintext
// of a reply built and sealed here with the right key, so that the opened
// fields are fuzzed too.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/NtsClient.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace NtsField;
    static const NtsBytes uid(kUniqueIdBytes, 0x11);
    static const NtsBytes key(NtsKe::kKeyBytes, 0x42);
    if (size == 0) {
        return 0;
    }
    const bool sealed = (data[0] & 1) != 0;
    ++data;
    --size;
    std::vector<NtsBytes> cookies;
    if (!sealed) {
        const NtsVerdict verdict = JudgeDatagram(data, size, uid, key, cookies);
        // Without the key nothing verifies, and only a sound reply gives cookies.
        FUZZ_CHECK(verdict != NtsVerdict::Sound);
        FUZZ_CHECK(cookies.empty());
        return 0;
    }
    if (size < kHeaderBytes) {
        return 0;
    }
    NtsBytes packet(data, data + kHeaderBytes);
    packet[ntp::kFlagsOffset] = ntp::Flags(0, 4, ntp::kModeServer);
    AppendExtensionField(packet, kUniqueIdentifier, uid.data(), uid.size());
    const NtsBytes plaintext(data + kHeaderBytes, data + size);
    const NtsBytes nonce(kNonceBytes, 0x07);
    NtsBytes ciphertext;
    FUZZ_CHECK(NtsSeal(key, packet.data(), packet.size(), nonce, plaintext, ciphertext));
    const NtsBytes auth = EncodeAuthenticatorBody(nonce, ciphertext);
    // A field's length is 16 bits: a longer plaintext cannot be carried.
    if (auth.size() + 4 > 0xffff) {
        return 0;
    }
    AppendExtensionField(packet, kAuthenticator, auth.data(), auth.size());
    FUZZ_CHECK(JudgeDatagram(packet.data(), packet.size(), uid, key, cookies) == NtsVerdict::Sound);
    FUZZ_CHECK(cookies.size() <= NtsKe::kMaxCookies);
    FUZZ_CHECK(std::all_of(cookies.begin(), cookies.end(), [](const NtsBytes& c) { return !c.empty(); }));
    // A wrong identifier makes the same reply a stray.
    const NtsBytes other(kUniqueIdBytes, 0x12);
    std::vector<NtsBytes> none;
    FUZZ_CHECK(JudgeDatagram(packet.data(), packet.size(), other, key, none) == NtsVerdict::Stray);
    FUZZ_CHECK(none.empty());
    return 0;
}
