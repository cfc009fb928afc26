#include "platform/CommandLine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

using namespace std::string_literals;

TEST(CommandLineTest, StartUpOnlyAsTheLastSevenCharactersInThisCase) {
    struct Row {
        std::string raw;  // as the kernel keeps it: NUL-terminated arguments
        bool startUp;
    };
    const Row rows[] = {
        {"/usr/bin/tidewell\0StartUp\0"s, true},
        {"tidewell\0--verbose\0StartUp\0"s, true},
        {"tidewell\0-xStartUp\0"s, true},  // the switch is the text's ending, not an argument
        {"/opt/StartUp\0"s, true},         // the program path counts too
        {"tidewell\0"s, false},
        {"tidewell\0Startup\0"s, false},
        {"tidewell\0STARTUP\0"s, false},
        {"tidewell\0StartUp \0"s, false},
        {"tidewell\0StartUp\0\0"s, false},  // an empty last argument leaves a blank
        {"tidewell\0StartUp\0now\0"s, false},
        {"tartUp\0"s, false},
        {""s, false},
    };
    for (const Row& row : rows) {
        const std::string joined = JoinCommandLine(row.raw);
        EXPECT_EQ(IsStartUpCommandLine(joined), row.startUp) << '"' << joined << '"';
    }
}

TEST(CommandLineTest, ReadsTheArgumentsJoinedByBlanks) {
    char path[] = "/tmp/tidewell-cmdline-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    {
        std::ofstream file(path, std::ios::binary);
        file << "/usr/local/bin/tidewell\0two words\0StartUp\0"s;
    }
    EXPECT_EQ(ReadCommandLine(path), "/usr/local/bin/tidewell two words StartUp");
    std::remove(path);
    EXPECT_EQ(ReadCommandLine(path), "");

    // This very process: the test program's own path comes first.
    const std::string own = ReadCommandLine();
    EXPECT_NE(own.find("tidewell_platform_tests"), std::string::npos) << own;
    EXPECT_FALSE(IsStartUpCommandLine(own));
}
