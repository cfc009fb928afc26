#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

// What a running process has used so far, read from /proc.
struct ProcessUsage {
    double cpuSeconds = 0;    // user + system time since it started
    long residentKb = 0;      // VmRSS: resident memory now
    long peakResidentKb = 0;  // VmHWM: the most it has held resident
};

// utime + stime in clock ticks from the text of /proc/<pid>/stat. The command
// name in parentheses may hold spaces and parentheses of its own, so the fields
// are counted from the last ')'.
std::optional<uint64_t> CpuTicksFromStat(const std::string& statText);
// A "Name:   1234 kB" line of /proc/<pid>/status, in kB.
std::optional<long> StatusFieldKb(const std::string& statusText, const std::string& name);

// Empty when the process has gone or /proc cannot be read.
std::optional<ProcessUsage> ReadProcessUsage(pid_t pid);
