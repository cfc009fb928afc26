#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(LastErrorTest, TextsNameTheProgramsOwnCodesAndErrnoValues) {
    EXPECT_EQ(LastErrorText(kErrorTimedOut), "timed out");
    EXPECT_EQ(LastErrorText(kErrorHostNotFound), "host not found");
    EXPECT_EQ(LastErrorText(ECONNREFUSED), "Connection refused");
}
