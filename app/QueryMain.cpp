// tidewell-query: measures the offset and delay of time servers; never sets the clock.

#include <cerrno>
#include <iostream>
#include <string>
#include <vector>

#include "core/QueryCommand.h"
#include "core/SntpClient.h"
#include "platform/LastError.h"
#include "platform/SystemClock.h"
#include "platform/TimePrivilege.h"

namespace {

// This tool only measures: the right to set the clock is never granted.
class RefusedTimePrivilege final : public TimePrivilege {
public:
    bool Raise() override {
        SetLastError(EPERM);
        return false;
    }
    void Clear() override {}
};

}  // namespace

int main(int argc, char** argv) {
    const std::string program = "tidewell-query";
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    QueryOptions options;
    std::string error;
    if (!ParseQueryArguments(arguments, options, error)) {
        std::cerr << program << ": " << error << "\n\n" << QueryUsage(program);
        return kQueryExitBadArguments;
    }
    if (options.help) {
        std::cout << QueryUsage(program);
        return kQueryExitAllAnswered;
    }
    LinuxSystemClock clock;
    RefusedTimePrivilege privilege;
    CSNTPClient client(clock, privilege);
    return RunQueries(options, client, std::cout, std::cerr, program);
}
