#include "timezone/TimeZoneCheck.h"

TimeZoneQuery QueryCheckedTimeZone(const TimeZoneStore& store, Prompts& prompts) {
    TimeZoneQuery result = store.query();
    if (result.status == TIME_ZONE_ID_INVALID) {
        prompts.Show(
            {"Tidewell error", "Bad system time zone information", PromptIcon::Warning, PromptButtons::Ok});
    }
    return result;
}

void CheckTimeZone(const TimeZoneStore& store, Prompts& prompts, TIME_ZONE_INFORMATION& startZone) {
    startZone = QueryCheckedTimeZone(store, prompts).info;
}
