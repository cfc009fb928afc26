#pragma once

#include <cstdint>

// One option as it is stored and edited: its value name, the value it takes
// when the stored one is absent or out of range, and the range the Options
// dialog lets the user enter. Settings applies the range when it loads, the
// dialog when it takes its values over, so a hand-edited file can hold
// nothing the dialog would refuse.
struct OptionRange {
    const char* name;
    int32_t loadDefault;
    int32_t min;
    int32_t max;

    constexpr bool Contains(int32_t value) const { return value >= min && value <= max; }
    // value when it lies in the range, the load default otherwise.
    constexpr int32_t Checked(int32_t value) const { return Contains(value) ? value : loadDefault; }
};

// When the program synchronises on its own: the values nSynPeriod holds, as stored.
namespace SyncPeriod {

inline constexpr int32_t kDaily = 0;
inline constexpr int32_t kAtStartUp = 1;
inline constexpr int32_t kHourly = 2;
inline constexpr int32_t kOnlyManual = 3;

}  // namespace SyncPeriod

namespace OptionRanges {

inline constexpr OptionRange kSynPeriod{"nSynPeriod", SyncPeriod::kDaily, SyncPeriod::kDaily,
                                        SyncPeriod::kOnlyManual};
inline constexpr OptionRange kShowIcon{"bShowIcon", 1, 0, 1};
inline constexpr OptionRange kExitAfter{"bExitAfter", 1, 0, 1};
// The dialog enters the shift as minutes and seconds with a sign.
inline constexpr OptionRange kOffsetMinutes{"minutes", 0, -10, 10};
inline constexpr OptionRange kOffsetSeconds{"seconds", 0, -59, 59};
inline constexpr OptionRange kOffset{"nOffset", 0, kOffsetMinutes.min * 60 + kOffsetSeconds.min,
                                     kOffsetMinutes.max * 60 + kOffsetSeconds.max};
inline constexpr OptionRange kMaxDays{"nMaxDays", 14, 0, 45};
inline constexpr OptionRange kTimeOut{"nTimeOut", 20, 20, 300};
inline constexpr OptionRange kMaxDiff{"nMaxDiff", 61, 0, 1000000};
inline constexpr OptionRange kFirstStart{"bFirstStart", 1, 0, 1};
inline constexpr OptionRange kOnlyNts{"bOnlyNts", 0, 0, 1};
inline constexpr OptionRange kConfirmLarge{"bConfirmLarge", 1, 0, 1};

}  // namespace OptionRanges
