// Any TZ string, as a zone file's footer or a record's rule carries it.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzZone.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::optional<PosixTz> tz =
        ParsePosixTz(std::string_view(reinterpret_cast<const char*>(data), size));
    if (tz) {
        ExerciseZoneRule(*tz);
    }
    return 0;
}
