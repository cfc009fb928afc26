#include "ui/CParamDlg.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <tuple>

#include "tests/support/FakeHelp.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/FakeTimeZoneStore.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TempSettings.h"
#include "tests/support/ZoneRecords.h"
#include "timezone/DstInfo.h"
#include "ui/CDSTDlg.h"
#include "ui/SpinEdit.h"
#include "ui/TrayIcon.h"

namespace {

class RecordingTray final : public TrayPlatform {
public:
    explicit RecordingTray(std::vector<TrayAction>& log) : m_log(log) {}
    bool Available() const override { return true; }
    void Notify(TrayAction action, const QIcon&, const QString&) override { m_log.push_back(action); }

private:
    std::vector<TrayAction>& m_log;
};

TIME_ZONE_INFORMATION RuleZone(int32_t biasMinutes) {
    TIME_ZONE_INFORMATION tzi{};
    tzi.Bias = biasMinutes;
    tzi.StandardDate = Rule(10, 5, 0, 3);
    tzi.DaylightDate = Rule(3, 5, 0, 2);
    tzi.DaylightBias = -60;
    return tzi;
}

PromptRequest Box(const std::string& text) {
    return {"Tidewell", text, PromptIcon::Warning, PromptButtons::Ok};
}

// Everything the dialog works with, in a temporary store.
struct OptionsFixture {
    OptionsFixture() : zones(TIME_ZONE_ID_STANDARD, RuleZone(-60)) {}

    // A dialog shown and active, so that the focus can be looked at.
    std::unique_ptr<CParamDlg> Open() {
        auto dialog = std::make_unique<CParamDlg>(temp.settings, tray, zones, prompts, help);
        dialog->show();
        dialog->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
        return dialog;
    }

