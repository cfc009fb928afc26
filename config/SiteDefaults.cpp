#include "config/SiteDefaults.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "config/CRegArray.h"
#include "config/ProfileStore.h"

namespace {

constexpr const char* kOptionsSection = "Options";

// Whether anything stands at path. A path we cannot even look at counts: it is
// the administrator's file, which we may not read, not a free place.
bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

const std::vector<OptionRange>& SiteDefaults::Options() {
    using namespace OptionRanges;
    static const std::vector<OptionRange> options = {
        kSynPeriod, kShowIcon, kExitAfter, kOffset, kMaxDays, kTimeOut, kMaxDiff, kOnlyNts, kConfirmLarge};
    return options;
}

std::vector<std::string> SiteDefaults::FoldersFromEnvironment() {
    std::vector<std::string> folders;
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::string_view rest = dirs ? dirs : "";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
        // Relative entries are not looked at: they would depend on where the program was started.
        if (!folder.empty() && folder.front() == '/') {
            folders.emplace_back(folder);
        }
    }
    if (folders.empty()) {
        folders.emplace_back("/etc/xdg");
    }
    return folders;
}

SiteDefaults SiteDefaults::Read(const std::vector<std::string>& folders) {
    SiteDefaults site;
    std::string folder;
    for (const std::string& candidate : folders) {
        if (Exists(candidate + "/" + ProfileStore::kMakerKey + "/" + ProfileStore::kApplicationName +
                   ".conf")) {
            folder = candidate;
            break;
        }
    }
    if (folder.empty()) {
        return site;
    }
    // The store only reads here: nothing is ever written to the administrator's file.
    ProfileStore store(folder);
    store.RegisterMakerKey(ProfileStore::kMakerKey);
    site.m_path = store.FilePath();
    if (!store.IsReadWhole()) {
        site.m_problems.push_back(store.IsEmpty() ? "the file cannot be read; it is not used"
                                                  : "lines that cannot be read are left out");
    }

    const std::vector<std::string> given = store.EntryNames(kOptionsSection);
    for (const OptionRange& option : Options()) {
        if (!Contains(given, option.name)) {
            continue;
        }
        // Two different defaults come back alike only from a stored integer.
        const int32_t low = store.ReadInt(kOptionsSection, option.name, std::numeric_limits<int32_t>::min());
        const int32_t high = store.ReadInt(kOptionsSection, option.name, std::numeric_limits<int32_t>::max());
        if (low != high) {
            site.m_problems.push_back(std::string(option.name) + " is not a whole number; it is not used");
        } else if (!option.Contains(low)) {
            site.m_problems.push_back(std::string(option.name) + "=" + std::to_string(low) + " is outside " +
                                      std::to_string(option.min) + " to " + std::to_string(option.max) +
                                      "; it is not used");
        } else {
            site.m_values.emplace(option.name, low);
        }
    }

    if (!store.EntryNames(kServers).empty()) {
        CRegArray<CServer> list(kServers, kServers);
        if (list.Load(store)) {
            std::vector<CServer> servers;
            for (CServer server : list) {
                server.kind = 0;
                servers.push_back(std::move(server));
            }
            site.m_servers = std::move(servers);
        } else {
            site.m_problems.push_back("the server list cannot be loaded; it is not used");
        }
    }

    if (Contains(store.EntryNames(kLockedSection), kLockedKeys)) {
        const std::string keys = store.ReadString(kLockedSection, kLockedKeys, std::string(1, '\0'));
        std::string_view rest = keys;
        if (keys == std::string(1, '\0')) {
            site.m_problems.push_back("[Locked] Keys= is not a list of names; nothing is locked");
            rest = {};
        }
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            const std::string name(TrimBlanks(rest.substr(0, comma)));
            rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
            const bool known = name == kServers ||
                               std::any_of(Options().begin(), Options().end(),
                                           [&](const OptionRange& option) { return name == option.name; });
            if (known) {
                site.m_locked.insert(name);
            } else if (!name.empty()) {
                site.m_problems.push_back("[Locked] Keys= names \"" + name +
                                          "\", which is no option; it is left out");
            }
        }
    }
    return site;
}

std::optional<int32_t> SiteDefaults::Value(const OptionRange& option) const {
    const auto it = m_values.find(option.name);
    if (it == m_values.end()) {
        return std::nullopt;
    }
    return it->second;
}
