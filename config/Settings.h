#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "config/CRegArray.h"
#include "config/CServer.h"
#include "config/LastAttempt.h"
#include "config/OptionRanges.h"
#include "config/ProfileStore.h"
#include "config/SiteDefaults.h"
#include "platform/SystemClock.h"
#include "platform/TimeZoneInformation.h"

// The user's options, the list of time servers and the start zone (the system's
// zone at the first start), with their storage in the ProfileStore.
//
// The option fields may be read by a synchronisation worker while the user
// interface changes them; each is a 32-bit atomic, so such reads see a whole
// value, old or new. The server list and the start zone belong to the user
// interface thread; a worker takes its own copy of what it needs.
class Settings {
public:
    explicit Settings(ProfileStore& store);
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    // When automatic runs happen: 0 once a day, 1 once at each start, 2 every hour, 3 never.
    std::atomic<int32_t> nSynPeriod{OptionRanges::kSynPeriod.loadDefault};
    // Show the icon in the notification area (0 or 1).
    std::atomic<int32_t> bShowIcon{OptionRanges::kShowIcon.loadDefault};
    // Close the program, while hidden, after the automatic run of the day or of the start (0 or 1).
    std::atomic<int32_t> bExitAfter{OptionRanges::kExitAfter.loadDefault};
    // Seconds the clock is put ahead of true time after a synchronisation; negative: behind.
    std::atomic<int32_t> nOffset{OptionRanges::kOffset.loadDefault};
    // Days without synchronisation before the start warns; 0: never.
    std::atomic<int32_t> nMaxDays{OptionRanges::kMaxDays.loadDefault};
    // Minutes a synchronisation may move the clock without a warning; 0: never warn.
    std::atomic<int32_t> nMaxDiff{OptionRanges::kMaxDiff.loadDefault};
    // Seconds: a server whose delay is not below this has failed; also the limit of an automatic run.
    std::atomic<int32_t> nTimeOut{OptionRanges::kTimeOut.loadDefault};
    // While set, the first successful synchronisation gives no nMaxDiff warning (0 or 1).
    std::atomic<int32_t> bFirstStart{0};
    // Index of the server runs start with.
    std::atomic<int32_t> nStartingServ{0};
    // Runs and "Find the best" use only the list's "nts://" servers (0 or 1):
    // the clock is never set from unauthenticated time.
    std::atomic<int32_t> bOnlyNts{OptionRanges::kOnlyNts.loadDefault};
    // A step of more than nMaxDiff is taken only when another server of the
    // list agrees with the one that asked for it (0 or 1).
    std::atomic<int32_t> bConfirmLarge{OptionRanges::kConfirmLarge.loadDefault};

    const std::string optionsSection = "Options";
    const std::string serversName = "Servers";
    CRegArray<CServer> servers;
    TIME_ZONE_INFORMATION startZone{};
    // The database name of the start zone ("Europe/Berlin"), stored as
    // "TimeZoneName"; empty when the first start found no such name, or came
    // before the name was recorded.
    std::string startZoneName;

    // The default options (the administrator's where the site file gives
    // them, the built-in ones otherwise); bFirstStart, nStartingServ, the
    // servers, bOnlyNts (which goes with the servers) and the start zone stay.
    // A locked option's default is its locked value: nothing locked changes.
    void SetDefaults();

    // The administrator's settings. Locked values take effect at once and at
    // every load, and are never saved: the user's file keeps what it holds for
    // them. Choosing the starting server stays the user's, also when the list is locked.
    void UseSite(SiteDefaults site);
    const SiteDefaults& Site() const { return m_site; }
    // Whether the administrator fixes the option (by its stored name) or the
    // list (SiteDefaults::kServers).
    bool IsLocked(std::string_view name) const { return m_site.IsLocked(name); }
    // A first start's options, bOnlyNts included, and servers: the
    // administrator's where given, the built-in ones otherwise. Not saved.
    void ApplySiteDefaults();

    // Reads the last attempt into `last`, then the options, the start zone and
    // the server list, applying the load rules. Values absent, of the wrong
    // kind or outside the Options dialog's ranges (OptionRanges) take their
    // load defaults; corrected in memory only.
    void LoadAll(LastAttempt& last);
    // Loads the list; a missing or broken stored list is replaced by the
    // defaults, which are stored at once (the broken list's values are kept in
    // a section of their own by the same write: the first free one of
    // "Servers.broken", "Servers.broken.2", ...; an earlier backup is never
    // overwritten). Keeps nStartingServ in range.
    void LoadServers();
    // RestoreDefaultServers, then SaveServers.
    bool ResetServers();
    // The user's servers first, then the program's table once (the site
    // file's list in its place when it gives one). A locked list is put back
    // as the administrator set it. Not saved.
    void RestoreDefaultServers();
    // The first start's saves, ResetServers and SaveOptions, as one write: either
    // both are stored or neither.
    bool SaveFirstStart();

    // Each save is one atomic write; true when it reached the disk. Callers may
    // ignore the result: a failed save changes nothing.
    bool SaveOptions();
    bool SaveServers();
    bool SaveLastAttempt(const LastAttempt& last);

    // Replaces the elements of the list by copies of list's; the list keeps its names.
    void SetServers(const CRegArray<CServer>& list);

    // Whether more than nMaxDays whole days have passed since syncDate (local
    // date of the last recorded synchronisation), by the clock's local time.
    bool IsSyncOverdue(const SYSTEMTIME& syncDate, const SystemClock& clock) const;

    // The section that keeps the number-th stored list that could not be
    // loaded (numbered from 1).
    std::string BrokenServersSection(int number = 1) const {
        // Appended piece by piece: GCC 12 at -O3 takes `"." + string` for an
        // overlapping copy (-Wrestrict, GCC bug 105651).
        std::string section = serversName + ".broken";
        if (number > 1) {
            section += '.';
            section += std::to_string(number);
        }
        return section;
    }

private:
    void AddOptions(ProfileStore::Batch& batch) const;
    std::atomic<int32_t>& OptionField(const OptionRange& option);
    // The site file's value of the option, or its built-in default.
    int32_t DefaultOf(const OptionRange& option) const;
    void ApplyLocked();
    // The stored value of an option within its range, or its load default.
    int32_t ReadOption(const OptionRange& option) const;

    ProfileStore& m_store;
    SiteDefaults m_site;
};
