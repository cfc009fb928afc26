// Any bytes after an NTP header, as a server's reply may carry them, through
// the extension-field parser, the authenticator's layout and its opening.

#include <cstddef>
#include <cstdint>

#include "core/NtsCodec.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<NtsExtensionField> fields;
    if (!ParseExtensionFields(data, size, fields)) {
        return 0;
    }
    // The fields tile the input exactly, each inside it.
    std::size_t at = 0;
    for (const NtsExtensionField& field : fields) {
        FUZZ_CHECK(field.offset == at && field.length >= 4 && field.length % 4 == 0);
        FUZZ_CHECK(field.body == data + at + 4 && field.bodyLength == field.length - 4);
        at += field.length;
        NtsAuthenticatorBody auth;
        if (field.type != NtsField::kAuthenticator || !ParseAuthenticator(field, auth)) {
            continue;
        }
        const uint8_t* end = field.body + field.bodyLength;
        FUZZ_CHECK(auth.nonce >= field.body && auth.nonce + auth.nonceLength <= end);
        FUZZ_CHECK(auth.ciphertext >= auth.nonce && auth.ciphertext + auth.ciphertextLength <= end);
        // Without the key nothing opens; the attempt reads only what it was given.
        static const NtsBytes key(NtsKe::kKeyBytes, 0x42);
        NtsBytes plaintext;
        FUZZ_CHECK(!NtsOpen(key, data, field.offset, auth.nonce, auth.nonceLength, auth.ciphertext,
                            auth.ciphertextLength, plaintext) ||
                   plaintext.size() + NtsField::kTagBytes == auth.ciphertextLength);
    }
    FUZZ_CHECK(at == size);
    return 0;
}
