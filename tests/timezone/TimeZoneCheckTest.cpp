#include "timezone/TimeZoneCheck.h"

#include <gtest/gtest.h>

#include "tests/support/FakePrompts.h"
#include "tests/support/FakeTimeZoneStore.h"

namespace {

TEST(TimeZoneCheckTest, ABadZoneIsToldOnceAndLeavesZeros) {
    TIME_ZONE_INFORMATION startZone;
    startZone.Bias = 99;      // what an earlier capture left
    FakeTimeZoneStore store;  // answers TIME_ZONE_ID_INVALID
    FakePrompts prompts;
    CheckTimeZone(store, prompts, startZone);
    EXPECT_EQ(startZone, TIME_ZONE_INFORMATION{});
    ASSERT_EQ(prompts.Count(), 1u);
    EXPECT_EQ(prompts.Shown()[0], (PromptRequest{"Tidewell error", "Bad system time zone information",
                                                 PromptIcon::Warning, PromptButtons::Ok}));
}

TEST(TimeZoneCheckTest, AnyReadableZoneIsTakenSilently) {
    TIME_ZONE_INFORMATION zone;
    zone.Bias = -60;
    zone.StandardDate.wMonth = 14;  // not judged
    for (uint32_t status : {TIME_ZONE_ID_UNKNOWN, TIME_ZONE_ID_STANDARD, TIME_ZONE_ID_DAYLIGHT}) {
        FakeTimeZoneStore store(status, zone);
        FakePrompts prompts;
        TIME_ZONE_INFORMATION startZone;
        CheckTimeZone(store, prompts, startZone);
        EXPECT_EQ(startZone, zone);
        EXPECT_EQ(prompts.Count(), 0u);
    }
}

}  // namespace
