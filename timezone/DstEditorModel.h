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

// A change of the system's zone that OK or "Restore from First Start" asks for:
// a rule to write, or else a zone of the database to put back by its name.
struct DstZoneChange {
    std::optional<TIME_ZONE_INFORMATION> record;
    std::string name;
    // OK tells the user when the change fails; the restore says nothing.
    bool reportFailure = false;

    bool operator==(const DstZoneChange&) const = default;
};

// What the DST editor dialog shows and does; the dialog only moves texts
// between its widgets and this model and acts on the results.
class DstEditorModel {
public:
    static constexpr const char* kStandardName = "User standard DST";
    static constexpr const char* kDaylightName = "User daylight DST";

    // Loads the system's zone; when it cannot be read, shows the box of the
    // zone check and keeps every number at 0. "Restore from First Start" puts
    // back the database zone startZoneName while the database still has it,
    // otherwise the record startZone.
    DstEditorModel(TimeZoneStore& store, Prompts& prompts, const TIME_ZONE_INFORMATION& startZone,
                   std::string startZoneName = {});

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
        bool close = false;             // the dialog closes (with OK), once the change is done
        std::optional<DstField> focus;  // the field to focus when it stays open
        // What to apply; none when the rules taken over are those in force, so
        // that nothing is written and no password asked for.
        std::optional<DstZoneChange> change;
    };
    // Takes the texts over; shows the message of a refused field.
    OkResult TakeOverForOk(const DstFieldTexts& texts);
    // What "Restore from First Start" applies; the dialog closes with OK after it.
    DstZoneChange RestoreChange() const;

    // Makes the change. It may wait for a password: the dialog runs it away
    // from the window's thread, and it touches nothing but the store.
    bool Apply(const DstZoneChange& change);
    // After Apply, on the window's thread: "Time zone information setting
    // error" when an OK's change failed.
    void Finish(const DstZoneChange& change, bool done);

    // The whole of OK, and of "Restore from First Start", in one call.
    OkResult Ok(const DstFieldTexts& texts);
    void RestoreFromFirstStart();

private:
    TimeZoneStore& m_store;
    Prompts& m_prompts;
    TIME_ZONE_INFORMATION m_startZone;
    std::string m_startZoneName;
    std::array<int32_t, kDstFieldCount> m_values{};
};
