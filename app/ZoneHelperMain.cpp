// tidewell-zone-helper: run through pkexec, writes the record on standard input
// as the system's time zone, or links it to the database zone named there. It
// takes no arguments and reads no environment.
#include <unistd.h>

#include <ctime>

#include <string>
#include <vector>

#include "platform/ZoneFile.h"
#include "platform/ZoneHelper.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return RunZoneHelper(args, STDIN_FILENO, kSystemZonePath, kZoneDatabasePath, std::time(nullptr));
}
