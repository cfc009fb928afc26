#include "core/LocalDateTime.h"

namespace {

// Days from 1970-01-01 back to 1899-12-30.
constexpr int64_t kEpochDaysOf18991230 = -25569;

int64_t Whole(double differenceDays, double unitsPerDay) {
    const double rounded =
        differenceDays >= 0 ? differenceDays + kHalfSecondInDays : differenceDays - kHalfSecondInDays;
    // The conversion truncates toward zero.
    return static_cast<int64_t>(rounded * unitsPerDay);
}

}  // namespace

LocalDateTime LocalDateTimeFrom(const SYSTEMTIME& local) {
    if (!IsValidSystemTime(local)) {
        return {};
    }
    const int64_t days = DaysFromCivil(local.wYear, local.wMonth, local.wDay) - kEpochDaysOf18991230;
    const double secondsOfDay =
        local.wHour * 3600.0 + local.wMinute * 60.0 + local.wSecond + local.wMilliseconds / 1000.0;
    return {static_cast<double>(days) + secondsOfDay / 86400.0, true};
}

int64_t WholeSeconds(double differenceDays) {
    return Whole(differenceDays, 86400.0);
}

int64_t WholeMinutes(double differenceDays) {
    return Whole(differenceDays, 1440.0);
}

int64_t WholeDays(double differenceDays) {
    return Whole(differenceDays, 1.0);
}
