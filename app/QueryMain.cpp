// tidewell-query: measures the offset and delay of time servers; never sets the clock.

#include <iostream>
#include <string>
#include <vector>

#include "core/QueryCommand.h"
#include "core/SntpClient.h"
#include "platform/ClockSetter.h"
#include "platform/LastError.h"
#include "platform/SystemClock.h"

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
    // This tool only measures: it never sets the clock.
    NoClockSetter clockSetter;
    if (options.consensus) {
        return RunConsensus(
            options, [&] { return std::make_unique<CSNTPClient>(clock, clockSetter); }, std::cout, std::cerr,
            program);
    }
    CSNTPClient client(clock, clockSetter);
    return RunQueries(options, client, std::cout, std::cerr, program);
}
