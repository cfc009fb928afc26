#include "platform/SystemClock.h"

#include <cerrno>
#include <ctime>

#include "platform/LastError.h"

bool SystemClock::SetSystemTime(const SYSTEMTIME& utc) {
    if (!IsValidSystemTime(utc)) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    return Set(ClockFromSystemTime(utc));
}

std::chrono::nanoseconds SystemClock::Monotonic() const {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

ClockTime LinuxSystemClock::Now() const {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return {ts.tv_sec, static_cast<int32_t>(ts.tv_nsec)};
}

bool LinuxSystemClock::Set(const ClockTime& utc) {
    const timespec ts{static_cast<time_t>(utc.seconds), utc.nanoseconds};
    if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
        SetLastError(static_cast<uint32_t>(errno));
        return false;
    }
    return true;
}

SYSTEMTIME LinuxSystemClock::ToLocal(const ClockTime& utc) const {
    const time_t t = static_cast<time_t>(utc.seconds);
    tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        return SystemTimeFromClock(utc);
    }
    return SystemTimeFromClock({static_cast<int64_t>(utc.seconds) + local.tm_gmtoff, utc.nanoseconds});
}

std::optional<ClockTime> LinuxSystemClock::FromLocal(const SYSTEMTIME& local) const {
    tm fields{};
    fields.tm_year = local.wYear - 1900;
    fields.tm_mon = local.wMonth - 1;
    fields.tm_mday = local.wDay;
    fields.tm_hour = local.wHour;
    fields.tm_min = local.wMinute;
    fields.tm_sec = local.wSecond;
    fields.tm_isdst = -1;
    errno = 0;
    const time_t t = mktime(&fields);
    if (t == static_cast<time_t>(-1) && errno != 0) {
        return std::nullopt;
    }
    return ClockTime{static_cast<int64_t>(t), static_cast<int32_t>(local.wMilliseconds) * 1000000};
}
