#include "timezone/DstEditorModel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/LinuxTimeZoneStore.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/FakeTimeZoneStore.h"
#include "tests/support/TempFolder.h"
#include "tests/support/ZoneRecords.h"
#include "timezone/NameConversion.h"

namespace {

const PromptRequest kIntegerMessage{"Tidewell", "Please enter an integer.", PromptIcon::Warning,
                                    PromptButtons::Ok};

PromptRequest RangeMessage(const char* text) {
    return {"Tidewell", text, PromptIcon::Warning, PromptButtons::Ok};
}

TIME_ZONE_INFORMATION NewYork() {
    TIME_ZONE_INFORMATION tzi;
    tzi.Bias = 300;
    tzi.StandardName = NameFromNarrow("EST");
    tzi.StandardDate = Rule(11, 1, 0, 2);
    tzi.DaylightName = NameFromNarrow("EDT");
    tzi.DaylightDate = Rule(3, 2, 0, 2, 30);
    tzi.DaylightBias = -60;
    return tzi;
}

TIME_ZONE_INFORMATION WithEditorNames(TIME_ZONE_INFORMATION tzi) {
    tzi.StandardName = NameFromNarrow("User standard DST");
    tzi.DaylightName = NameFromNarrow("User daylight DST");
    return tzi;
}

TEST(DstEditorModelTest, LoadsTheZoneAndOkAppliesChangesWithTheFixedNames) {
    TIME_ZONE_INFORMATION zone = NewYork();
    // Fields outside the rule form are not loaded.
    zone.StandardDate.wSecond = 30;
    zone.DaylightDate.wMilliseconds = 500;
    FakeTimeZoneStore store(TIME_ZONE_ID_DAYLIGHT, zone);
    FakePrompts prompts;
    DstEditorModel model(store, prompts, TIME_ZONE_INFORMATION{});
    const DstFieldTexts expected = {"300", "User standard DST", "11", "1", "0", "2", "0",
                                    "0",   "User daylight DST", "3",  "2", "0", "2", "30",
                                    "-60"};
    EXPECT_EQ(model.Texts(), expected);
    EXPECT_EQ(prompts.Count(), 0u);

    // The rules in force, taken over unchanged, are not written again.
    auto result = model.Ok(model.Texts());
    EXPECT_TRUE(result.close);
    EXPECT_FALSE(result.change.has_value());
    EXPECT_TRUE(store.Applied().empty());

    DstFieldTexts texts = model.Texts();
    texts[static_cast<std::size_t>(DstField::DaylightWeek)] = "1";
    result = model.Ok(texts);
    EXPECT_TRUE(result.close);
    EXPECT_FALSE(result.focus.has_value());
    TIME_ZONE_INFORMATION changed = WithEditorNames(NewYork());
    changed.DaylightDate.wDay = 1;
    ASSERT_EQ(store.Applied().size(), 1u);
    EXPECT_EQ(store.Applied()[0], changed);
    EXPECT_EQ(prompts.Count(), 0u);
}

TEST(DstEditorModelTest, ABadZoneLoadsZerosAfterTheWarning) {
    FakeTimeZoneStore store;
    FakePrompts prompts;
    DstEditorModel model(store, prompts, TIME_ZONE_INFORMATION{});
    EXPECT_EQ(model.Texts(), (DstFieldTexts{"0", "User standard DST", "0", "0", "0", "0", "0", "0",
                                            "User daylight DST", "0", "0", "0", "0", "0", "0"}));
    ASSERT_EQ(prompts.Count(), 1u);
    EXPECT_EQ(prompts.Shown()[0].text, "Bad system time zone information");
    EXPECT_EQ(prompts.Shown()[0].title, "Tidewell error");
}

TEST(DstEditorModelTest, EveryBoundOfEveryField) {
    const struct {
        DstField field;
        int32_t min;
        int32_t max;
        const char* message;
    } fields[] = {
        {DstField::Bias, -1440, 1440, "Please enter an integer between -1440 and 1440."},
        {DstField::StandardMonth, 0, 12, "Please enter an integer between 0 and 12."},
        {DstField::StandardWeek, 0, 5, "Please enter an integer between 0 and 5."},
        {DstField::StandardWeekday, 0, 6, "Please enter an integer between 0 and 6."},
        {DstField::StandardHour, 0, 23, "Please enter an integer between 0 and 23."},
        {DstField::StandardMinute, 0, 59, "Please enter an integer between 0 and 59."},
        {DstField::StandardBias, -1440, 1440, "Please enter an integer between -1440 and 1440."},
        {DstField::DaylightMonth, 1, 12, "Please enter an integer between 1 and 12."},
        {DstField::DaylightWeek, 1, 5, "Please enter an integer between 1 and 5."},
        {DstField::DaylightWeekday, 0, 6, "Please enter an integer between 0 and 6."},
        {DstField::DaylightHour, 0, 23, "Please enter an integer between 0 and 23."},
        {DstField::DaylightMinute, 0, 59, "Please enter an integer between 0 and 59."},
        {DstField::DaylightBias, -1440, 1440, "Please enter an integer between -1440 and 1440."},
    };
    FakeTimeZoneStore store(TIME_ZONE_ID_STANDARD, NewYork());
    for (const auto& f : fields) {
        const auto range = DstFieldRangeOf(f.field);
        ASSERT_TRUE(range.has_value());
        EXPECT_EQ(range->min, f.min);
        EXPECT_EQ(range->max, f.max);
        for (const int32_t value : {f.min - 1, f.min, f.max, f.max + 1}) {
            FakePrompts prompts;
            DstEditorModel model(store, prompts, TIME_ZONE_INFORMATION{});
            DstFieldTexts texts = model.Texts();
            texts[static_cast<std::size_t>(f.field)] = std::to_string(value);
            const bool inRange = value >= f.min && value <= f.max;
            const auto failed = model.TakeOver(texts);
            if (inRange) {
                EXPECT_FALSE(failed.has_value()) << f.message << " " << value;
                EXPECT_EQ(model.Value(f.field), value);
                EXPECT_EQ(prompts.Count(), 0u);
            } else {
                EXPECT_EQ(failed, f.field) << value;
                ASSERT_EQ(prompts.Count(), 1u);
                EXPECT_EQ(prompts.Shown()[0], RangeMessage(f.message));
            }
        }
    }
    EXPECT_FALSE(DstFieldRangeOf(DstField::StandardName).has_value());
    EXPECT_FALSE(DstFieldRangeOf(DstField::DaylightName).has_value());
}

TEST(DstEditorModelTest, TextsThatAreNotWholeNumbers) {
    FakeTimeZoneStore store(TIME_ZONE_ID_STANDARD, NewYork());
    const struct {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"", std::nullopt},
        {" ", std::nullopt},
        {"-", std::nullopt},
        {"+", std::nullopt},
        {"1.5", std::nullopt},
        {"1e2", std::nullopt},
        {"0x10", std::nullopt},
        {"12abc", std::nullopt},
        {"1 2", std::nullopt},
        {"--1", std::nullopt},
        {"٣", std::nullopt},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {" 60 ", 60},
        {"+60", 60},
        {"-0060", -60},
        {"\t-1440\n", -1440},
    };
    for (const auto& c : cases) {
        FakePrompts prompts;
        DstEditorModel model(store, prompts, TIME_ZONE_INFORMATION{});
        DstFieldTexts texts = model.Texts();
        texts[static_cast<std::size_t>(DstField::DaylightBias)] = c.text;
        const auto failed = model.TakeOver(texts);
        if (c.value) {
            EXPECT_FALSE(failed.has_value()) << c.text;
            EXPECT_EQ(model.Value(DstField::DaylightBias), *c.value);
        } else {
            EXPECT_EQ(failed, DstField::DaylightBias) << c.text;
            ASSERT_EQ(prompts.Count(), 1u);
            EXPECT_EQ(prompts.Shown()[0], kIntegerMessage) << c.text;
        }
    }
    // Huge numbers that are whole are out of range rather than not numbers.
    FakePrompts prompts;
    DstEditorModel model(store, prompts, TIME_ZONE_INFORMATION{});
    DstFieldTexts texts = model.Texts();
    texts[static_cast<std::size_t>(DstField::Bias)] = "2147483647";
    EXPECT_EQ(model.TakeOver(texts), DstField::Bias);
    EXPECT_EQ(prompts.Shown()[0].text, "Please enter an integer between -1440 and 1440.");
}