    TempSettings temp;
    Settings& settings = temp.settings;
    FakeTimeZoneStore zones;
    FakePrompts prompts;
    FakeHelp help;
    std::vector<TrayAction> trayLog;
    TrayIcon tray{[this] { return settings.bShowIcon != 0; }, std::make_unique<RecordingTray>(trayLog)};
};

template <class T>
T* Find(QWidget& dialog, const char* name) {
    T* widget = dialog.findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

SpinEdit* Spin(QWidget& dialog, const char* name) {
    return Find<SpinEdit>(dialog, name);
}

void Click(QWidget& dialog, const char* name) {
    QTest::mouseClick(Find<QAbstractButton>(dialog, name), Qt::LeftButton);
}

bool Checked(QWidget& dialog, const char* name) {
    return Find<QAbstractButton>(dialog, name)->isChecked();
}

}  // namespace

TEST(CParamDlgTest, ShowsTheOffsetAsSignMinutesAndSecondsAndStoresItBack) {
    struct Case {
        const char* name;
        int32_t storedBefore;
        const char* minutes;
        const char* seconds;
        const char* sign;  // the button to click, or null to leave it
        int32_t storedAfter;
    };
    const std::vector<Case> cases = {
        {"unchanged backward", -90, nullptr, nullptr, nullptr, -90},
        {"negative minutes ahead", 0, "-5", "0", "IDC_AHEAD", -300},
        {"negative seconds ahead", 0, "1", "-30", "IDC_AHEAD", 30},
        {"backward", 0, "10", "59", "IDC_BACKWARD", -659},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OptionsFixture f;
        f.settings.nOffset = c.storedBefore;
        auto dialog = f.Open();
        if (c.storedBefore == -90) {
            EXPECT_TRUE(Checked(*dialog, "IDC_BACKWARD"));
            EXPECT_FALSE(Checked(*dialog, "IDC_AHEAD"));
            EXPECT_EQ(Spin(*dialog, "IDC_MINUTES")->Text(), "1");
            EXPECT_EQ(Spin(*dialog, "IDC_SECONDS")->Text(), "30");
        }
        if (c.minutes != nullptr) {
            Spin(*dialog, "IDC_MINUTES")->SetText(c.minutes);
            Spin(*dialog, "IDC_SECONDS")->SetText(c.seconds);
            Click(*dialog, c.sign);
        }
        Click(*dialog, "IDOK");
        EXPECT_EQ(f.prompts.Count(), 0u);
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        EXPECT_EQ(f.settings.nOffset, c.storedAfter);
        EXPECT_EQ(f.temp.Reloaded()->nOffset, c.storedAfter) << "saved by OK";
    }

    // -300 comes back as five minutes behind.
    OptionsFixture f;
    f.settings.nOffset = -300;
    auto dialog = f.Open();
    EXPECT_TRUE(Checked(*dialog, "IDC_BACKWARD"));
    EXPECT_EQ(Spin(*dialog, "IDC_MINUTES")->Text(), "5");
    EXPECT_EQ(Spin(*dialog, "IDC_SECONDS")->Text(), "0");
}

TEST(CParamDlgTest, HourlyClearsAndDisablesExitAfterAndLeavingItRestoresTheRememberedState) {
    OptionsFixture f;
    f.settings.nSynPeriod = 0;
    f.settings.bExitAfter = 1;
    auto dialog = f.Open();
    auto* exitAfter = Find<QAbstractButton>(*dialog, "IDC_EXIT_AFTER");
    ASSERT_TRUE(exitAfter->isChecked());

    Click(*dialog, "IDC_PERIOD_HOURLY");
    EXPECT_FALSE(exitAfter->isChecked());
    EXPECT_FALSE(exitAfter->isEnabled());
    // A second click on the selected button keeps what is remembered.
    Click(*dialog, "IDC_PERIOD_HOURLY");
    Click(*dialog, "IDC_PERIOD_DAILY");
    EXPECT_TRUE(exitAfter->isChecked());
    EXPECT_TRUE(exitAfter->isEnabled());

    // The user's own choice is what is remembered.
    Click(*dialog, "IDC_EXIT_AFTER");
    ASSERT_FALSE(exitAfter->isChecked());
    Click(*dialog, "IDC_PERIOD_HOURLY");
    Click(*dialog, "IDC_PERIOD_MANUAL");
    EXPECT_FALSE(exitAfter->isChecked());
    EXPECT_TRUE(exitAfter->isEnabled());
    EXPECT_EQ(f.prompts.Count(), 0u);

    // Opened hourly: cleared and disabled, and OK stores it cleared.
    OptionsFixture hourly;
    hourly.settings.nSynPeriod = 2;
    hourly.settings.bExitAfter = 1;
    auto hourlyDialog = hourly.Open();
    EXPECT_TRUE(Checked(*hourlyDialog, "IDC_PERIOD_HOURLY"));
    EXPECT_FALSE(Checked(*hourlyDialog, "IDC_EXIT_AFTER"));
    EXPECT_FALSE(Find<QAbstractButton>(*hourlyDialog, "IDC_EXIT_AFTER")->isEnabled());
    Click(*hourlyDialog, "IDOK");
    EXPECT_EQ(hourly.temp.Reloaded()->bExitAfter, 0);
    EXPECT_EQ(hourly.temp.Reloaded()->nSynPeriod, 2);
}

TEST(CParamDlgTest, RefusesAnOutOfRangeOrNonNumericFieldOnOkWithOneBoxAndTheFocusOnIt) {
    struct Case {
        const char* field;
        const char* text;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"IDC_MINUTES", "11", "Please enter an integer between -10 and 10."},
        {"IDC_SECONDS", "-60", "Please enter an integer between -59 and 59."},
        {"IDC_MAX_DAYS", "46", "Please enter an integer between 0 and 45."},
        {"IDC_TIMEOUT", "x", "Please enter an integer."},
        {"IDC_TIMEOUT", "19", "Please enter an integer between 20 and 300."},
        {"IDC_TIMEOUT", "301", "Please enter an integer between 20 and 300."},
        {"IDC_MAX_DIFF", "1000001", "Please enter an integer between 0 and 1000000."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " = " + c.text);
        OptionsFixture f;
        f.settings.SaveOptions();
        const std::string storedBefore = f.temp.StoredFile();
        auto dialog = f.Open();
        Spin(*dialog, "IDC_MINUTES")->SetText("3");
        Spin(*dialog, c.field)->SetText(c.text);
        Click(*dialog, "IDOK");

        ASSERT_EQ(f.prompts.Count(), 1u);
        EXPECT_EQ(f.prompts.Shown()[0], Box(c.message));
        EXPECT_TRUE(Spin(*dialog, c.field)->hasFocus());
        EXPECT_EQ(Spin(*dialog, c.field)->findChild<QLineEdit*>()->selectedText(), c.text);
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(f.settings.nOffset, 0);
        EXPECT_EQ(f.temp.StoredFile(), storedBefore);
        EXPECT_TRUE(f.trayLog.empty());
    }
}

