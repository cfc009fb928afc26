// tidewell-zone-survey [DATABASE]: the DST editor over the whole time-zone
// database (default /usr/share/zoneinfo), each zone on a link in a folder of
// its own, with the C library as the judge. Prints its figures; the exit code
// is 1 when one that should be zero is not. Nothing outside its folders is written.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/LinuxTimeZoneStore.h"
#include "platform/SystemTime.h"
#include "platform/TzifFile.h"
#include "platform/ZoneFile.h"
#include "platform/ZoneRecord.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/GlibcZone.h"
#include "tests/support/TempFolder.h"
#include "timezone/DstEditorModel.h"

namespace {

std::vector<std::string> DatabaseZones(const std::string& database) {
    std::ifstream in(database + "/tzdata.zi");
    std::vector<std::string> zones;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, first, second;
        words >> kind >> first >> second;
        if (kind == "Z") {
            zones.push_back(first);
        } else if (kind == "L") {
            zones.push_back(second);
        }
    }
    return zones;
}

// Days from `from` to `until` on which the C library's offset differs between two zone files.
std::set<int64_t> DaysThatDiffer(const std::string& a, const std::string& b, int64_t until,
                                 int64_t from = 0) {
    std::vector<long> offsets;
    {
        const GlibcZone zone(a);
        for (int64_t t = from; t < until; t += 6 * 3600) {
            offsets.push_back(zone.At(t).utOffsetSeconds);
        }
    }
    const GlibcZone zone(b);
    std::set<int64_t> days;
    std::size_t i = 0;
    for (int64_t t = from; t < until; t += 6 * 3600, ++i) {
        if (zone.At(t).utOffsetSeconds != offsets[i]) {
            days.insert(t / 86400);
        }
    }
    return days;
}

// The file the editor wrote before it kept the past: the zone's own rule over 1970-2037.
std::string OneRuleFile(const TempFolder& dir, const TIME_ZONE_INFORMATION& record) {
    const std::string path = dir / "one-rule";
    const auto rule = PosixTzFromRecord(record);
    if (rule) {
        ReplaceFileAtomically(path, BuildTzif(*rule));
    }
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    const char* database = argc > 1 ? argv[1] : "/usr/share/zoneinfo";
    bool ok = true;
    const int64_t now = FakeClock::FollowingRealTime(0).Now().seconds;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(now / 86400, year, month, day);
    const int64_t yearStart = DaysFromCivil(year, 1, 1) * 86400 - 86400;  // a day before, for every offset
    const std::vector<std::string> zones = DatabaseZones(database);
    int rewritten = 0;
    std::vector<std::string> ruleFormShort;
    for (const std::string& name : zones) {
        TempFolder dir;
        const std::string path = dir / "localtime";
        const std::string target = std::string(database) + "/" + name;
        if (symlink(target.c_str(), path.c_str()) != 0) {
            return 2;
        }
        FakeClock clock({now, 0});
        LinuxTimeZoneStore store(clock, path, nullptr, std::nullopt, database);
        FakePrompts prompts;
        DstEditorModel model(store, prompts, store.query().info, name);
        model.Ok(model.Texts());
        rewritten += !std::filesystem::is_symlink(path) || std::filesystem::read_symlink(path) != target;
        // Years 2025-2060 that a rewrite with the zone's own rule would have changed.
        std::set<int64_t> years;
        if (store.query().status != TIME_ZONE_ID_INVALID) {
            for (const int64_t d :
                 DaysThatDiffer(target, OneRuleFile(dir, store.query().info),
                                DaysFromCivil(2061, 1, 1) * 86400, DaysFromCivil(2025, 1, 1) * 86400)) {
                int64_t y = 0;
                unsigned m = 0, dd = 0;
                CivilFromDays(d, y, m, dd);
                years.insert(y);
            }
        }
        if (!years.empty()) {
            ruleFormShort.push_back(name + " (" + std::to_string(years.size()) + ")");
        }
    }
    std::printf("OK without a change: %d of %zu zones rewritten\n", rewritten, zones.size());
    std::printf("zones whose own rule, rewritten, would differ in years 2025-2060 (years): %zu:",
                ruleFormShort.size());
    for (const std::string& zone : ruleFormShort) {
        std::printf(" %s", zone.c_str());
    }
    std::printf("\n");
    ok = ok && rewritten == 0;

    for (const char* name :
         {"America/New_York", "Europe/Berlin", "Australia/Sydney", "Africa/Casablanca", "Asia/Gaza"}) {
        TempFolder dir;
        const std::string path = dir / "localtime";
        const std::string target = std::string(database) + "/" + name;
        if (symlink(target.c_str(), path.c_str()) != 0) {
            return 2;
        }
        FakeClock clock({now, 0});
        LinuxTimeZoneStore store(clock, path, nullptr, std::nullopt, database);
        const TIME_ZONE_INFORMATION start = store.query().info;
        FakePrompts prompts;
        DstEditorModel model(store, prompts, start, name);
        // An edit: daylight time a week later (or, without one, the EU rule).
        DstFieldTexts texts = model.Texts();
        texts[static_cast<std::size_t>(DstField::DaylightMonth)] = "3";
        texts[static_cast<std::size_t>(DstField::DaylightWeek)] =
            model.Value(DstField::DaylightWeek) == 5 ? "4" : "5";
        if (model.Value(DstField::StandardMonth) == 0) {
            texts[static_cast<std::size_t>(DstField::StandardMonth)] = "10";
            texts[static_cast<std::size_t>(DstField::StandardWeek)] = "5";
            texts[static_cast<std::size_t>(DstField::DaylightBias)] = "-60";
        }
        if (!model.Ok(texts).change) {
            std::printf("%s: the edit was not taken\n", name);
            return 2;
        }
        const std::size_t oneRule = DaysThatDiffer(target, OneRuleFile(dir, start), yearStart).size();
        const std::size_t edited = DaysThatDiffer(target, path, yearStart).size();
        // The restore without a recorded name applies the record.
        DstEditorModel unnamed(store, prompts, start);
        unnamed.RestoreFromFirstStart();
        const std::size_t restoredByRecord = DaysThatDiffer(target, path, yearStart).size();
        model.RestoreFromFirstStart();
        const bool linked = std::filesystem::read_symlink(path) == target;
        // Standard or daylight time against the C library, every 6 hours over 2025-2030.
        int samples = 0, disagreements = 0;
        const GlibcZone glibc(target);
        for (int64_t t = DaysFromCivil(2025, 1, 1) * 86400; t < DaysFromCivil(2031, 1, 1) * 86400;
             t += 6 * 3600) {
            clock.Set({t, 0});
            ++samples;
            disagreements += (store.query().status == TIME_ZONE_ID_DAYLIGHT) != glibc.At(t).isDst;
        }
        std::printf(
            "%-18s days 1970-%lld whose offset changed: one-rule file %zu, edit %zu, restore by "
            "record %zu; restore by name links again: %s; status disagreements: %d of %d\n",
            name, static_cast<long long>(year - 1), oneRule, edited, restoredByRecord, linked ? "yes" : "no",
            disagreements, samples);
        ok = ok && edited == 0 && restoredByRecord == 0 && linked && disagreements == 0;
    }
    return ok ? 0 : 1;
}