TEST(DstEditorModelTest, TheFirstBadFieldStopsTheTakingOverAndNothingIsApplied) {
    FakeTimeZoneStore store(TIME_ZONE_ID_STANDARD, NewYork());
    FakePrompts prompts;
    DstEditorModel model(store, prompts, TIME_ZONE_INFORMATION{});
    DstFieldTexts texts = model.Texts();
    texts[static_cast<std::size_t>(DstField::StandardHour)] = "x";
    texts[static_cast<std::size_t>(DstField::DaylightMonth)] = "13";
    const auto result = model.Ok(texts);
    EXPECT_FALSE(result.close);
    EXPECT_EQ(result.focus, DstField::StandardHour);
    EXPECT_EQ(prompts.Shown(), std::vector<PromptRequest>{kIntegerMessage});
    EXPECT_TRUE(store.Applied().empty());
}

TEST(DstEditorModelTest, AZoneWithoutDaylightSavingIsRefusedOnTheDaylightMonth) {
    TIME_ZONE_INFORMATION kolkata;
    kolkata.Bias = -330;
    kolkata.StandardName = NameFromNarrow("IST");
    FakeTimeZoneStore store(TIME_ZONE_ID_UNKNOWN, kolkata);
    FakePrompts prompts;
    TIME_ZONE_INFORMATION startZone = NewYork();
    DstEditorModel model(store, prompts, startZone);
    const auto result = model.Ok(model.Texts());
    EXPECT_FALSE(result.close);
    EXPECT_EQ(result.focus, DstField::DaylightMonth);
    EXPECT_EQ(prompts.Shown(),
              std::vector<PromptRequest>{RangeMessage("Please enter an integer between 1 and 12.")});
    EXPECT_TRUE(store.Applied().empty());

    // Standard month and week 0 pass once the daylight side names a rule; the zone
    // applied has no daylight saving.
    DstFieldTexts texts = model.Texts();
    texts[static_cast<std::size_t>(DstField::DaylightMonth)] = "3";
    texts[static_cast<std::size_t>(DstField::DaylightWeek)] = "5";
    EXPECT_TRUE(model.Ok(texts).close);
    ASSERT_EQ(store.Applied().size(), 1u);
    EXPECT_EQ(store.Applied()[0].StandardDate.wMonth, 0);
    EXPECT_EQ(store.Applied()[0].Bias, -330);

    // "Restore from First Start" is still there.
    model.RestoreFromFirstStart();
    ASSERT_EQ(store.Applied().size(), 2u);
    EXPECT_EQ(store.Applied()[1], startZone);
}

