#pragma once

#include <array>
#include <string>
#include <string_view>

// Zone names are 32 UTF-16 code units in the record; the program's texts are UTF-8.

// The name up to its first NUL (or all 32 units), in UTF-8, in at most 32 bytes:
// a character that would not fit whole is left out with everything after it.
// A unit without a character (a lone surrogate) becomes a blank.
std::string NarrowFromName(const std::array<char16_t, 32>& name);

// A UTF-8 text (up to its first NUL) as a record name: at most 31 units and
// the terminating NUL, never half a surrogate pair. Bytes that are not UTF-8
// become U+FFFD.
std::array<char16_t, 32> NameFromNarrow(std::string_view text);
