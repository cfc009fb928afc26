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
    return 0;
}
