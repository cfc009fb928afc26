#include "core/NtsCodec.h"

#include <gtest/gtest.h>

namespace {

NtsBytes Hex(const std::string& text) {
    NtsBytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

TEST(NtsCodecTest, HostForms) {
    struct Case {
        const char* text;
        bool valid;
        const char* name;
        uint16_t port;
    };
    const Case cases[] = {
        {"nts://time.example.org", true, "time.example.org", 4460},
        {"NTS://time.example.org:4461", true, "time.example.org", 4461},
        {"nts://127.0.0.1:1/", true, "127.0.0.1", 1},
        {"nts://[::1]", true, "::1", 4460},
        {"nts://[::1]:65535", true, "::1", 65535},
        {"time.example.org", false, "", 0},
        {"nts://", false, "", 0},
        {"nts://:4460", false, "", 0},
        {"nts://host:0", false, "", 0},
        {"nts://host:65536", false, "", 0},
        {"nts://host:12a", false, "", 0},
        {"nts://host:", false, "", 0},
        {"nts://[::1", false, "", 0},
        {"nts://[nothost]:4460", false, "", 0},
        {"nts://user@host", false, "", 0},
        {"nts://ho st", false, "", 0},
        {"nts://host/path", false, "", 0},
    };
    for (const Case& c : cases) {
        const auto parsed = ParseNtsHost(c.text);
        ASSERT_EQ(parsed.has_value(), c.valid) << c.text;
        EXPECT_EQ(IsNtsHost(c.text), std::string(c.text) != "time.example.org") << c.text;
        if (parsed) {
            EXPECT_EQ(parsed->name, c.name) << c.text;
            EXPECT_EQ(parsed->port, c.port) << c.text;
        }
    }
}

TEST(NtsCodecTest, KeyEstablishmentResponses) {
    const std::string good =
        "800100020000"
        "800400020"
        "00f"
        "0005000461626364"
        "000600096c6f63616c686f7374"
        "000700020401"
        "80000000";
    struct Case {
        std::string hex;
        NtsKeParse parse;
        NtsKeProblem problem;
    };
    const Case cases[] = {
        {good, NtsKeParse::Complete, NtsKeProblem::None},
        {good + "deadbeef", NtsKeParse::Complete, NtsKeProblem::None},  // bytes after the end are ignored
        {good.substr(0, good.size() - 2), NtsKeParse::NeedMore, NtsKeProblem::None},
        {"80010002", NtsKeParse::NeedMore, NtsKeProblem::None},
        {"800100020000"
         "8004000200"
         "0f80000000",
         NtsKeParse::Complete, NtsKeProblem::NoCookie},
        {"800100020001"
         "80040002000f"
         "000500010a"
         "80000000",
         NtsKeParse::Complete, NtsKeProblem::NoProtocol},
        {"800100020000"
         "800400020001"
         "000500010a"
         "80000000",
         NtsKeParse::Complete, NtsKeProblem::NoAlgorithm},
        {"800100020000"
         "000500010a"
         "80000000",
         NtsKeParse::Complete, NtsKeProblem::NoAlgorithm},
        {"800200020001"
         "80000000",
         NtsKeParse::Complete, NtsKeProblem::ServerError},
        {"000300020007"
         "80000000",
         NtsKeParse::Complete, NtsKeProblem::ServerWarning},
        {"c000000080000000", NtsKeParse::Complete, NtsKeProblem::UnknownCritical},
        {"800100030000ff80000000", NtsKeParse::Malformed, NtsKeProblem::None},  // odd protocol list
        {"8002000100"
         "80000000",
         NtsKeParse::Malformed, NtsKeProblem::None},
        {"00070002000080000000", NtsKeParse::Malformed, NtsKeProblem::None},  // port 0
        {"0006000261200000"
         "80000000",
         NtsKeParse::Malformed, NtsKeProblem::None},                  // blank in the name
        {"000500008000", NtsKeParse::Malformed, NtsKeProblem::None},  // empty cookie
        {"8000000100", NtsKeParse::Malformed, NtsKeProblem::None},
    };
    for (const Case& c : cases) {
        const NtsBytes bytes = Hex(c.hex);
        NtsKeResponse response;
        ASSERT_EQ(ParseNtsKeResponse(bytes.data(), bytes.size(), response), c.parse) << c.hex;
        if (c.parse == NtsKeParse::Complete) {
            EXPECT_EQ(JudgeNtsKeResponse(response), c.problem) << c.hex;
        }
    }
    const NtsBytes bytes = Hex(good);
    NtsKeResponse response;
    ParseNtsKeResponse(bytes.data(), bytes.size(), response);
    EXPECT_EQ(response.cookies, std::vector<NtsBytes>{Hex("61626364")});
    EXPECT_EQ(response.server, "localhost");
    EXPECT_EQ(response.port, 1025);

    // The request is one that this parser reads as NTPv4 with AES-SIV.
    const NtsBytes request = EncodeNtsKeRequest();
    ASSERT_EQ(ParseNtsKeResponse(request.data(), request.size(), response), NtsKeParse::Complete);
    EXPECT_EQ(JudgeNtsKeResponse(response), NtsKeProblem::NoCookie);
}

TEST(NtsCodecTest, ExtensionFields) {
    NtsBytes packet;
    const uint8_t id[5] = {1, 2, 3, 4, 5};
    AppendExtensionField(packet, NtsField::kUniqueIdentifier, id, sizeof id);
    AppendExtensionField(packet, NtsField::kCookie, id, 0);
    const NtsBytes auth = EncodeAuthenticatorBody(NtsBytes(3, 7), NtsBytes(17, 9));
    AppendExtensionField(packet, NtsField::kAuthenticator, auth.data(), auth.size());
    std::vector<NtsExtensionField> fields;
    ASSERT_TRUE(ParseExtensionFields(packet.data(), packet.size(), fields));
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0].length, 16u);  // short bodies padded to the 16-byte minimum
    EXPECT_EQ(fields[1].offset, 16u);
    EXPECT_EQ(fields[2].length, 4u + 4 + 4 + 20);
    NtsAuthenticatorBody body;
    ASSERT_TRUE(ParseAuthenticator(fields[2], body));
    EXPECT_EQ(body.nonceLength, 3u);
    EXPECT_EQ(body.ciphertextLength, 17u);
    EXPECT_EQ(body.ciphertext[16], 9);

