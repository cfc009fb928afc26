#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/TimeZoneInformation.h"

// The privileged helper that writes the system zone for a user without the
// right to: it takes the record (its 172-byte stored form) on standard input,
// checks every field, and writes the system zone path and nothing else.

constexpr int kZoneHelperDone = 0;
constexpr int kZoneHelperWriteFailed = 1;
constexpr int kZoneHelperRefused = 2;

// The record, or nullopt unless the input is exactly one stored record whose
// every field passes the checks of the zone writer.
std::optional<TIME_ZONE_INFORMATION> ParseZoneHelperInput(std::span<const uint8_t> input);

// The helper's whole run. It takes no arguments at all, so that nobody can
// point it at another file: any argument is refused before input is read.
// The record is read from inputFd; zonePath is fixed by the caller
// (the system zone path in the installed helper). Returns the exit code.
int RunZoneHelper(const std::vector<std::string>& args, int inputFd, const std::string& zonePath);
