#pragma once

#include <string>

#include "platform/SystemTime.h"

// The record of the last successful synchronisation. The program keeps one; the
// synchronisation state owns it and guards it with its own lock, Settings loads
// and stores it.
struct LastAttempt {
    // Local time read when the run began, before the server was asked. Only
    // hour, minute, second and milliseconds are stored.
    SYSTEMTIME timeBefore{};
    // Local time just after the clock was set and shifted by the user's offset.
    // Only hour, minute, second and milliseconds are stored.
    SYSTEMTIME timeAfter{};
    // The local date of timeAfter. Only year, month and day are stored; a year of
    // 0 (or 1899) means that no synchronisation has been recorded.
    SYSTEMTIME syncDate{};
    // The status line shown in the main window.
    std::string statusText;

    bool operator==(const LastAttempt&) const = default;
};
