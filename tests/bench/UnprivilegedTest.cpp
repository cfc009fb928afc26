#include "bench/Unprivileged.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/TempFolder.h"

namespace {

std::string Status(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Line(const std::string& status, const std::string& key) {
    const std::size_t start = status.find(key + ":");
    return start == std::string::npos ? "" : status.substr(start, status.find('\n', start) - start);
}

}  // namespace

// The programs the benchmark starts can never set the clock: no file capability
// is granted (no_new_privs), and root's are gone (nobody).
TEST(UnprivilegedTest, RunsWithoutTheRightToSetTheClockAndEndsByItsPid) {
    TempFolder folder;
    UnprivilegedProcess sleeper({{"/bin/sleep", "30"}, {}, folder.Path() + "/out"});
    std::string status;
    for (int i = 0; i < 200 && Line(status, "NoNewPrivs").empty(); ++i) {
        usleep(5000);  // until exec has replaced the child
        status = Status(sleeper.Pid());
        if (Line(status, "Name") != "Name:\tsleep") {
            status.clear();
        }
    }
    EXPECT_EQ(Line(status, "NoNewPrivs"), "NoNewPrivs:\t1");
    EXPECT_EQ(Line(status, "CapEff"), "CapEff:\t0000000000000000");
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        const std::string uid = std::to_string(nobody->pw_uid);
        EXPECT_EQ(Line(status, "Uid"), "Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
    }
    EXPECT_TRUE(sleeper.Running());
    const int ended = sleeper.End();
    EXPECT_TRUE(WIFSIGNALED(ended) && WTERMSIG(ended) == SIGTERM);
    EXPECT_EQ(DescribeWaitStatus(ended), "ended by signal 15");
}

TEST(UnprivilegedTest, ReportsHowTheProgramEnded) {
    TempFolder folder;
    const std::string output = folder.Path() + "/out";
    UnprivilegedProcess shell({{"/bin/sh", "-c", "echo \"$GREETING\"; exit 3"}, {"GREETING=hello"}, output});
    const auto status = shell.Wait(std::chrono::seconds(10));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(DescribeWaitStatus(*status), "exited with 3");
    EXPECT_EQ(TempFolder::ReadFile(output), "hello\n");

    UnprivilegedProcess missing({{folder.Path() + "/no-such-program"}, {}, output});
    EXPECT_EQ(DescribeWaitStatus(missing.Wait(std::chrono::seconds(10)).value_or(-1)), "exited with 127");
}
