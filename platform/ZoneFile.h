#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The one place where the system's zone is: /etc/localtime.
inline constexpr const char* kSystemZonePath = "/etc/localtime";
// The time-zone database whose zones the system zone links to.
inline constexpr const char* kZoneDatabasePath = "/usr/share/zoneinfo";

// Replaces the file at path by bytes, atomically: a new file (mode 0644) beside
// it, synced, then renamed over the path. A symbolic link at the path is
// replaced by the file, never written through. False with errno set on failure;
// the path is then untouched.
bool ReplaceFileAtomically(const std::string& path, std::span<const uint8_t> bytes);

// Makes path a symbolic link to target, atomically in the same way: the link
// is made beside it and renamed over the path. False with errno set on failure.
bool ReplaceWithLinkAtomically(const std::string& path, const std::string& target);

// At most maxBytes of a regular file, opened without blocking; false with
// errno set when it cannot be read, is larger, or is no regular file (EINVAL).
bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::vector<uint8_t>& out);