    for (const char* bad : {"01040003", "0104000800", "010400100000", "0104000a00000000000000", "00"}) {
        const NtsBytes bytes = Hex(bad);
        EXPECT_FALSE(ParseExtensionFields(bytes.data(), bytes.size(), fields)) << bad;
    }
    // Lengths inside the authenticator that run past its body.
    NtsExtensionField field{NtsField::kAuthenticator, 0, 12, nullptr, 8};
    const NtsBytes overlong = Hex("0010001000000000");
    field.body = overlong.data();
    EXPECT_FALSE(ParseAuthenticator(field, body));
}

TEST(NtsCodecTest, AesSivMatchesTheKnownVectorAndRefusesTampering) {
    // The deterministic vector of the AES-SIV definition: one associated string.
    const NtsBytes key = Hex("fffefdfcfbfaf9f8f7f6f5f4f3f2f1f0f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    const NtsBytes ad = Hex("101112131415161718191a1b1c1d1e1f2021222324252627");
    const NtsBytes plaintext = Hex("112233445566778899aabbccddee");
    uint8_t iv[16];
    ASSERT_TRUE(NtsS2V(key.data(), {ad}, plaintext, iv));
    EXPECT_EQ(NtsBytes(iv, iv + 16), Hex("85632d07c6e8f37f950acd320a2ecc93"));

    const NtsBytes nonce(16, 0x5a);
    for (const NtsBytes& text : {NtsBytes{}, plaintext, NtsBytes(40, 0xc3)}) {
        NtsBytes sealed;
        ASSERT_TRUE(NtsSeal(key, ad.data(), ad.size(), nonce, text, sealed));
        ASSERT_EQ(sealed.size(), text.size() + 16);
        NtsBytes opened;
        ASSERT_TRUE(NtsOpen(key, ad.data(), ad.size(), nonce.data(), nonce.size(), sealed.data(),
                            sealed.size(), opened));
        EXPECT_EQ(opened, text);
        // Any flipped bit, in the sealed text, the associated data or the nonce, is refused.
        for (std::size_t i : {std::size_t{0}, sealed.size() - 1}) {
            NtsBytes flipped = sealed;
            flipped[i] ^= 1;
            EXPECT_FALSE(NtsOpen(key, ad.data(), ad.size(), nonce.data(), nonce.size(), flipped.data(),
                                 flipped.size(), opened));
        }
        NtsBytes otherAd = ad;
        otherAd[3] ^= 0x80;
        EXPECT_FALSE(NtsOpen(key, otherAd.data(), otherAd.size(), nonce.data(), nonce.size(), sealed.data(),
                             sealed.size(), opened));
        EXPECT_FALSE(
            NtsOpen(key, ad.data(), ad.size(), nonce.data(), 15, sealed.data(), sealed.size(), opened));
    }
}

}  // namespace
