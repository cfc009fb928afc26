#pragma once

#include <cstdint>

#include "platform/SystemTime.h"

// A local date-time as days since 1899-12-30 00:00, the time of day as the
// fraction: 1900-01-01 18:00 is 2.75. The schedule keeps its instants in this
// form and counts the differences between them in whole units.
struct LocalDateTime {
    double days = 0;
    // False when the calendar fields it came from name no real date-time.
    bool valid = false;
};

// Half a second in days: the rounding step of every whole-unit difference.
constexpr double kHalfSecondInDays = 5.787037037037037e-06;

// The date-time of a local calendar time, milliseconds included; the day of
// the week is ignored.
LocalDateTime LocalDateTimeFrom(const SYSTEMTIME& local);

// A difference of date-times, in days (later minus earlier is positive), in
// whole units: rounded to the nearest second, halves away from zero, then
// truncated toward zero. 59.4 s gives 59 seconds and 0 minutes; -3600 s
// gives -3600 seconds and -60 minutes.
int64_t WholeSeconds(double differenceDays);
int64_t WholeMinutes(double differenceDays);
int64_t WholeDays(double differenceDays);
