#include "platform/TimePrivilege.h"

#include <sys/capability.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/LastError.h"

namespace {

bool InSet(cap_flag_t set) {
    cap_t caps = cap_get_proc();
    cap_flag_value_t value = CAP_CLEAR;
    cap_get_flag(caps, CAP_SYS_TIME, set, &value);
    cap_free(caps);
    return value == CAP_SET;
}

// Capabilities belong to a thread: each case runs on a thread of its own, so
// whatever it changes ends with it. Nothing here sets the clock.
template <typename Body>
void OnOwnThread(Body body) {
    std::thread thread(body);
    thread.join();
}

}  // namespace

TEST(TimePrivilegeTest, RaiseAndClearMoveTheRightInAndOutOfEffect) {
    if (!InSet(CAP_PERMITTED)) {
        GTEST_SKIP() << "this process may not set the clock at all";
    }
    OnOwnThread([] {
        LinuxTimePrivilege privilege;
        privilege.Clear();
        EXPECT_FALSE(InSet(CAP_EFFECTIVE));
        EXPECT_TRUE(privilege.Raise()) << GetLastError();
        EXPECT_TRUE(InSet(CAP_EFFECTIVE));
        privilege.Clear();
        EXPECT_FALSE(InSet(CAP_EFFECTIVE));
        EXPECT_TRUE(InSet(CAP_PERMITTED));
    });
}

TEST(TimePrivilegeTest, RaiseFailsWithEpermWhenTheRightWasNeverGranted) {
    OnOwnThread([] {
        cap_t caps = cap_get_proc();
        const cap_value_t timeCap[] = {CAP_SYS_TIME};
        cap_set_flag(caps, CAP_EFFECTIVE, 1, timeCap, CAP_CLEAR);
        cap_set_flag(caps, CAP_PERMITTED, 1, timeCap, CAP_CLEAR);
        ASSERT_EQ(cap_set_proc(caps), 0);
        cap_free(caps);

        LinuxTimePrivilege privilege;
        SetLastError(0);
        EXPECT_FALSE(privilege.Raise());
        EXPECT_EQ(GetLastError(), static_cast<uint32_t>(EPERM));
        EXPECT_FALSE(InSet(CAP_EFFECTIVE));
        privilege.Clear();
        EXPECT_FALSE(InSet(CAP_EFFECTIVE));
    });
}
