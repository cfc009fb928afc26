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

std::vector<uint8_t> ZoneHelperNameInput(const std::string& name) {
    const std::string text = std::string(kZoneHelperNamePrefix) + name;
    return {text.begin(), text.end()};
}

bool IsDatabaseZone(const std::string& database, const std::string& name) {
    if (name.empty() || name.size() > 128 || name.front() == '/' || name.back() == '/') {
        return false;
    }
    std::size_t partBegin = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/') {
            const std::string_view part(name.data() + partBegin, i - partBegin);
            if (part.empty() || part == "." || part == "..") {
                return false;
            }
            partBegin = i + 1;
            continue;
        }
        const char c = name[i];
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '_' || c == '+' || c == '-';
        if (!allowed) {
            return false;
        }
    }
    std::vector<uint8_t> bytes;
    return ReadWholeFile(database + "/" + name, kMaxTzifSize, bytes) && ParseTzif(bytes).has_value();
}

std::string ZoneNameOfLink(const std::string& zonePath, const std::string& database) {
    std::string target(4096, '\0');
    const ssize_t n = readlink(zonePath.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
        return {};
    }
    target.resize(static_cast<std::size_t>(n));
    // The database's own path, or any path through a "zoneinfo" folder
    // ("../usr/share/zoneinfo/Europe/Berlin", as some tools write it).
    std::string name;
    if (target.starts_with(database + "/")) {
        name = target.substr(database.size() + 1);
    } else if (const auto at = target.rfind("/zoneinfo/"); at != std::string::npos) {
        name = target.substr(at + 10);
    }
    return IsDatabaseZone(database, name) ? name : std::string();
}

std::vector<uint8_t> BuildEditedZone(const std::string& zonePath, const PosixTz& rule,
                                     int64_t nowUtcSeconds) {
    std::vector<uint8_t> bytes;
    if (ReadWholeFile(zonePath, kMaxTzifSize, bytes)) {
        if (const auto past = ParseTzif(bytes)) {
            return BuildTzifKeepingPast(*past, rule, nowUtcSeconds);
        }
    }
    return BuildTzif(rule);
}

int RunZoneHelper(const std::vector<std::string>& args, int inputFd, const std::string& zonePath,
                  const std::string& database, int64_t nowUtcSeconds) {
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
    const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
    if (input.size() < kTimeZoneInformationSize && text.starts_with(kZoneHelperNamePrefix)) {
        const std::string name(text.substr(kZoneHelperNamePrefix.size()));
        if (!IsDatabaseZone(database, name)) {
            return kZoneHelperRefused;
        }
        return ReplaceWithLinkAtomically(zonePath, database + "/" + name) ? kZoneHelperDone
                                                                          : kZoneHelperWriteFailed;
    }
    const auto record = ParseZoneHelperInput(input);
    if (!record) {
        return kZoneHelperRefused;
    }
    const std::vector<uint8_t> file = BuildEditedZone(zonePath, *PosixTzFromRecord(*record), nowUtcSeconds);
    return ReplaceFileAtomically(zonePath, file) ? kZoneHelperDone : kZoneHelperWriteFailed;
}
