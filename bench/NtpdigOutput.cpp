#include "bench/NtpdigOutput.h"

#include <cstdlib>
#include <regex>

namespace {

std::optional<double> Number(const std::string& text, const std::regex& pattern) {
    std::smatch match;
    if (!std::regex_search(text, match, pattern)) {
        return std::nullopt;
    }
    const std::string digits = match[1].str();
    char* end = nullptr;
    const double value = std::strtod(digits.c_str(), &end);
    if (end != digits.c_str() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<NtpdigSample> ParseNtpdigOutput(const std::string& text) {
    static const std::regex kOffset("\\{[^\\n]*\"offset\":([-+]?[0-9.eE+-]+)");
    static const std::regex kT21("rec-org t21:\\s*([-+]?[0-9.eE+-]+)");
    static const std::regex kT34("xmt-dst t34:\\s*([-+]?[0-9.eE+-]+)");
    const auto offset = Number(text, kOffset);
    const auto t21 = Number(text, kT21);
    const auto t34 = Number(text, kT34);
    if (!offset || !t21 || !t34) {
        return std::nullopt;
    }
    return NtpdigSample{*offset, *t21 - *t34};
}
