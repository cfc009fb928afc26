#include "timezone/DstEditorModel.h"

#include "timezone/NameConversion.h"
#include "timezone/TimeZoneCheck.h"

namespace {

constexpr const char* kAppTitle = "Tidewell";

std::size_t Index(DstField field) {
    return static_cast<std::size_t>(field);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// A whole decimal number, blanks allowed around it.
std::optional<int32_t> ParseInteger(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    std::size_t digits = begin;
    if (digits < end && (text[digits] == '+' || text[digits] == '-')) {
        ++digits;
    }
    if (digits == end) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (std::size_t i = digits; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX + int64_t{1}) {
            return std::nullopt;
        }
    }
    if (text[begin] == '-') {
        value = -value;
    }
    if (value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

void PutDate(SYSTEMTIME& date, int32_t month, int32_t week, int32_t weekday, int32_t hour, int32_t minute) {
    // The validation keeps every value within 16 bits.
    date = SYSTEMTIME{};
    date.wMonth = static_cast<uint16_t>(month);
    date.wDay = static_cast<uint16_t>(week);
    date.wDayOfWeek = static_cast<uint16_t>(weekday);
    date.wHour = static_cast<uint16_t>(hour);
    date.wMinute = static_cast<uint16_t>(minute);
}

// The numbers the editor shows for a zone: wYear, wSecond and wMilliseconds
// do not belong to the rule form and are dropped.
std::array<int32_t, kDstFieldCount> ValuesOf(const TIME_ZONE_INFORMATION& tzi) {
    std::array<int32_t, kDstFieldCount> values{};
    const auto set = [&values](DstField field, int32_t value) { values[Index(field)] = value; };
    set(DstField::Bias, tzi.Bias);
    set(DstField::StandardMonth, tzi.StandardDate.wMonth);
    set(DstField::StandardWeek, tzi.StandardDate.wDay);
    set(DstField::StandardWeekday, tzi.StandardDate.wDayOfWeek);
    set(DstField::StandardHour, tzi.StandardDate.wHour);
    set(DstField::StandardMinute, tzi.StandardDate.wMinute);
    set(DstField::StandardBias, tzi.StandardBias);
    set(DstField::DaylightMonth, tzi.DaylightDate.wMonth);
    set(DstField::DaylightWeek, tzi.DaylightDate.wDay);
    set(DstField::DaylightWeekday, tzi.DaylightDate.wDayOfWeek);
    set(DstField::DaylightHour, tzi.DaylightDate.wHour);
    set(DstField::DaylightMinute, tzi.DaylightDate.wMinute);
    set(DstField::DaylightBias, tzi.DaylightBias);
    return values;
}

}  // namespace

std::optional<DstFieldRange> DstFieldRangeOf(DstField field) {
    switch (field) {
        case DstField::Bias:
        case DstField::StandardBias:
        case DstField::DaylightBias:
            return DstFieldRange{-1440, 1440};
        case DstField::StandardName:
        case DstField::DaylightName:
            return std::nullopt;
        case DstField::StandardMonth:
            return DstFieldRange{0, 12};
        case DstField::StandardWeek:
            return DstFieldRange{0, 5};
        case DstField::DaylightMonth:
            return DstFieldRange{1, 12};
        case DstField::DaylightWeek:
            return DstFieldRange{1, 5};
        case DstField::StandardWeekday:
        case DstField::DaylightWeekday:
            return DstFieldRange{0, 6};
        case DstField::StandardHour:
        case DstField::DaylightHour:
            return DstFieldRange{0, 23};
        case DstField::StandardMinute:
        case DstField::DaylightMinute:
            return DstFieldRange{0, 59};
    }
    return std::nullopt;
}

DstEditorModel::DstEditorModel(TimeZoneStore& store, Prompts& prompts, const TIME_ZONE_INFORMATION& startZone,
                               std::string startZoneName)
    : m_store(store), m_prompts(prompts), m_startZone(startZone), m_startZoneName(std::move(startZoneName)) {
    const TimeZoneQuery zone = QueryCheckedTimeZone(store, m_prompts);
    if (zone.status != TIME_ZONE_ID_INVALID) {
        m_values = ValuesOf(zone.info);
    }
}

int32_t DstEditorModel::Value(DstField field) const {
    return m_values[Index(field)];
}

std::string DstEditorModel::Text(DstField field) const {
    if (field == DstField::StandardName) {
        return kStandardName;
    }
    if (field == DstField::DaylightName) {
        return kDaylightName;
    }
    return std::to_string(Value(field));
}

DstFieldTexts DstEditorModel::Texts() const {
    DstFieldTexts texts;
    for (std::size_t i = 0; i < kDstFieldCount; ++i) {
        texts[i] = Text(static_cast<DstField>(i));
    }
    return texts;
}

std::optional<DstField> DstEditorModel::TakeOver(const DstFieldTexts& texts) {
    for (std::size_t i = 0; i < kDstFieldCount; ++i) {
        const auto field = static_cast<DstField>(i);
        const auto range = DstFieldRangeOf(field);
        if (!range) {
            continue;  // the names are fixed
        }
        const auto value = ParseInteger(texts[i]);
        if (!value) {
            m_prompts.Show({kAppTitle, "Please enter an integer.", PromptIcon::Warning, PromptButtons::Ok});
            return field;
        }
        if (*value < range->min || *value > range->max) {
            m_prompts.Show({kAppTitle,
                            "Please enter an integer between " + std::to_string(range->min) + " and " +
                                std::to_string(range->max) + ".",
                            PromptIcon::Warning, PromptButtons::Ok});
            return field;
        }
        m_values[i] = *value;
    }
    return std::nullopt;
}

TIME_ZONE_INFORMATION DstEditorModel::Record() const {
    TIME_ZONE_INFORMATION tzi{};
    tzi.Bias = Value(DstField::Bias);
    PutDate(tzi.StandardDate, Value(DstField::StandardMonth), Value(DstField::StandardWeek),
            Value(DstField::StandardWeekday), Value(DstField::StandardHour), Value(DstField::StandardMinute));
    tzi.StandardBias = Value(DstField::StandardBias);
    PutDate(tzi.DaylightDate, Value(DstField::DaylightMonth), Value(DstField::DaylightWeek),
            Value(DstField::DaylightWeekday), Value(DstField::DaylightHour), Value(DstField::DaylightMinute));
    tzi.DaylightBias = Value(DstField::DaylightBias);
    tzi.StandardName = NameFromNarrow(kStandardName);
    tzi.DaylightName = NameFromNarrow(kDaylightName);
    return tzi;
}

DstEditorModel::OkResult DstEditorModel::TakeOverForOk(const DstFieldTexts& texts) {
    if (const auto failed = TakeOver(texts)) {
        return {false, failed, std::nullopt};
    }
    // Rewriting the zone in force with the same rules would still replace the
    // database's zone (its past, its names, what its rule string cannot say).
    const TimeZoneQuery inForce = m_store.query();
    if (inForce.status != TIME_ZONE_ID_INVALID && ValuesOf(inForce.info) == m_values) {
        return {true, std::nullopt, std::nullopt};
    }
    return {true, std::nullopt, DstZoneChange{Record(), {}, true}};
}

DstZoneChange DstEditorModel::RestoreChange() const {
    if (!m_startZoneName.empty() && m_store.hasNamedZone(m_startZoneName)) {
        return {std::nullopt, m_startZoneName, false};
    }
    return {m_startZone, {}, false};
}

bool DstEditorModel::Apply(const DstZoneChange& change) {
    // The right to change the zone is the store's to gain (directly or through its helper).
    return change.record ? m_store.apply(*change.record) : m_store.applyNamed(change.name);
}

void DstEditorModel::Finish(const DstZoneChange& change, bool done) {
    if (!done && change.reportFailure) {
        m_prompts.Show(
            {kAppTitle, "Time zone information setting error", PromptIcon::Warning, PromptButtons::Ok});
    }
}

DstEditorModel::OkResult DstEditorModel::Ok(const DstFieldTexts& texts) {
    OkResult result = TakeOverForOk(texts);
    if (result.change) {
        Finish(*result.change, Apply(*result.change));
    }
    return result;
}

void DstEditorModel::RestoreFromFirstStart() {
    const DstZoneChange change = RestoreChange();
    Finish(change, Apply(change));
}
