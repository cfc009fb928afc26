// Any zone file, read as the system zone is read: the TZif data, then the rule
// of its footer (or of its last transition).

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/FuzzZone.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::optional<TzifData> tzif = ParseTzif(std::span<const uint8_t>(data, size));
    if (!tzif) {
        return 0;
    }
    FUZZ_CHECK(tzif->version >= 1 && tzif->version <= 4);
    FUZZ_CHECK(!tzif->types.empty());
    FUZZ_CHECK(tzif->transitionTypes.size() == tzif->transitionsUtc.size());
    for (std::size_t i = 0; i < tzif->transitionsUtc.size(); ++i) {
        FUZZ_CHECK(tzif->transitionTypes[i] < tzif->types.size());
        FUZZ_CHECK(i == 0 || tzif->transitionsUtc[i - 1] < tzif->transitionsUtc[i]);
    }
    if (const std::optional<PosixTz> rule = ZoneRuleOfTzif(*tzif)) {
        ExerciseZoneRule(*rule);
    }
    // An edit over this file as the zone in force keeps its past.
    const std::optional<PosixTz> edit = ParsePosixTz("CET-1CEST,M3.5.0,M10.5.0/3");
    const std::vector<uint8_t> edited = BuildTzifKeepingPast(*tzif, *edit, kFuzzNowUtcSeconds);
    const std::optional<TzifData> back = ParseTzif(edited);
    FUZZ_CHECK(back.has_value() && ZoneRuleOfTzif(*back) == edit);
    if (edited == BuildTzif(*edit)) {
        // A file whose own types cannot be carried over (too many, or names a
        // zone file cannot hold) is replaced by the rule alone, as before.
        return 0;
    }
    const int64_t cut = StartOfLocalYear(*tzif, kFuzzNowUtcSeconds);
    // The last transition is left out: there a file's footer speaks, and a
    // damaged file's footer may say otherwise than its table.
    for (std::size_t i = 0; i + 1 < tzif->transitionsUtc.size(); ++i) {
        const int64_t t = tzif->transitionsUtc[i];
        if (t >= -2208988800 && t < cut) {
            FUZZ_CHECK(TzifTypeAt(*back, t).utOffsetSeconds == TzifTypeAt(*tzif, t).utOffsetSeconds);
        }
    }
    return 0;
}
