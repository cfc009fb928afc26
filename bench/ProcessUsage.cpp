#include "bench/ProcessUsage.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::optional<std::string> ReadWhole(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<uint64_t> CpuTicksFromStat(const std::string& statText) {
    const std::size_t nameEnd = statText.rfind(')');
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    // After the name: state (field 3), ..., utime (field 14), stime (field 15).
    std::istringstream fields(statText.substr(nameEnd + 1));
    std::vector<std::string> after;
    std::string field;
    while (after.size() < 13 && fields >> field) {
        after.push_back(field);
    }
    if (after.size() < 13) {
        return std::nullopt;
    }
    try {
        std::size_t used = 0;
        const uint64_t user = std::stoull(after[11], &used);
        if (used != after[11].size()) {
            return std::nullopt;
        }
        const uint64_t system = std::stoull(after[12], &used);
        if (used != after[12].size()) {
            return std::nullopt;
        }
        return user + system;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<long> StatusFieldKb(const std::string& statusText, const std::string& name) {
    std::istringstream lines(statusText);
    std::string line;
    const std::string key = name + ":";
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0) {
            continue;
        }
        std::istringstream value(line.substr(key.size()));
        long kb = 0;
        std::string unit;
        if (value >> kb >> unit && unit == "kB") {
            return kb;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<ProcessUsage> ReadProcessUsage(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid);
    const auto stat = ReadWhole(folder + "/stat");
    const auto status = ReadWhole(folder + "/status");
    if (!stat || !status) {
        return std::nullopt;
    }
    const auto ticks = CpuTicksFromStat(*stat);
    const auto resident = StatusFieldKb(*status, "VmRSS");
    const auto peak = StatusFieldKb(*status, "VmHWM");
    // A zombie has neither memory line.
    if (!ticks || !resident || !peak) {
        return std::nullopt;
    }
    ProcessUsage usage;
    usage.cpuSeconds = static_cast<double>(*ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    usage.residentKb = *resident;
    usage.peakResidentKb = *peak;
    return usage;
}
