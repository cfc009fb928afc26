#pragma once

#include <functional>
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
    // True when the helper made the system zone a link to the named database zone.
    virtual bool RunNamed(const std::string& name) = 0;
};

inline constexpr const char* kZoneHelperPath = TIDEWELL_ZONE_HELPER_PATH;

// Starts a command (by default pkexec with the installed helper; polkit asks
// for the administrator's password) with the stored record, or the zone's
// name, on its standard input, and waits for it: callers keep it away from
// the window's thread. Only an exit code of 0 is success.
class PkexecZoneHelperRunner final : public ZoneHelperRunner {
public:
    explicit PkexecZoneHelperRunner(std::vector<std::string> command = {"pkexec", kZoneHelperPath});
    bool Run(const TIME_ZONE_INFORMATION& record) override;
    bool RunNamed(const std::string& name) override;

private:
    bool RunWithInput(const std::vector<uint8_t>& input);

    std::vector<std::string> m_command;
};

// The zone in a TZif file. Reads the zone that the C library reads for this
// process; writes the zone path by atomic replacement, directly when the
// process may, otherwise through the helper runner (when there is one). A
// written rule keeps the past of the zone it replaces. After every change the
// process's own local time follows the new zone.
class LinuxTimeZoneStore final : public TimeZoneStore {
public:
    // tzVariable: a value of $TZ, which then decides what is read, as in the C
    // library: "" is UTC, a leading ':' is dropped, an absolute path names a
    // file, another name a file under $TZDIR or /usr/share/zoneinfo, and text
    // that names no file is read as a TZ string. Writing always goes to zonePath.
    // database: the folder of the zones that the zone path may link to.
    LinuxTimeZoneStore(const SystemClock& clock, std::string zonePath = kSystemZonePath,
                       std::unique_ptr<ZoneHelperRunner> helper = nullptr,
                       std::optional<std::string> tzVariable = std::nullopt,
                       std::string database = kZoneDatabasePath);

    // The program's store: the system zone path, $TZ of this process, the pkexec helper.
    static std::unique_ptr<LinuxTimeZoneStore> ForThisProcess(const SystemClock& clock);

    TimeZoneQuery query() const override;
    // Refuses a record that fails the checks of ZoneRecord.h; the last-error
    // code then holds kErrorInvalidParameter, otherwise an errno.
    bool apply(const TIME_ZONE_INFORMATION& record) override;
    // What the zone path links to; "" also while $TZ decides the zone, whose
    // record is then what a first start captures.
    std::string zoneName() const override;
    bool hasNamedZone(const std::string& name) const override;
    bool applyNamed(const std::string& name) override;

private:
    TimeZoneQuery QueryFile(const std::string& path) const;
    TimeZoneQuery QueryRule(const PosixTz& tz) const;
    // Writes directly, or through the helper when the process may not.
    bool Change(const std::function<bool()>& direct, const std::function<bool()>& throughHelper);

    const SystemClock& m_clock;
    std::string m_zonePath;
    std::unique_ptr<ZoneHelperRunner> m_helper;
    std::optional<std::string> m_tzVariable;
    std::string m_database;
};
