#pragma once

#include <string>
#include <string_view>

// The one switch the command line carries: the window opens hidden, only the
// notification-area icon shows. It counts only as the last seven characters
// of the whole command line, exactly in this case.
inline constexpr std::string_view kStartUpSwitch = "StartUp";

// The whole command line as the system reports it: the process's arguments,
// program path first, joined by single blanks. The kernel keeps them as
// NUL-terminated strings in `cmdlinePath`. Empty when it cannot be read.
std::string ReadCommandLine(const std::string& cmdlinePath = "/proc/self/cmdline");

// The kernel's NUL-terminated argument strings joined by blanks. Only the final
// terminator is dropped, so an empty last argument still leaves a blank.
std::string JoinCommandLine(std::string_view nulTerminated);

// Whether the joined command line ends with kStartUpSwitch.
bool IsStartUpCommandLine(const std::string& joined);
