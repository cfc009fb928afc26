#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "platform/SystemClock.h"

// Keeps the automatic requests of the whole program apart, whatever path they
// take (SNTP, NTS): no address is sent more than one automatic request within
// the spacing (15 s; public servers shut out clients that ask more often), and
// an address that answered with a kiss-o'-death is left alone for a minute,
// then twice as long at each further kiss, until it answers usably again.
// What the user starts by hand is not paced. Time is the clock's monotonic
// reading. Thread-safe.
class RequestPacer {
public:
    static constexpr std::chrono::seconds kSpacing{15};
    static constexpr std::chrono::seconds kFirstKissHold{60};
    static constexpr std::chrono::hours kLongestKissHold{24};

    // spacing 0: only kiss-o'-death holds apply.
    explicit RequestPacer(const SystemClock& clock, std::chrono::nanoseconds spacing = kSpacing);
    RequestPacer(const RequestPacer&) = delete;
    RequestPacer& operator=(const RequestPacer&) = delete;

    // True, noting a request to address as sent now, when address may be
    // asked now; false, noting nothing, while it is held.
    bool TakeTurn(const std::string& address);
    // What address answered: a kiss-o'-death doubles its hold; a usable
    // answer ends it.
    void Kissed(const std::string& address);
    void Answered(const std::string& address);

private:
    struct Entry {
        std::chrono::nanoseconds freeAt{0};
        std::chrono::nanoseconds kissHold{0};
    };

    const SystemClock& m_clock;
    const std::chrono::nanoseconds m_spacing;
    std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};
