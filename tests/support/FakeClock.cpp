#include "tests/support/FakeClock.h"

#include <cstdlib>
#include <ctime>

#include "platform/LastError.h"

namespace {

ClockTime RealNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return {ts.tv_sec, static_cast<int32_t>(ts.tv_nsec)};
}

}  // namespace

FakeClock::FakeClock(ClockTime utc) : m_frozen(utc) {}

FakeClock::FakeClock(const FakeClock& other) {
    std::lock_guard lock(other.m_mutex);
    m_following = other.m_following;
    m_frozen = other.m_frozen;
    m_offsetSeconds = other.m_offsetSeconds;
    m_localOffsetSeconds = other.m_localOffsetSeconds;
    m_monotonic = other.m_monotonic;
    m_failWith = other.m_failWith;
    m_sets = other.m_sets;
    m_onSet = other.m_onSet;
}

FakeClock FakeClock::FollowingRealTime(double offsetSeconds) {
    FakeClock clock;
    clock.m_following = true;
    clock.m_offsetSeconds = offsetSeconds;
    return clock;
}

ClockTime FakeClock::Now() const {
    std::lock_guard lock(m_mutex);
    return m_following ? AddSecondsTo(RealNow(), m_offsetSeconds) : m_frozen;
}

bool FakeClock::Set(const ClockTime& utc) {
    std::function<void(const ClockTime&)> observer;
    {
        std::lock_guard lock(m_mutex);
        observer = m_onSet;
    }
    if (observer) {
        observer(utc);
    }
    std::lock_guard lock(m_mutex);
    if (m_failWith != 0) {
        SetLastError(m_failWith);
        return false;
    }
    m_sets.push_back(utc);
    if (m_following) {
        m_offsetSeconds = SecondsBetween(utc, RealNow());
    } else {
        m_frozen = utc;
    }
    return true;
}

SYSTEMTIME FakeClock::ToLocal(const ClockTime& utc) const {
    std::lock_guard lock(m_mutex);
    if (m_systemZone) {
        return LinuxSystemClock().ToLocal(utc);
    }
    return SystemTimeFromClock({utc.seconds + m_localOffsetSeconds, utc.nanoseconds});
}

std::optional<ClockTime> FakeClock::FromLocal(const SYSTEMTIME& local) const {
    std::lock_guard lock(m_mutex);
    if (m_systemZone) {
        return LinuxSystemClock().FromLocal(local);
    }
    ClockTime t = ClockFromSystemTime(local);
    t.seconds -= m_localOffsetSeconds;
    return t;
}

std::chrono::nanoseconds FakeClock::Monotonic() const {
    std::lock_guard lock(m_mutex);
    return m_monotonic;
}

void FakeClock::Advance(double seconds) {
    std::lock_guard lock(m_mutex);
    m_monotonic +=
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
    if (m_following) {
        m_offsetSeconds += seconds;
    } else {
        m_frozen = AddSecondsTo(m_frozen, seconds);
    }
}

void FakeClock::SetLocalOffset(int seconds) {
    std::lock_guard lock(m_mutex);
    m_localOffsetSeconds = seconds;
}

void FakeClock::UseSystemZone() {
    std::lock_guard lock(m_mutex);
    m_systemZone = true;
}

void FakeClock::FailSets(uint32_t errorCode) {
    std::lock_guard lock(m_mutex);
    m_failWith = errorCode;
}

std::vector<ClockTime> FakeClock::Sets() const {
    std::lock_guard lock(m_mutex);
    return m_sets;
}

double FakeClock::OffsetFromRealSeconds() const {
    std::lock_guard lock(m_mutex);
    return m_following ? m_offsetSeconds : SecondsBetween(m_frozen, RealNow());
}

void FakeClock::OnSet(std::function<void(const ClockTime& utc)> observer) {
    std::lock_guard lock(m_mutex);
    m_onSet = std::move(observer);
}

ScopedZone::ScopedZone(const std::string& zoneFile) {
    if (const char* old = std::getenv("TZ")) {
        m_old = old;
    }
    setenv("TZ", (":" + zoneFile).c_str(), 1);
    tzset();
}

ScopedZone::~ScopedZone() {
    if (m_old) {
        setenv("TZ", m_old->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}
