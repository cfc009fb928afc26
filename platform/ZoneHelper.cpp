#include "platform/ZoneHelper.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

namespace {

// Whether following the links from path, one at a time, passes through the
// link at zonePath (the link itself, not what it leads to).
bool LeadsThrough(std::string path, const std::string& zonePath) {
    struct stat zone {};
    if (lstat(zonePath.c_str(), &zone) != 0 || !S_ISLNK(zone.st_mode)) {
        return false;
    }
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return false;
        }
        if (st.st_dev == zone.st_dev && st.st_ino == zone.st_ino) {
            return true;
        }
        std::string target(4096, '\0');
        const ssize_t n = readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
            return true;
        }
        target.resize(static_cast<std::size_t>(n));
        path = target.front() == '/' ? target : path.substr(0, path.rfind('/') + 1) + target;
    }
    // A chain this long is no zone.
    return true;
}

std::string RealPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) {
        return {};
    }
    std::string result(resolved);
    std::free(resolved);
    return result;
}

}  // namespace

bool IsDatabaseZone(const std::string& database, const std::string& name, const std::string& zonePath) {
    if (name.empty() || name.size() > 128 || name.front() == '/' || name.back() == '/') {
        return false;
    }
    // The names under which the database shows the system's own zone.
    if (name == "localtime" || name == "posixrules") {
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
    // What the name resolves to must lie inside the database and be neither
    // the zone path nor reached through it: the zone path would become a link
    // to itself.
    const std::string path = database + "/" + name;
    const std::string root = RealPath(database);
    const std::string resolved = RealPath(path);
    const auto slash = zonePath.rfind('/');
    const std::string zoneItself = slash == std::string::npos
                                       ? zonePath
                                       : RealPath(zonePath.substr(0, slash + 1)) + zonePath.substr(slash);
    if (root.empty() || !resolved.starts_with(root + "/") || resolved == zoneItself ||
        LeadsThrough(path, zonePath)) {
        return false;
    }
    std::vector<uint8_t> bytes;
    return ReadWholeFile(resolved, kMaxTzifSize, bytes) && ParseTzif(bytes).has_value();
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
    return IsDatabaseZone(database, name, zonePath) ? name : std::string();
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
    // Only a file or a link is replaced; anything else at the zone path (a
    // FIFO, a folder, a device) is left alone.
    struct stat st {};
    if (lstat(zonePath.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        return kZoneHelperWriteFailed;
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
        if (!IsDatabaseZone(database, name, zonePath)) {
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
