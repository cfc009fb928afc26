#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/PosixTimeZone.h"
#include "platform/SystemClock.h"
#include "platform/TimeZoneStore.h"
#include "platform/ZoneFile.h"

// Runs the privileged zone helper for a process that may not write the zone itself.
class ZoneHelperRunner {
public:
    virtual ~ZoneHelperRunner() = default;
    // True when the helper wrote the record as the system zone.
    virtual bool Run(const TIME_ZONE_INFORMATION& record) = 0;
};

inline constexpr const char* kZoneHelperPath = TIDEWELL_ZONE_HELPER_PATH;

// Starts a command (by default pkexec with the installed helper; polkit asks
// for the administrator's password) with the stored record on its standard
// input, and waits for it. Only an exit code of 0 is success.
class PkexecZoneHelperRunner final : public ZoneHelperRunner {
public:
    explicit PkexecZoneHelperRunner(std::vector<std::string> command = {"pkexec", kZoneHelperPath});
    bool Run(const TIME_ZONE_INFORMATION& record) override;

private:
    std::vector<std::string> m_command;
};

// The zone in a TZif file. Reads the zone that the C library reads for this
// process; writes the zone path by atomic replacement, directly when the
// process may, otherwise through the helper runner (when there is one).
class LinuxTimeZoneStore final : public TimeZoneStore {
public:
    // tzVariable: a value of $TZ, which then decides what is read, as in the C
    // library: "" is UTC, a leading ':' is dropped, an absolute path names a
    // file, another name a file under $TZDIR or /usr/share/zoneinfo, and text
    // that names no file is read as a TZ string. Writing always goes to zonePath.
    LinuxTimeZoneStore(const SystemClock& clock, std::string zonePath = kSystemZonePath,
                       std::unique_ptr<ZoneHelperRunner> helper = nullptr,
                       std::optional<std::string> tzVariable = std::nullopt);

    // The program's store: the system zone path, $TZ of this process, the pkexec helper.
    static std::unique_ptr<LinuxTimeZoneStore> ForThisProcess(const SystemClock& clock);

    TimeZoneQuery query() const override;
    // Refuses a record that fails the checks of ZoneRecord.h; the last-error
    // code then holds kErrorInvalidParameter, otherwise an errno.
    bool apply(const TIME_ZONE_INFORMATION& record) override;

    const std::string& ZonePath() const { return m_zonePath; }

private:
    TimeZoneQuery QueryFile(const std::string& path) const;
    TimeZoneQuery QueryRule(const PosixTz& tz) const;

    const SystemClock& m_clock;
    std::string m_zonePath;
    std::unique_ptr<ZoneHelperRunner> m_helper;
    std::optional<std::string> m_tzVariable;
};
