#include "timezone/NameConversion.h"

#include "platform/Utf8.h"

#include <cstdint>

namespace {

constexpr std::size_t kNarrowNameBytes = 32;
constexpr char32_t kReplacement = 0xFFFD;

// The code point starting at text[pos]; pos moves past it. Malformed bytes give U+FFFD, one byte at a time.
char32_t DecodeUtf8(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 1;
        c = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 2;
        c = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 3;
        c = lead & 0x07;
        minimum = 0x10000;
    } else {
        return kReplacement;
    }
    if (text.size() - pos < length) {
        return kReplacement;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) {
            return kReplacement;
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return kReplacement;
    }
    pos += length;
    return c;
}

}  // namespace

std::string NarrowFromName(const std::array<char16_t, 32>& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size() && name[i] != 0; ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = U' ';
        }
        std::string encoded;
        AppendUtf8(encoded, c);
        if (out.size() + encoded.size() > kNarrowNameBytes) {
            break;
        }
        out += encoded;
    }
    return out;
}

std::array<char16_t, 32> NameFromNarrow(std::string_view text) {
    std::array<char16_t, 32> name{};
    std::size_t units = 0;
    std::size_t pos = 0;
    while (pos < text.size() && text[pos] != '\0') {
        const char32_t c = DecodeUtf8(text, pos);
        if (c >= 0x10000) {
            if (units + 2 > name.size() - 1) {
                break;
            }
            name[units++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            name[units++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            if (units + 1 > name.size() - 1) {
                break;
            }
            name[units++] = static_cast<char16_t>(c);
        }
    }
    return name;
}