TEST(CParamDlgTest, AcceptsEveryBoundAndReachesTheLargestDifferenceByItsSpinButton) {
    OptionsFixture f;
    auto dialog = f.Open();
    Spin(*dialog, "IDC_TIMEOUT")->SetText("20");
    Spin(*dialog, "IDC_MAX_DAYS")->SetText("45");
    SpinEdit* maxDiff = Spin(*dialog, "IDC_MAX_DIFF");
    maxDiff->SetText("999999");
    maxDiff->setFocus();
    QTest::keyClick(maxDiff, Qt::Key_Up);
    QTest::keyClick(maxDiff, Qt::Key_Up);
    EXPECT_EQ(maxDiff->Text(), "1000000");
    Click(*dialog, "IDOK");
    EXPECT_EQ(f.prompts.Count(), 0u);
    auto stored = f.temp.Reloaded();
    EXPECT_EQ(stored->nMaxDiff, 1000000);
    EXPECT_EQ(stored->nTimeOut, 20);
    EXPECT_EQ(stored->nMaxDays, 45);

    OptionsFixture top;
    auto topDialog = top.Open();
    Spin(*topDialog, "IDC_TIMEOUT")->SetText("300");
    Spin(*topDialog, "IDC_MAX_DIFF")->SetText("0");
    Click(*topDialog, "IDOK");
    EXPECT_EQ(top.prompts.Count(), 0u);
    EXPECT_EQ(top.settings.nTimeOut, 300);
    EXPECT_EQ(top.settings.nMaxDiff, 0);
}

TEST(CParamDlgTest, RestoreDefaultChangesSettingsAtOnceAndCancelDoesNotStoreIt) {
    OptionsFixture f;
    f.settings.nSynPeriod = 3;
    f.settings.nOffset = 125;
    f.settings.bShowIcon = 0;
    f.settings.bExitAfter = 0;
    f.settings.nMaxDays = 3;
    f.settings.nTimeOut = 40;
    f.settings.nMaxDiff = 5;
    f.settings.bOnlyNts = 1;
    f.settings.bConfirmLarge = 0;
    f.settings.SaveOptions();
    const std::string storedBefore = f.temp.StoredFile();

    auto dialog = f.Open();
    EXPECT_TRUE(Checked(*dialog, "IDC_ONLY_NTS"));
    Click(*dialog, "IDC_RESTORE_DEFAULT");
    // Only authenticated time goes with the server list, which stays too.
    EXPECT_TRUE(Checked(*dialog, "IDC_ONLY_NTS"));
    EXPECT_TRUE(Checked(*dialog, "IDC_CONFIRM_LARGE"));
    EXPECT_TRUE(Checked(*dialog, "IDC_PERIOD_DAILY"));
    EXPECT_TRUE(Checked(*dialog, "IDC_AHEAD"));
    EXPECT_EQ(Spin(*dialog, "IDC_MINUTES")->Text(), "0");
    EXPECT_EQ(Spin(*dialog, "IDC_SECONDS")->Text(), "0");
    EXPECT_TRUE(Checked(*dialog, "IDC_SHOW_ICON"));
    EXPECT_TRUE(Checked(*dialog, "IDC_EXIT_AFTER"));
    EXPECT_EQ(Spin(*dialog, "IDC_MAX_DAYS")->Text(), "14");
    EXPECT_EQ(Spin(*dialog, "IDC_TIMEOUT")->Text(), "20");
    EXPECT_EQ(Spin(*dialog, "IDC_MAX_DIFF")->Text(), "61");
    Click(*dialog, "IDCANCEL");

    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_EQ(f.settings.nSynPeriod, 0);
    EXPECT_EQ(f.settings.nOffset, 0);
    EXPECT_EQ(f.settings.nMaxDiff, 61);
    EXPECT_EQ(f.settings.bConfirmLarge, 1);
    EXPECT_EQ(f.temp.StoredFile(), storedBefore);
    EXPECT_TRUE(f.trayLog.empty());

    // Cleared and taken with OK, it is stored.
    dialog = f.Open();
    Find<QAbstractButton>(*dialog, "IDC_ONLY_NTS")->click();
    Find<QAbstractButton>(*dialog, "IDC_CONFIRM_LARGE")->click();
    Click(*dialog, "IDOK");
    LastAttempt unused;
    Settings stored(f.temp.store);
    stored.LoadAll(unused);
    EXPECT_EQ(stored.bOnlyNts.load(), 0);
    EXPECT_EQ(stored.bConfirmLarge.load(), 0);
}

