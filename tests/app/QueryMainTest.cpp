#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/FakeSntpServer.h"

namespace {

struct Outcome {
    int exitCode = -1;
    std::string output;  // standard output and error together
};

Outcome RunTool(const std::string& arguments) {
    const std::string command =
        std::string(TIDEWELL_BINARY_DIR) + "/app/tidewell-query " + arguments + " 2>&1";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        outcome.output += buffer;
    }
    const int status = pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

}  // namespace

TEST(QueryMainTest, ExitStatusTellsWhetherEveryHostAnswered) {
    FakeSntpServer server;
    server.SetClockOffset(-2.25);
    const std::string port = std::to_string(server.Port());
    FakeSntpServer v6(FakeSntpServer::Family::IPv6);
    v6.SendBeforeReply(std::vector<uint8_t>(12, 0), 0.01);
    struct Row {
        std::string arguments;
        int exitCode;
        const char* outputPart;
    };
    const Row rows[] = {
        {"--help", 0, "Usage: tidewell-query [--port N] [--samples N] [--consensus] HOST..."},
        {"", 2, "no host given"},
        {"--port 0 127.0.0.1", 2, "Usage:"},
        {"--port " + port + " --samples 2 127.0.0.1", 0, "127.0.0.1 sample 2/2: offset -2."},
        {"--port " + port + " 127.0.0.1 255.255.255.255", 1, "255.255.255.255: no answer"},
        {"--consensus --port " + port + " 127.0.0.1 127.0.0.1", 0, "\nconsensus: offset -2.2"},
        {"--port " + std::to_string(v6.Port()) + " [::1]", 0,
         "tidewell-query: [::1]: skipped a 12-byte datagram: too short for a reply\n[::1] sample 1/1: "
         "offset"},
    };
    for (const Row& row : rows) {
        const Outcome outcome = RunTool(row.arguments);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.arguments << "\n" << outcome.output;
        EXPECT_NE(outcome.output.find(row.outputPart), std::string::npos) << row.arguments << "\n"
                                                                          << outcome.output;
    }
}
