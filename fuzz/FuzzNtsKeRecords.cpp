// Any bytes a key-establishment server can send, through the record parser and
// the judgement of the answer.

#include <cstddef>
#include <cstdint>

#include "core/NtsCodec.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    NtsKeResponse response;
    const NtsKeParse parse = ParseNtsKeResponse(data, size, response);
    FUZZ_CHECK(response.cookies.size() <= NtsKe::kMaxCookies);
    for (const NtsBytes& cookie : response.cookies) {
        FUZZ_CHECK(!cookie.empty() && cookie.size() <= 65535);
    }
    for (const char c : response.server) {
        FUZZ_CHECK(c > 0x20 && c < 0x7F);
    }
    FUZZ_CHECK(!response.port || *response.port != 0);
    if (parse != NtsKeParse::Complete) {
        return 0;
    }
    // A usable answer names exactly what the client asked for and brings a cookie.
    if (JudgeNtsKeResponse(response) == NtsKeProblem::None) {
        FUZZ_CHECK(!response.error && !response.warning && !response.cookies.empty());
        FUZZ_CHECK(response.aeads.size() == 1 && response.aeads[0] == NtsKe::kAeadAesSivCmac256);
    }
    // What follows the end of the message changes nothing.
    NtsBytes longer(data, data + size);
    longer.push_back(0x80);
    NtsKeResponse again;
    FUZZ_CHECK(ParseNtsKeResponse(longer.data(), longer.size(), again) == NtsKeParse::Complete);
    FUZZ_CHECK(again.cookies == response.cookies && again.server == response.server);
    return 0;
}
