#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Prompts.h"
#include "platform/TimeZoneStore.h"

// The fifteen values of the DST editor, in the order they are taken over.
enum class DstField {
    Bias,
    StandardName,
    StandardMonth,
    StandardWeek,
    StandardWeekday,
    StandardHour,
    StandardMinute,
    StandardBias,
    DaylightName,
    DaylightMonth,
    DaylightWeek,
    DaylightWeekday,
    DaylightHour,
    DaylightMinute,
    DaylightBias,
};
constexpr std::size_t kDstFieldCount = 15;

struct DstFieldRange {
    int32_t min;
    int32_t max;
};

// The range a number field accepts; nullopt for the two (read-only) names.
std::optional<DstFieldRange> DstFieldRangeOf(DstField field);

using DstFieldTexts = std::array<std::string, kDstFieldCount>;

// What the DST editor dialog shows and does; the dialog only moves texts
// between its widgets and this model and acts on the results.
class DstEditorModel {
public:
    static constexpr const char* kStandardName = "User standard DST";
    static constexpr const char* kDaylightName = "User daylight DST";

    // Loads the system's zone; when it cannot be read, shows the box of the
    // zone check and keeps every number at 0. startZone is what "Restore from
    // First Start" puts back.
    DstEditorModel(TimeZoneStore& store, Prompts& prompts, const TIME_ZONE_INFORMATION& startZone);

    // A number value (0 for the names).
    int32_t Value(DstField field) const;
    // What a field shows: the number in decimal, or the fixed name.
    std::string Text(DstField field) const;
    DstFieldTexts Texts() const;

    // Takes the fields' texts over in order. At the first text that is not a
    // whole number ("Please enter an integer.") or lies out of its range
    // ("Please enter an integer between %1 and %2.") shows the message and
    // returns that field, for the dialog to focus and select; the values taken
    // over before it are kept. nullopt when every field passed.
    std::optional<DstField> TakeOver(const DstFieldTexts& texts);

    // The record OK applies: the values, both change dates in rule form, the fixed names.
    TIME_ZONE_INFORMATION Record() const;

    struct OkResult {
        bool close = false;             // the dialog closes (with OK)
        std::optional<DstField> focus;  // the field to focus when it stays open
    };
    // Takes the texts over; on success applies the record, saying "Time zone
    // information setting error" when that fails, and closes either way.
    OkResult Ok(const DstFieldTexts& texts);

    // Applies the start zone unchanged, says nothing whatever the outcome; the
    // dialog then closes with OK.
    void RestoreFromFirstStart();

private:
    TimeZoneStore& m_store;
    Prompts& m_prompts;
    TIME_ZONE_INFORMATION m_startZone;
    std::array<int32_t, kDstFieldCount> m_values{};
};
