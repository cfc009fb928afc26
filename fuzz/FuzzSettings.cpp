// Any settings file, loaded through ProfileStore and Settings as the program
// loads it at start, then saved and loaded again: whatever was loaded must come
// back unchanged from what the program wrote.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/LastAttempt.h"
#include "config/ProfileStore.h"
#include "config/Settings.h"
#include "fuzz/FuzzCheck.h"

namespace {

// One folder for the run, emptied before every input; removed at exit.
const std::filesystem::path& ConfigFolder() {
    static const std::filesystem::path folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/tidewell-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ConfigFolder(), ignored);
        });
        return std::filesystem::path(pattern);
    }();
    return folder;
}

struct Loaded {
    LastAttempt last;
    int32_t options[9] = {};
    TIME_ZONE_INFORMATION startZone{};
    std::vector<std::string> servers;
};

Loaded Load(Settings& settings) {
    Loaded loaded;
    settings.LoadAll(loaded.last);
    const int32_t options[] = {settings.nSynPeriod, settings.bShowIcon,   settings.bExitAfter,
                               settings.nOffset,    settings.nMaxDays,    settings.nMaxDiff,
                               settings.nTimeOut,   settings.bFirstStart, settings.nStartingServ};
    std::copy(std::begin(options), std::end(options), loaded.options);
    loaded.startZone = settings.startZone;
    for (std::size_t i = 0; i < settings.servers.GetSize(); ++i) {
        loaded.servers.push_back(settings.servers[i].ToString());
    }
    return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::filesystem::path& folder = ConfigFolder();
    const std::filesystem::path maker = folder / ProfileStore::kMakerKey;
    std::filesystem::remove_all(maker);
    std::filesystem::create_directory(maker);
    {
        std::ofstream file(maker / "Tidewell.conf", std::ios::binary);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    ProfileStore store(folder.string());
    store.RegisterMakerKey(ProfileStore::kMakerKey);
    Settings settings(store);
    const Loaded first = Load(settings);
    FUZZ_CHECK(settings.servers.GetSize() > 0);
    FUZZ_CHECK(settings.nSynPeriod >= 0 && settings.nSynPeriod <= 3);
    FUZZ_CHECK(settings.nTimeOut >= 5);
    FUZZ_CHECK(settings.nStartingServ >= 0 &&
               static_cast<std::size_t>(settings.nStartingServ.load()) < settings.servers.GetSize());

    const bool saved =
        settings.SaveOptions() && settings.SaveServers() && settings.SaveLastAttempt(first.last);
    FUZZ_CHECK(saved);

    ProfileStore reopened(folder.string());
    reopened.RegisterMakerKey(ProfileStore::kMakerKey);
    Settings again(reopened);
    const Loaded second = Load(again);
    FUZZ_CHECK(second.last == first.last);
    FUZZ_CHECK(std::equal(std::begin(first.options), std::end(first.options), std::begin(second.options)));
    FUZZ_CHECK(second.startZone == first.startZone);
    FUZZ_CHECK(second.servers == first.servers);
    return 0;
}