TEST(DstEditorModelTest, AbsoluteDatesLoadTheirDayIntoTheWeekField) {
    TIME_ZONE_INFORMATION zone = NewYork();
    zone.DaylightDate = {2025, 3, 5, 21, 0, 0, 0, 0};  // Friday 21 March 2025
    zone.StandardDate = {2025, 9, 1, 3, 0, 0, 0, 0};   // Monday 3 September 2025 (as recorded)
    FakeTimeZoneStore store(TIME_ZONE_ID_STANDARD, zone);
    FakePrompts prompts;
    DstEditorModel model(store, prompts, TIME_ZONE_INFORMATION{});
    EXPECT_EQ(model.Value(DstField::DaylightWeek), 21);
    auto result = model.Ok(model.Texts());
    EXPECT_EQ(result.focus, DstField::DaylightWeek);
    EXPECT_EQ(prompts.Shown().back(), RangeMessage("Please enter an integer between 1 and 5."));

    DstFieldTexts texts = model.Texts();
    texts[static_cast<std::size_t>(DstField::DaylightWeek)] = "4";
    result = model.Ok(texts);
    EXPECT_TRUE(result.close);
    ASSERT_EQ(store.Applied().size(), 1u);
    // The year is dropped: the day 1..5 is applied as a week number.
    EXPECT_EQ(store.Applied()[0].DaylightDate, Rule(3, 4, 5, 0));
    EXPECT_EQ(store.Applied()[0].StandardDate, Rule(9, 3, 1, 0));
}

