#include "platform/ClockSetter.h"

#include <sys/capability.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/LastError.h"
#include "tests/support/FakeClock.h"

// The direct setter sets the clock only for a thread that already holds
// CAP_SYS_TIME in effect (as root does), and never raises it. Capabilities
// belong to a thread: each case runs on one of its own, and the clock set is
// a fake one.
TEST(ClockSetterTest, TheDirectSetterSetsOnlyWithTheRightInEffect) {
    for (const bool dropRight : {false, true}) {
        std::thread([dropRight] {
            if (dropRight) {
                cap_t caps = cap_get_proc();
                const cap_value_t timeCap[] = {CAP_SYS_TIME};
                cap_set_flag(caps, CAP_EFFECTIVE, 1, timeCap, CAP_CLEAR);
                ASSERT_EQ(cap_set_proc(caps), 0);
                cap_free(caps);
            } else if (!HoldsClockRight()) {
                GTEST_SKIP() << "this process does not hold CAP_SYS_TIME";
            }
            FakeClock clock(ClockTime{1800000000, 0});
            DirectClockSetter setter(clock);
            const bool expected = !dropRight;
            SetLastError(0);
            EXPECT_EQ(setter.MayTry(), expected);
            EXPECT_EQ(setter.SetClock({1800000003, 5}, {}), expected);
            EXPECT_EQ(GetLastError(), expected ? 0u : static_cast<uint32_t>(EPERM));
            EXPECT_EQ(clock.Now(), (expected ? ClockTime{1800000003, 5} : ClockTime{1800000000, 0}));
            EXPECT_EQ(HoldsClockRight(), expected);
        }).join();
    }
}
