#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/CServer.h"
#include "config/OptionRanges.h"

// The administrator's settings for every user of the machine: a file of the
// user's settings format, <folder>/Quorvane/Tidewell.conf, in the first folder
// of $XDG_CONFIG_DIRS that has one. Its options and servers are a first
// start's in place of the built-in ones; the names in its [Locked] Keys= (a
// comma-separated list of option names and "Servers") are taken from it at
// every start and never stored in the user's file.
//
// The file is only ever read. Whatever of it can be used is used, and each
// part that cannot (a file that cannot be read at all, damaged lines, a value
// outside the Options dialog's range or of the wrong kind, a server list that
// does not load, an unknown name in Keys=) is left out and named in Problems().
// A locked name keeps its lock even when its value is left out: it then locks
// the built-in default.
class SiteDefaults {
public:
    static constexpr const char* kLockedSection = "Locked";
    static constexpr const char* kLockedKeys = "Keys";
    // The name in Keys= that locks the server list.
    static constexpr const char* kServers = "Servers";
    static constexpr const char* kLockedTip = "Set by your administrator";

    // The options the file may give and lock, as stored.
    static const std::vector<OptionRange>& Options();

    // The absolute folders of $XDG_CONFIG_DIRS in order, or /etc/xdg when it names none.
    static std::vector<std::string> FoldersFromEnvironment();
    // The file of the first folder that has one; no file: nothing given, nothing locked.
    static SiteDefaults Read(const std::vector<std::string>& folders);

    // The file in use; empty when none was found.
    const std::string& Path() const { return m_path; }
    // What could not be used, a sentence each.
    const std::vector<std::string>& Problems() const { return m_problems; }

    // The file's value of the option, within its range; nothing when the file gives none.
    std::optional<int32_t> Value(const OptionRange& option) const;
    // The file's server list, each server of kind 0 (the machine's own list);
    // nothing when the file gives none.
    const std::optional<std::vector<CServer>>& Servers() const { return m_servers; }
    // Whether Keys= names the option (or kServers).
    bool IsLocked(std::string_view name) const { return m_locked.contains(std::string(name)); }

private:
    std::string m_path;
    std::vector<std::string> m_problems;
    std::map<std::string, int32_t> m_values;
    std::optional<std::vector<CServer>> m_servers;
    std::set<std::string> m_locked;
};
