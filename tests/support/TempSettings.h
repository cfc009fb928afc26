#pragma once

#include <memory>
#include <string>

#include "config/LastAttempt.h"
#include "config/ProfileStore.h"
#include "config/Settings.h"
#include "config/SiteDefaults.h"
#include "tests/support/TempFolder.h"

// Settings over a store of their own in a temporary folder, and a way to read
// back what reached the disk.
struct TempSettings {
    TempSettings() { store.RegisterMakerKey(ProfileStore::kMakerKey); }

    // What a fresh start would load from the store.
    std::unique_ptr<Settings> Reloaded() {
        auto loaded = std::make_unique<Settings>(store);
        LastAttempt last;
        loaded->LoadAll(last);
        return loaded;
    }
    std::string StoredFile() const { return TempFolder::ReadFile(store.FilePath()); }

    // The administrator's settings file of this text in `folder`, as one of $XDG_CONFIG_DIRS.
    static void WriteSiteFile(const TempFolder& folder, const std::string& text) {
        TempFolder::WriteFile(folder / "Quorvane/Tidewell.conf", text);
    }
    // The settings use such a file.
    void UseSite(const std::string& text) {
        WriteSiteFile(siteFolder, text);
        settings.UseSite(SiteDefaults::Read({siteFolder.Path()}));
    }

    TempFolder folder;
    TempFolder siteFolder;
    ProfileStore store{folder.Path()};
    Settings settings{store};
};
