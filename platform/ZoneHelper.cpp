#include "platform/ZoneHelper.h"

#include <unistd.h>

#include <cerrno>

#include "platform/TzifFile.h"
#include "platform/ZoneFile.h"
#include "platform/ZoneRecord.h"

std::optional<TIME_ZONE_INFORMATION> ParseZoneHelperInput(std::span<const uint8_t> input) {
    const auto record = DecodeTimeZoneInformation(std::vector<uint8_t>(input.begin(), input.end()));
    if (!record || !PosixTzFromRecord(*record)) {
        return std::nullopt;
    }
    return record;
}

int RunZoneHelper(const std::vector<std::string>& args, int inputFd, const std::string& zonePath) {
    if (!args.empty()) {
        return kZoneHelperRefused;
    }
    // One byte more than a record, to tell a long input from a record.
    std::vector<uint8_t> input;
    uint8_t buf[kTimeZoneInformationSize + 1];
    while (input.size() <= kTimeZoneInformationSize) {
        const ssize_t n = read(inputFd, buf, sizeof buf - input.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        input.insert(input.end(), buf, buf + n);
    }
    const auto record = ParseZoneHelperInput(input);
    if (!record) {
        return kZoneHelperRefused;
    }
    const std::vector<uint8_t> file = BuildTzif(*PosixTzFromRecord(*record));
    return ReplaceFileAtomically(zonePath, file) ? kZoneHelperDone : kZoneHelperWriteFailed;
}
