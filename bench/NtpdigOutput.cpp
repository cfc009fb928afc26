#include "bench/NtpdigOutput.h"

#include <cstdlib>

namespace {

// The number that follows the first occurrence of key on a line that holds
// marker, with nothing but spaces between.
std::optional<double> NumberAfter(const std::string& text, const std::string& marker,
                                  const std::string& key) {
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = text.size();
        }
        const std::string line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        const std::size_t at = line.find(key);
        if (line.find(marker) == std::string::npos || at == std::string::npos) {
            continue;
        }
        const char* start = line.c_str() + at + key.size();
        char* end = nullptr;
        const double value = std::strtod(start, &end);
        if (end == start) {
            return std::nullopt;
        }
        return value;
    }
    return std::nullopt;
}

}  // namespace

std::optional<NtpdigSample> ParseNtpdigOutput(const std::string& text) {
    const auto offset = NumberAfter(text, "{", "\"offset\":");
    const auto t21 = NumberAfter(text, "rec-org", "t21:");
    const auto t34 = NumberAfter(text, "xmt-dst", "t34:");
    if (!offset || !t21 || !t34) {
        return std::nullopt;
    }
    return NtpdigSample{*offset, *t21 - *t34};
}
