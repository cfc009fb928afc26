// Any standard input of the privileged zone helper. What it accepts it turns
// into the zone file it writes, which must be a sound file of the same rule,
// and the accepted input must be exactly the stored form of the record.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/FuzzZone.h"
#include "platform/ZoneHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::span<const uint8_t> input(data, size);
    const std::optional<TIME_ZONE_INFORMATION> record = ParseZoneHelperInput(input);
    if (!record) {
        return 0;
    }
    FUZZ_CHECK(size == kTimeZoneInformationSize);
    FUZZ_CHECK(EncodeTimeZoneInformation(*record) == std::vector<uint8_t>(input.begin(), input.end()));
    const std::optional<PosixTz> tz = PosixTzFromRecord(*record);
    FUZZ_CHECK(tz.has_value());
    CheckBuiltTzif(*tz);
    ExerciseZoneRule(*tz);
    return 0;
}
