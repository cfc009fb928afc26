#pragma once

#include <memory>
#include <string>

#include "config/LastAttempt.h"
#include "config/ProfileStore.h"
#include "config/Settings.h"
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

    TempFolder folder;
    ProfileStore store{folder.Path()};
    Settings settings{store};
};