TEST(DstEditorModelTest, AFailedApplyIsToldAndTheEditorCloses) {
    FakeTimeZoneStore store(TIME_ZONE_ID_STANDARD, NewYork());
    store.FailApplies(true);
    FakePrompts prompts;
    DstEditorModel model(store, prompts, TIME_ZONE_INFORMATION{});
    DstFieldTexts texts = model.Texts();
    texts[static_cast<std::size_t>(DstField::Bias)] = "360";
    const auto result = model.Ok(texts);
    EXPECT_TRUE(result.close);
    EXPECT_EQ(prompts.Shown(),
              std::vector<PromptRequest>{RangeMessage("Time zone information setting error")});
    // The zone itself is unchanged.
    EXPECT_EQ(store.query().info, NewYork());
}

TEST(DstEditorModelTest, RestoreFromFirstStartAppliesTheStartZoneAsItIsAndSaysNothing) {
    FakeTimeZoneStore store(TIME_ZONE_ID_STANDARD, NewYork());
    store.FailApplies(true);
    FakePrompts prompts;
    DstEditorModel model(store, prompts, TIME_ZONE_INFORMATION{});
    model.RestoreFromFirstStart();
    ASSERT_EQ(store.Applied().size(), 1u);
    EXPECT_EQ(store.Applied()[0], TIME_ZONE_INFORMATION{});
    EXPECT_EQ(prompts.Count(), 0u);
}

// The editor on a real zone file linked into the database: OK without a
// change writes nothing; an edit writes a file; "Restore from First Start"
// links the recorded zone again, or applies the record when no name was
// recorded or the database no longer has it.
TEST(DstEditorModelTest, OnAZoneFile) {
    const std::string database = std::string(TIDEWELL_TEST_DATA_DIR) + "/zoneinfo";
    const struct {
        const char* startZoneName;
        bool linked;
    } cases[] = {{"America/New_York", true}, {"", false}, {"America/Atlantis", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.startZoneName);
        TempFolder dir;
        const std::string zone = dir / "localtime";
        ASSERT_EQ(symlink((database + "/America/New_York").c_str(), zone.c_str()), 0);
        FakeClock clock({DaysFromCivil(2025, 7, 1) * 86400, 0});
        LinuxTimeZoneStore store(clock, zone, nullptr, std::nullopt, database);
        const TimeZoneQuery original = store.query();
        FakePrompts prompts;
        DstEditorModel model(store, prompts, original.info, c.startZoneName);
        EXPECT_TRUE(model.Ok(model.Texts()).close);
        EXPECT_EQ(store.zoneName(), "America/New_York") << "OK without a change wrote the zone";

        DstFieldTexts texts = model.Texts();
        texts[static_cast<std::size_t>(DstField::DaylightWeek)] = "1";
        EXPECT_TRUE(model.Ok(texts).close);
        EXPECT_FALSE(std::filesystem::is_symlink(zone));
        EXPECT_EQ(store.query().info.DaylightDate.wDay, 1);

        model.RestoreFromFirstStart();
        EXPECT_EQ(std::filesystem::is_symlink(zone), c.linked);
        EXPECT_EQ(store.zoneName(), c.linked ? "America/New_York" : "");
        EXPECT_EQ(store.query().info, original.info);
        EXPECT_EQ(prompts.Count(), 0u);
    }
}

}  // namespace
