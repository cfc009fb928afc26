#include "ui/CDSTDlg.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>

#include "tests/support/FakeHelp.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/FakeTimeZoneStore.h"
#include "timezone/NameConversion.h"

namespace {

// Central European rules: back to standard time on the last Sunday of October
// at 03:00, to daylight time on the last Sunday of March at 02:00.
TIME_ZONE_INFORMATION EuropeanZone() {
    TIME_ZONE_INFORMATION tzi{};
    tzi.Bias = -60;
    tzi.StandardName = NameFromNarrow("CET");
    tzi.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
    tzi.DaylightName = NameFromNarrow("CEST");
    tzi.DaylightDate = {0, 3, 0, 5, 2, 0, 0, 0};
    tzi.DaylightBias = -60;
    return tzi;
}

struct DstFixture {
    explicit DstFixture(const TIME_ZONE_INFORMATION& zone, uint32_t status = TIME_ZONE_ID_STANDARD)
        : zones(status, zone) {}

    std::unique_ptr<CDSTDlg> Open() {
        auto dialog = std::make_unique<CDSTDlg>(zones, prompts, help, startZone, startZoneName);
        dialog->show();
        dialog->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
        return dialog;
    }

    FakeTimeZoneStore zones;
    FakePrompts prompts;
    FakeHelp help;
    TIME_ZONE_INFORMATION startZone{};
    std::string startZoneName;
};

QLineEdit* Field(QWidget& dialog, const char* name) {
    auto* field = dialog.findChild<QLineEdit*>(name);
    EXPECT_NE(field, nullptr) << name;
    return field;
}

void Click(QWidget& dialog, const char* name) {
    QTest::mouseClick(dialog.findChild<QPushButton*>(name), Qt::LeftButton);
}

// The change runs on a thread of its own; the dialog closes when it is done.
bool WaitUntilClosed(QWidget& dialog) {
    return QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000);
}

PromptRequest RangeBox(int low, int high) {
    return {"Tidewell",
            "Please enter an integer between " + std::to_string(low) + " and " + std::to_string(high) + ".",
            PromptIcon::Warning, PromptButtons::Ok};
}

}  // namespace

TEST(CDSTDlgTest, ShowsARuleFormZoneAndAppliesChangesWithTheFixedNames) {
    DstFixture f(EuropeanZone());
    auto dialog = f.Open();
    const std::vector<std::pair<const char*, const char*>> shown = {
        {"IDC_BIAS", "-60"},
        {"IDC_STANDARD_NAME", "User standard DST"},
        {"IDC_STANDARD_MONTH", "10"},
        {"IDC_STANDARD_WEEK", "5"},
        {"IDC_STANDARD_WEEKDAY", "0"},
        {"IDC_STANDARD_HOUR", "3"},
        {"IDC_STANDARD_MINUTE", "0"},
        {"IDC_STANDARD_BIAS", "0"},
        {"IDC_DAYLIGHT_NAME", "User daylight DST"},
        {"IDC_DAYLIGHT_MONTH", "3"},
        {"IDC_DAYLIGHT_WEEK", "5"},
        {"IDC_DAYLIGHT_WEEKDAY", "0"},
        {"IDC_DAYLIGHT_HOUR", "2"},
        {"IDC_DAYLIGHT_MINUTE", "0"},
        {"IDC_DAYLIGHT_BIAS", "-60"},
    };
    for (const auto& [name, text] : shown) {
        EXPECT_EQ(Field(*dialog, name)->text(), text) << name;
    }
    EXPECT_TRUE(Field(*dialog, "IDC_STANDARD_NAME")->isReadOnly());
    EXPECT_TRUE(Field(*dialog, "IDC_DAYLIGHT_NAME")->isReadOnly());

    // The rules in force are not written again.
    Click(*dialog, "IDOK");
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(f.zones.Applied().empty());

    dialog = f.Open();
    Field(*dialog, "IDC_STANDARD_HOUR")->setText("2");
    Click(*dialog, "IDOK");
    ASSERT_TRUE(WaitUntilClosed(*dialog));
    EXPECT_EQ(f.prompts.Count(), 0u);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    TIME_ZONE_INFORMATION expected = EuropeanZone();
    expected.StandardName = NameFromNarrow("User standard DST");
    expected.DaylightName = NameFromNarrow("User daylight DST");
    expected.StandardDate.wHour = 2;
    ASSERT_EQ(f.zones.Applied().size(), 1u);
    EXPECT_EQ(f.zones.Applied()[0], expected);
}

