#include "platform/LinuxTimeZoneStore.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/LastError.h"
#include "platform/TzifFile.h"
#include "platform/ZoneHelper.h"
#include "platform/ZoneRecord.h"

extern char** environ;

namespace {

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        // A helper that stops reading early must not kill this process with SIGPIPE.
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

PkexecZoneHelperRunner::PkexecZoneHelperRunner(std::vector<std::string> command)
    : m_command(std::move(command)) {}

bool PkexecZoneHelperRunner::Run(const TIME_ZONE_INFORMATION& record) {
    return RunWithInput(EncodeTimeZoneInformation(record));
}

bool PkexecZoneHelperRunner::RunNamed(const std::string& name) {
    return RunWithInput(ZoneHelperNameInput(name));
}

bool PkexecZoneHelperRunner::RunWithInput(const std::vector<uint8_t>& input) {
    if (m_command.empty()) {
        return false;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDIN_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : m_command) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        errno = spawned;
        return false;
    }
    SendAll(fds[0], input);
    shutdown(fds[0], SHUT_WR);
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

LinuxTimeZoneStore::LinuxTimeZoneStore(const SystemClock& clock, std::string zonePath,
                                       std::unique_ptr<ZoneHelperRunner> helper,
                                       std::optional<std::string> tzVariable, std::string database)
    : m_clock(clock),
      m_zonePath(std::move(zonePath)),
      m_helper(std::move(helper)),
      m_tzVariable(std::move(tzVariable)),
      m_database(std::move(database)) {}

std::unique_ptr<LinuxTimeZoneStore> LinuxTimeZoneStore::ForThisProcess(const SystemClock& clock) {
    const char* tz = std::getenv("TZ");
    return std::make_unique<LinuxTimeZoneStore>(clock, kSystemZonePath,
                                                std::make_unique<PkexecZoneHelperRunner>(),
                                                tz ? std::optional<std::string>(tz) : std::nullopt);
}

TimeZoneQuery LinuxTimeZoneStore::query() const {
    if (!m_tzVariable) {
        return QueryFile(m_zonePath);
    }
    std::string name = *m_tzVariable;
    if (name.empty()) {
        return QueryRule(*ParsePosixTz("UTC0"));
    }
    if (name.front() == ':') {
        name.erase(0, 1);
    }
    std::string path;
    if (!name.empty() && name.front() == '/') {
        path = name;
    } else if (!name.empty() && name.find("..") == std::string::npos) {
        const char* dir = std::getenv("TZDIR");
        path = std::string(dir && *dir ? dir : "/usr/share/zoneinfo") + "/" + name;
    }
    if (!path.empty() && access(path.c_str(), R_OK) == 0) {
        return QueryFile(path);
    }
    const auto rule = ParsePosixTz(name);
    return rule ? QueryRule(*rule) : TimeZoneQuery{};
}

TimeZoneQuery LinuxTimeZoneStore::QueryFile(const std::string& path) const {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, kMaxTzifSize, bytes)) {
        return {};
    }
    const auto data = ParseTzif(bytes);
    if (!data) {
        return {};
    }
    const auto rule = ZoneRuleOfTzif(*data);
    if (!rule) {
        return {};
    }
    TimeZoneQuery result = QueryRule(*rule);
    // Changes the file lists for the coming years (Ramadan in Morocco, say)
    // decide the status, as they do for the C library; the rule string only
    // speaks for the years after them.
    const int64_t now = m_clock.Now().seconds;
    if (!data->transitionsUtc.empty() && data->transitionsUtc.back() > now) {
        result.status = TzifTypeAt(*data, now).isDst ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
    }
    return result;
}

TimeZoneQuery LinuxTimeZoneStore::QueryRule(const PosixTz& tz) const {
    const int64_t now = m_clock.Now().seconds;
    TimeZoneQuery result;
    result.info = RecordFromPosixTz(tz, now);
    result.status = !tz.hasDst              ? TIME_ZONE_ID_UNKNOWN
                    : IsDaylightAt(tz, now) ? TIME_ZONE_ID_DAYLIGHT
                                            : TIME_ZONE_ID_STANDARD;
    return result;
}

bool LinuxTimeZoneStore::Change(const std::function<bool()>& direct,
                                const std::function<bool()>& throughHelper) {
    bool done = direct();
    const int error = errno;
    if (!done && (error == EACCES || error == EPERM) && m_helper) {
        done = throughHelper();
    }
    if (!done) {
        SetLastError(static_cast<uint32_t>(error));
        return false;
    }
    // The C library keeps the zone it has read until asked to look again.
    tzset();
    SetLastError(kErrorSuccess);
    return true;
}

bool LinuxTimeZoneStore::apply(const TIME_ZONE_INFORMATION& record) {
    const auto tz = PosixTzFromRecord(record);
    if (!tz) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    const int64_t now = m_clock.Now().seconds;
    return Change([&] { return ReplaceFileAtomically(m_zonePath, BuildEditedZone(m_zonePath, *tz, now)); },
                  [&] { return m_helper->Run(record); });
}

std::string LinuxTimeZoneStore::zoneName() const {
    return m_tzVariable ? std::string() : ZoneNameOfLink(m_zonePath, m_database);
}

bool LinuxTimeZoneStore::hasNamedZone(const std::string& name) const {
    return IsDatabaseZone(m_database, name, m_zonePath);
}

bool LinuxTimeZoneStore::applyNamed(const std::string& name) {
    if (!IsDatabaseZone(m_database, name, m_zonePath)) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    return Change([&] { return ReplaceWithLinkAtomically(m_zonePath, m_database + "/" + name); },
                  [&] { return m_helper->RunNamed(name); });
}
