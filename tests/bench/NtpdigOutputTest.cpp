#include "bench/NtpdigOutput.h"

#include <gtest/gtest.h>

namespace {

// What `ntpdig -d -d -j 127.0.0.1` prints for one accepted reply.
const std::string kAccepted =
    "ntpdig: querying 127.0.0.1 (127.0.0.1)\n"
    "org t1: 1796688714.588872 rec t2: 1796688714.588989\n"
    "xmt t3: 1796688714.589053 dst t4: 1796688714.589164\n"
    "rec-org t21: 0.000117  xmt-dst t34: -0.000111\n"
    "{\"time\":\"2026-12-08T00:11:54.589053+0000\",\"offset\":0.000003,\"precision\":0.000114,"
    "\"host\":\"127.0.0.1\",\"ip\":\"127.0.0.1\",\"stratum\":8,\"leap\":\"no-leap\",\"adjusted\":false}\n";

}  // namespace

TEST(NtpdigOutputTest, OffsetFromTheJsonAndDelayFromTheDebugLine) {
    const auto sample = ParseNtpdigOutput(kAccepted);
    ASSERT_TRUE(sample.has_value());
    EXPECT_DOUBLE_EQ(sample->offsetSeconds, 0.000003);
    EXPECT_NEAR(sample->delaySeconds, 0.000228, 1e-12);

    const auto shifted = ParseNtpdigOutput(
        "rec-org t21: 7200.000120  xmt-dst t34: "
        "7199.999890\n{\"time\":\"x\",\"offset\":7200.000005,\"precision\":0.1}\n");
    ASSERT_TRUE(shifted.has_value());
    EXPECT_DOUBLE_EQ(shifted->offsetSeconds, 7200.000005);
    EXPECT_NEAR(shifted->delaySeconds, 0.00023, 1e-9);
}

// A reply that ntpdig dropped has debug lines but no JSON result; a timed-out
// request has neither. Neither may count as a sample.
TEST(NtpdigOutputTest, NoResultWithoutBothParts) {
    const char* outputs[] = {
        "rec-org t21: 0.000117  xmt-dst t34: -0.000111\nntpdig: 127.0.0.1: Response dropped: leap not in "
        "sync\n",
        "{\"time\":\"x\",\"offset\":0.000003,\"precision\":0.000114}\n",
        "ntpdig: no eligible servers\n",
        "",
    };
    for (const char* output : outputs) {
        EXPECT_FALSE(ParseNtpdigOutput(output).has_value()) << output;
    }
}
