#include "core/RequestPacer.h"

#include <algorithm>

RequestPacer::RequestPacer(const SystemClock& clock, std::chrono::nanoseconds spacing)
    : m_clock(clock), m_spacing(spacing) {}

bool RequestPacer::TakeTurn(const std::string& address) {
    const std::chrono::nanoseconds now = m_clock.Monotonic();
    std::lock_guard lock(m_mutex);
    // Addresses past their hold and never kissed are forgotten, so that the
    // table holds only the last few seconds' addresses.
    std::erase_if(m_entries, [now](const auto& entry) {
        return entry.second.kissHold.count() == 0 && entry.second.freeAt <= now;
    });
    Entry& entry = m_entries[address];
    if (now < entry.freeAt) {
        return false;
    }
    entry.freeAt = now + m_spacing;
    return true;
}

void RequestPacer::Kissed(const std::string& address) {
    const std::chrono::nanoseconds now = m_clock.Monotonic();
    std::lock_guard lock(m_mutex);
    Entry& entry = m_entries[address];
    entry.kissHold = entry.kissHold.count() == 0
                         ? std::chrono::nanoseconds(kFirstKissHold)
                         : std::min<std::chrono::nanoseconds>(entry.kissHold * 2, kLongestKissHold);
    entry.freeAt = std::max(entry.freeAt, now + entry.kissHold);
}

void RequestPacer::Answered(const std::string& address) {
    std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(address);
    if (found != m_entries.end()) {
        found->second.kissHold = std::chrono::nanoseconds(0);
    }
}