TEST(CParamDlgTest, OkRemovesAndAddsTheTrayIconAtOnce) {
    OptionsFixture f;
    f.tray.Attach();
    ASSERT_TRUE(f.tray.Shown());
    f.trayLog.clear();

    auto dialog = f.Open();
    Click(*dialog, "IDC_SHOW_ICON");
    EXPECT_TRUE(f.trayLog.empty()) << "the box counts on OK only";
    Click(*dialog, "IDOK");
    EXPECT_EQ(f.trayLog, std::vector<TrayAction>{TrayAction::Delete});
    EXPECT_FALSE(f.tray.Shown());
    EXPECT_EQ(f.temp.Reloaded()->bShowIcon, 0);

    auto again = f.Open();
    EXPECT_FALSE(Checked(*again, "IDC_SHOW_ICON"));
    Click(*again, "IDC_SHOW_ICON");
    Click(*again, "IDOK");
    EXPECT_EQ(f.trayLog.back(), TrayAction::Add);
    EXPECT_TRUE(f.tray.Shown());
}

TEST(CParamDlgTest, EditDstShowsTheNewReportAfterwardsAndPutsBackTheHeldValues) {
    OptionsFixture f;
    f.settings.startZone = RuleZone(-120);
    f.settings.nOffset = 60;
    auto dialog = f.Open();
    auto* report = Find<QPlainTextEdit>(*dialog, "IDC_DST_INFO");
    const auto reportOf = [](const FakeTimeZoneStore& zones) {
        return QString::fromStdString(GetDSTInfoText(zones)).replace("\r\n", "\n");
    };
    EXPECT_EQ(report->toPlainText(), reportOf(f.zones));
    EXPECT_TRUE(report->isReadOnly());

    Spin(*dialog, "IDC_MINUTES")->SetText("7");
    bool editorSeen = false;
    QTimer::singleShot(0, [&] {
        auto* editor = qobject_cast<CDSTDlg*>(QApplication::activeModalWidget());
        editorSeen = editor != nullptr;
        if (editor != nullptr) {
            QTest::mouseClick(editor->findChild<QPushButton*>("IDC_RESTORE_FIRST_START"), Qt::LeftButton);
        }
    });
    Click(*dialog, "IDC_EDIT_DST");
    ASSERT_TRUE(editorSeen);
    ASSERT_EQ(f.zones.Applied().size(), 1u);
    EXPECT_EQ(f.zones.Applied()[0], RuleZone(-120));
    EXPECT_EQ(report->toPlainText(), reportOf(f.zones));
    EXPECT_TRUE(report->toPlainText().contains("Bias: -120"));
    EXPECT_EQ(Spin(*dialog, "IDC_MINUTES")->Text(), "1") << "typed after the last take-over: replaced";

    Click(*dialog, "IDC_HELP");
    EXPECT_EQ(f.help.Pages(), std::vector<HelpPage>{HelpPage::Options});
}

TEST(CParamDlgTest, LockedOptionsAreDisabledAndNeitherOkNorRestoreDefaultChangesThem) {
    OptionsFixture f;
    // Locked at hourly, whose rule clears the exit box: the lock on it holds all the same.
    f.temp.UseSite("[Options]\nnSynPeriod=2\nnOffset=-90\n[Locked]\nKeys=nSynPeriod,nOffset,bExitAfter\n");
    auto dialog = f.Open();
    for (const char* name : {"IDC_PERIOD_DAILY", "IDC_PERIOD_MANUAL", "IDC_AHEAD", "IDC_BACKWARD",
                             "IDC_MINUTES", "IDC_SECONDS", "IDC_EXIT_AFTER"}) {
        EXPECT_FALSE(Find<QWidget>(*dialog, name)->isEnabled()) << name;
        EXPECT_EQ(Find<QWidget>(*dialog, name)->toolTip(), "Set by your administrator") << name;
    }

    Click(*dialog, "IDC_RESTORE_DEFAULT");
    Spin(*dialog, "IDC_MAX_DAYS")->SetText("30");
    Click(*dialog, "IDOK");
    EXPECT_EQ(std::tie(f.settings.nSynPeriod, f.settings.nOffset, f.settings.bExitAfter, f.settings.nMaxDays),
              std::tuple(2, -90, 1, 30));
    const std::string stored = f.temp.StoredFile();
    EXPECT_NE(stored.find("nMaxDays=30"), std::string::npos);
    EXPECT_EQ(stored.find("nOffset"), std::string::npos);
}
