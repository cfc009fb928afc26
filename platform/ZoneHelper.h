#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PosixTimeZone.h"
#include "platform/TimeZoneInformation.h"

// The privileged helper that writes the system zone for a user without the
// right to: it takes on standard input either the record (its 172-byte stored
// form), checks every field, and writes the rule over the zone path, keeping
// the zone's past; or the name of a zone of the database after the prefix
// below, and makes the zone path a link to that zone again. It writes the
// system zone path and nothing else.

constexpr int kZoneHelperDone = 0;
constexpr int kZoneHelperWriteFailed = 1;
constexpr int kZoneHelperRefused = 2;

// The record, or nullopt unless the input is exactly one stored record whose
// every field passes the checks of the zone writer.
std::optional<TIME_ZONE_INFORMATION> ParseZoneHelperInput(std::span<const uint8_t> input);

constexpr std::string_view kZoneHelperNamePrefix = "zone:";
// The input that names a database zone.
std::vector<uint8_t> ZoneHelperNameInput(const std::string& name);

// Whether name is a zone of the database folder: a relative path of letters,
// digits and "._+-", without empty, "." or ".." parts, naming a TZif file
// that lies inside the database once every link is followed and is neither
// zonePath nor reached through it. "localtime" and "posixrules" never name a zone.
bool IsDatabaseZone(const std::string& database, const std::string& name, const std::string& zonePath);
// The name of the database zone the zone path links to ("Europe/Berlin"); ""
// when it is no link, or links to no zone of the database.
std::string ZoneNameOfLink(const std::string& zonePath, const std::string& database);

// The zone file an edit writes: the rule, keeping the past of the zone at
// zonePath up to the start of the current year when that file can be read.
std::vector<uint8_t> BuildEditedZone(const std::string& zonePath, const PosixTz& rule, int64_t nowUtcSeconds);

// The helper's whole run. It takes no arguments at all, so that nobody can
// point it at another file: any argument is refused before input is read.
// The input is read from inputFd; zonePath and database are fixed by the
// caller (the system's in the installed helper), nowUtcSeconds is the clock's.
// Only a file or a link at zonePath is replaced: anything else there (a FIFO,
// a folder) is a failed write, and nothing at the path is opened blocking.
// Returns the exit code.
int RunZoneHelper(const std::vector<std::string>& args, int inputFd, const std::string& zonePath,
                  const std::string& database, int64_t nowUtcSeconds);
