#pragma once

#include <optional>
#include <string>

// One exchange as the reference client saw it.
struct NtpdigSample {
    double offsetSeconds = 0;  // positive when the local clock is behind the server
    double delaySeconds = 0;   // round trip without the server's hold time
};

// Reads the output of `ntpdig -d -d -j` for one server and one sample: the
// offset from the JSON line (present only when the reply was accepted), the
// delay from the debug line "rec-org t21: A  xmt-dst t34: B" (T2-T1 and
// T3-T4), as A - B. Empty when either is missing.
std::optional<NtpdigSample> ParseNtpdigOutput(const std::string& text);