TEST(CDSTDlgTest, ZoneWithoutDaylightSavingIsRefusedAtTheDaylightMonthButCanBeRestored) {
    TIME_ZONE_INFORMATION noDst{};
    noDst.Bias = -330;
    DstFixture f(noDst, TIME_ZONE_ID_UNKNOWN);
    f.startZone = EuropeanZone();
    auto dialog = f.Open();

    Click(*dialog, "IDOK");
    ASSERT_EQ(f.prompts.Count(), 1u);
    EXPECT_EQ(f.prompts.Shown()[0], RangeBox(1, 12));
    QLineEdit* month = Field(*dialog, "IDC_DAYLIGHT_MONTH");
    EXPECT_TRUE(month->hasFocus());
    EXPECT_EQ(month->selectedText(), "0");
    EXPECT_TRUE(f.zones.Applied().empty());
    EXPECT_TRUE(dialog->isVisible());

    Click(*dialog, "IDC_RESTORE_FIRST_START");
    ASSERT_TRUE(WaitUntilClosed(*dialog));
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    ASSERT_EQ(f.zones.Applied().size(), 1u);
    EXPECT_EQ(f.zones.Applied()[0], EuropeanZone()) << "the start zone as it stands, names included";
    EXPECT_EQ(f.prompts.Count(), 1u);
}

TEST(CDSTDlgTest, BiasIsAcceptedUpToADayEitherWay) {
    struct Case {
        const char* field;
        const char* text;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"IDC_BIAS", "-1440", true},           {"IDC_BIAS", "1440", true},
        {"IDC_BIAS", "-1441", false},          {"IDC_BIAS", "1441", false},
        {"IDC_STANDARD_BIAS", "1441", false},  {"IDC_DAYLIGHT_BIAS", "-1440", true},
        {"IDC_DAYLIGHT_BIAS", "-1441", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " = " + c.text);
        DstFixture f(EuropeanZone());
        auto dialog = f.Open();
        Field(*dialog, c.field)->setText(c.text);
        Click(*dialog, "IDOK");
        if (c.accepted) {
            ASSERT_TRUE(WaitUntilClosed(*dialog));
            EXPECT_EQ(f.prompts.Count(), 0u);
            ASSERT_EQ(f.zones.Applied().size(), 1u);
            const TIME_ZONE_INFORMATION& applied = f.zones.Applied()[0];
            const int32_t bias = std::string(c.field) == "IDC_BIAS" ? applied.Bias : applied.DaylightBias;
            EXPECT_EQ(bias, std::stoi(c.text));
        } else {
            ASSERT_EQ(f.prompts.Count(), 1u);
            EXPECT_EQ(f.prompts.Shown()[0], RangeBox(-1440, 1440));
            EXPECT_TRUE(Field(*dialog, c.field)->hasFocus());
            EXPECT_TRUE(f.zones.Applied().empty());
        }
    }
}

TEST(CDSTDlgTest, FailedApplyIsReportedAndClosesAndHelpOpensItsPage) {
    DstFixture f(EuropeanZone());
    f.zones.FailApplies(true);
    auto dialog = f.Open();
    Click(*dialog, "IDC_HELP");
    EXPECT_EQ(f.help.Pages(), std::vector<HelpPage>{HelpPage::DstDlg});
    Field(*dialog, "IDC_BIAS")->setText("-120");
    Click(*dialog, "IDOK");
    ASSERT_TRUE(WaitUntilClosed(*dialog));
    ASSERT_EQ(f.prompts.Count(), 1u);
    EXPECT_EQ(f.prompts.Shown()[0].text, "Time zone information setting error");
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_FALSE(dialog->isVisible());
}

TEST(CDSTDlgTest, WhileTheChangeWaitsTheWindowRunsAndRefusesASecondOne) {
    DstFixture f(EuropeanZone());
    f.zones.SetApplyDelay(std::chrono::milliseconds(600));
    auto dialog = f.Open();
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
    tick.start(50);
    Field(*dialog, "IDC_DAYLIGHT_HOUR")->setText("1");
    Click(*dialog, "IDOK");
    EXPECT_TRUE(dialog->IsWaiting());
    EXPECT_TRUE(dialog->findChild<QWidget*>("IDC_WAITING")->isVisible());
    for (const char* button : {"IDOK", "IDCANCEL", "IDC_RESTORE_FIRST_START"}) {
        EXPECT_FALSE(dialog->findChild<QPushButton*>(button)->isEnabled()) << button;
    }
    // Neither a second OK, nor Escape, nor the restore starts or stops anything.
    dialog->accept();
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    dialog->reject();
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_TRUE(WaitUntilClosed(*dialog));
    EXPECT_GE(ticks, 6) << "the window's thread was held up";
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(f.zones.Applied().size(), 1u);
    EXPECT_TRUE(f.zones.AppliedNames().empty());
}
