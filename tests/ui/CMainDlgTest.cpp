#include "ui/CMainDlg.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <functional>

#include "history/HistoryRecorder.h"
#include "tests/support/FakeAttemptRecorder.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TempFolder.h"
#include "tests/ui/TestProgram.h"
#include "ui/CHistoryDlg.h"
#include "ui/Version.h"

namespace {

const PromptRequest kExitQuestion{
    "Tidewell", "Usually you do not need exit this program. Continue?\nYes - Exit, No - Minimize.",
    PromptIcon::Information, PromptButtons::YesNo};

// Longer than one tick of the main window's timer, with room for a slow machine.
constexpr int kTickWaitMs = 2500;

struct StoredOptions {
    int period = 3;  // only manual: no run starts on its own
    int exitAfter = 0;
    int showIcon = 1;
    bool syncedToday = false;
};

// A program after a later start, with the options given stored by an earlier one.
class StartedProgram {
public:
    explicit StartedProgram(const StoredOptions& stored, const std::string& commandLine = "/usr/bin/tidewell",
                            bool trayAvailable = true) {
        {
            ProfileStore store(m_config.Path());
            store.RegisterMakerKey(ProfileStore::kMakerKey);
            Settings settings(store);
            settings.nSynPeriod = stored.period;
            settings.bExitAfter = stored.exitAfter;
            settings.bShowIcon = stored.showIcon;
            settings.SaveFirstStart();
            if (stored.syncedToday) {
                // Today, as the test clock has it.
                settings.SaveLastAttempt({{}, {}, {2026, 3, 0, 10}, "synchronised today"});
            }
        }
        TestProgramOptions options;
        options.configFolder = m_config.Path();
        options.instanceName = m_sockets.filePath(QStringLiteral("Tidewell-test"));
        options.commandLine = commandLine;
        options.trayAvailable = trayAvailable;
        m_program = std::make_unique<TestProgram>(options);
        if (!m_program->app.InitInstance()) {
            ADD_FAILURE() << "the program did not start";
        }
    }

    TestProgram* operator->() { return m_program.get(); }
    TestProgram& operator*() { return *m_program; }

private:
    TempFolder m_config;
    QTemporaryDir m_sockets;
    std::unique_ptr<TestProgram> m_program;
};

// Runs `act` once the next modal dialog is open, then lets it go on.
void WhenDialogOpens(std::function<void(QDialog&)> act) {
    auto* poll = new QTimer;
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(*dialog);
        }
    });
    poll->start();
}

}  // namespace

TEST(CMainDlgTest, TheCloseQuestionEndsOnYesAndHidesOnNo) {
    struct Case {
        const char* name;
        int exitAfter;
        PromptAnswer answer;
        bool destroyed;
    };
    const Case cases[] = {
        {"yes ends", 0, PromptAnswer::Yes, true},
        {"no hides", 0, PromptAnswer::No, false},
        // A visible window always asks, exit after synchronisation or not.
        {"yes ends with exit after", 1, PromptAnswer::Yes, true},
        {"no hides with exit after", 1, PromptAnswer::No, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartedProgram program({.exitAfter = c.exitAfter});
        ASSERT_TRUE(program->mainDlg.isVisible());
        QSignalSpy destroyed(&program->mainDlg, &CMainDlg::WindowDestroyed);
        program->prompts.QueueAnswer(c.answer);
        EXPECT_FALSE(program->mainDlg.close());
        EXPECT_EQ(program->prompts.Shown(), std::vector<PromptRequest>{kExitQuestion});
        EXPECT_EQ(destroyed.count(), c.destroyed ? 1 : 0);
        EXPECT_EQ(program->mainDlg.WindowExists(), !c.destroyed);
        EXPECT_FALSE(program->mainDlg.isVisible());
        if (!c.destroyed) {
            EXPECT_FALSE(program->mainDlg.IsWindowVisible());
        }
        // Destruction takes the icon away and stops the timer; hiding keeps both.
        EXPECT_EQ(program->trayIcon.Shown(), !c.destroyed);
        EXPECT_EQ(program->mainDlg.TimerActive(), !c.destroyed);
    }
}

TEST(CMainDlgTest, TheTrayMenuOffersOpenOptionsHistoryAndExitAndItsExitAlwaysAsks) {
    StartedProgram program({.exitAfter = 1}, "/usr/bin/tidewell StartUp");
    ASSERT_FALSE(program->mainDlg.IsWindowVisible());
    QMenu* menu = program->mainDlg.TrayMenu();
    ASSERT_NE(menu, nullptr);
    QAction* exitItem = menu->findChild<QAction*>(QStringLiteral("ID_EXIT"));
    ASSERT_NE(exitItem, nullptr);
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        texts << action->text();
        EXPECT_TRUE(action->isEnabled());
    }
    EXPECT_EQ(texts, (QStringList{"&Open", "&Synchronize now", "O&ptions", "&History", "&Exit "}));
    ASSERT_NE(menu->defaultAction(), nullptr);
    EXPECT_EQ(menu->defaultAction()->text(), "&Open");

    // A right click opens it, also while the window is hidden.
    program->trayIcon.OnActivated(QSystemTrayIcon::Context);
    EXPECT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }, 1000));
    menu->hide();

    // Hidden with "exit after synchronisation" set, the menu's Exit still asks.
    program->prompts.QueueAnswer(PromptAnswer::No);
    exitItem->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return program->prompts.Count() == 1u; }, 1000));
    EXPECT_EQ(program->prompts.Shown()[0], kExitQuestion);
    EXPECT_TRUE(program->mainDlg.WindowExists());
    EXPECT_FALSE(program->mainDlg.isVisible());

    // "&Open" brings the window back.
    menu->actions()[0]->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return program->mainDlg.isVisible(); }, 1000));
    EXPECT_TRUE(program->mainDlg.IsWindowVisible());

    // Exit answered Yes ends the program.
    QSignalSpy destroyed(&program->mainDlg, &CMainDlg::WindowDestroyed);
    program->prompts.QueueAnswer(PromptAnswer::Yes);
    exitItem->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return destroyed.count() == 1; }, 1000));
    EXPECT_EQ(program->prompts.Count(), 2u);
}

TEST(CMainDlgTest, AHiddenWindowClosesSilentlyAfterTheDaysSynchronisation) {
    // Daily mode, synchronised today: nothing is due, so the first tick ends the program.
    StartedProgram program({.period = 0, .exitAfter = 1, .syncedToday = true}, "/usr/bin/tidewell StartUp");
    ASSERT_FALSE(program->mainDlg.IsWindowVisible());
    QSignalSpy destroyed(&program->mainDlg, &CMainDlg::WindowDestroyed);
    EXPECT_TRUE(destroyed.wait(kTickWaitMs));
    EXPECT_TRUE(program->prompts.Shown().empty());
    EXPECT_FALSE(program->mainDlg.WindowExists());
    EXPECT_FALSE(program->trayIcon.Shown());
    EXPECT_FALSE(program->mainDlg.TimerActive());
}

TEST(CMainDlgTest, AVisibleWindowAndTheOtherPeriodsNeverCloseOnTheirOwn) {
    struct Case {
        const char* name;
        StoredOptions stored;
        const char* commandLine;
    };
    const Case cases[] = {
        {"visible, daily, synchronised today",
         {.period = 0, .exitAfter = 1, .syncedToday = true},
         "tidewell"},
        {"hidden, exit after off", {.period = 0, .exitAfter = 0, .syncedToday = true}, "tidewell StartUp"},
        {"hidden, only manual", {.period = 3, .exitAfter = 1, .syncedToday = true}, "tidewell StartUp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartedProgram program(c.stored, c.commandLine);
        QSignalSpy destroyed(&program->mainDlg, &CMainDlg::WindowDestroyed);
        EXPECT_FALSE(destroyed.wait(kTickWaitMs));
        EXPECT_TRUE(program->mainDlg.WindowExists());
    }
}

TEST(CMainDlgTest, BreakShowsItsStatusAtTheNextTick) {
    StartedProgram program({.period = 3});
    const QString before = program->FieldText("IDC_STATUS");
    // Return on the focused button presses it, not "Synchronize now", the default.
    program->Button("IDC_BREAK")->setFocus();
    QTest::keyClick(program->Button("IDC_BREAK"), Qt::Key_Return);
    EXPECT_EQ(program->FieldText("IDC_STATUS"), before);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return program->FieldText("IDC_STATUS") == QString("Broken by the user."); }, kTickWaitMs));
    EXPECT_EQ(program->FieldText("IDC_STATUS"), "Broken by the user.");
    // The field is narrower than the longer lines: the whole line is its tooltip.
    EXPECT_EQ(program->Field("IDC_STATUS")->toolTip(), "Broken by the user.");
}

// The tray menu's "Synchronize now" starts a run; the tooltip then tells of
// it, fed on the way to the history.
TEST(CMainDlgTest, TheTraySynchronisesAndItsTipTellsTheLastAttempt) {
    FakeAttemptRecorder history;
    LastAttemptFeed feed(&history);
    StartedProgram program({.period = 3});
    program->manager.SetRecorder(&feed);
    QObject::connect(&feed, &LastAttemptFeed::Synchronised, &program->mainDlg, &CMainDlg::ShowLastAttempt);
    EXPECT_EQ(program->trayIcon.Tip(), "Tidewell\n" + program->FieldText("IDC_STATUS"));

    program->probe.SetHang(true);
    program->mainDlg.TrayMenu()->findChild<QAction*>(QStringLiteral("ID_SYNC_NOW"))->trigger();
    // The menu's command runs once the menu has closed.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return program->probe.WaitForCalls(1, std::chrono::milliseconds(10)); }));
    QTest::mouseClick(program->Button("IDC_BREAK"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return program->trayIcon.Tip().endsWith("stopped"); }, 5000));
    EXPECT_EQ(program->trayIcon.Tip(), "Tidewell\nLast attempt 2026-03-10 12:00:00: stopped");
    EXPECT_EQ(history.Records().size(), 1u);
}

// A later start shows the window and hands on its token; where the window
// does not become active (the desktop refused), the icon asks for attention
// until it does.
TEST(CMainDlgTest, ASecondStartThatIsNotActivatedLeavesTheIconAskingForAttention) {
    StartedProgram program({}, "/usr/bin/tidewell StartUp");
    CMainDlg& window = program->mainDlg;
    QWidget other;
    other.show();
    window.RestoreFromSecondStart(QStringLiteral("token-1"));
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(qEnvironmentVariableIsEmpty("XDG_ACTIVATION_TOKEN")) << "left for the program's children";
    QTest::qWait(100);
    QApplication::setActiveWindow(&other);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return program->trayIcon.Attention(); }, CMainDlg::kActivationWaitMs + 1000));
    QApplication::setActiveWindow(&window);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !program->trayIcon.Attention(); }, 1000));
}

TEST(CMainDlgTest, MinimisingHidesAndTheIconBringsTheWindowBack) {
    StartedProgram program({});
    CMainDlg& window = program->mainDlg;
    ASSERT_TRUE(window.isVisible());

    window.setWindowState(Qt::WindowMinimized);
    EXPECT_FALSE(window.IsWindowVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 1000));
    // Minimised by its own button on Wayland: the window itself changes state.
    window.ShowMainWindow(true);
    window.windowHandle()->setWindowStates(Qt::WindowMinimized);
    EXPECT_FALSE(window.IsWindowVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 1000));

    // A single click does nothing; a double-click brings the window back, not minimised.
    program->trayIcon.OnActivated(QSystemTrayIcon::Trigger);
    QTest::qWait(50);
    EXPECT_FALSE(window.isVisible());
    program->trayIcon.OnActivated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
    EXPECT_TRUE(window.IsWindowVisible());
    // Nothing was asked on the way.
    EXPECT_TRUE(program->prompts.Shown().empty());
}

TEST(CMainDlgTest, WithoutANotificationAreaHidingLeavesTheWindowMinimised) {
    StartedProgram program({.exitAfter = 0}, "/usr/bin/tidewell", /*trayAvailable=*/false);
    CMainDlg& window = program->mainDlg;
    program->prompts.QueueAnswer(PromptAnswer::No);
    window.close();
    EXPECT_FALSE(window.IsWindowVisible());
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.isMinimized());
    // Brought back from the task bar, it counts as shown again.
    window.setWindowState(Qt::WindowNoState);
    EXPECT_TRUE(window.IsWindowVisible());
    window.setWindowState(Qt::WindowMinimized);
    EXPECT_FALSE(window.IsWindowVisible());
    window.ShowMainWindow(true);
    EXPECT_FALSE(window.isMinimized());
    EXPECT_TRUE(window.IsWindowVisible());

    StartedProgram hiddenStart({.exitAfter = 0}, "/usr/bin/tidewell StartUp", /*trayAvailable=*/false);
    EXPECT_FALSE(hiddenStart->mainDlg.IsWindowVisible());
    EXPECT_TRUE(hiddenStart->mainDlg.isMinimized());
}

TEST(CMainDlgTest, TheButtonsAndF1ReachHelpAboutAndTheDateAndTimeSettings) {
    StartedProgram program({});
    QTest::mouseClick(program->Button("IDC_HELP"), Qt::LeftButton);
    QTest::keyClick(program->Button("IDC_SYNC_NOW"), Qt::Key_F1);
    EXPECT_EQ(program->help.Pages(), (std::vector<HelpPage>{HelpPage::Index, HelpPage::Index}));

    QTest::mouseClick(program->Button("IDC_SET_TIME_ZONE"), Qt::LeftButton);
    EXPECT_EQ(program->dateTime.Opens(), 1);

    QTest::mouseClick(program->Button("IDC_ABOUT"), Qt::LeftButton);
    ASSERT_EQ(program->aboutTexts.size(), 1u);
    EXPECT_EQ(program->aboutTexts[0].split('\n').first(),
              QString::fromUtf8("Tidewell\u00ae\tVersion\t ") + QString::fromLatin1(kTidewellVersion));
    EXPECT_GT(program->aboutTexts[0].split('\n').size(), 2);

    // Escape leaves the main window alone.
    QTest::keyClick(&program->mainDlg, Qt::Key_Escape);
    EXPECT_TRUE(program->mainDlg.isVisible());
    EXPECT_TRUE(program->prompts.Shown().empty());
}

TEST(CMainDlgTest, OptionsOkAddsOrRemovesTheIconAtOnce) {
    StartedProgram program({.showIcon = 1});
    ASSERT_TRUE(program->trayIcon.Shown());
    for (const bool show : {false, true}) {
        SCOPED_TRACE(show);
        WhenDialogOpens([show](QDialog& dialog) {
            dialog.findChild<QCheckBox*>("IDC_SHOW_ICON")->setChecked(show);
            QTest::mouseClick(dialog.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
        });
        QTest::mouseClick(program->Button("IDC_OPTIONS"), Qt::LeftButton);
        EXPECT_EQ(program->trayIcon.Shown(), show);
        EXPECT_EQ(program->trayLog.back(), show ? TrayAction::Add : TrayAction::Delete);
    }
}

TEST(CMainDlgTest, TheServerChoosersOkShowsTheNewStartingServerAtTheNextTick) {
    StartedProgram program({.period = 3});
    ASSERT_GE(program->settings.servers.GetSize(), 3u);
    const QString third = QString::fromStdString(program->settings.servers[2].title);
    ASSERT_NE(program->FieldText("IDC_SERVER"), third);
    WhenDialogOpens([](QDialog& dialog) {
        auto* list = dialog.findChild<QTreeWidget*>("IDC_SERVER_LIST");
        list->setCurrentItem(list->topLevelItem(2));
        QTest::mouseClick(dialog.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    });
    QTest::mouseClick(program->Button("IDC_SERVER_CHOOSER"), Qt::LeftButton);
    EXPECT_EQ(program->settings.nStartingServ, 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return program->FieldText("IDC_SERVER") == third; }, kTickWaitMs));
    EXPECT_EQ(program->FieldText("IDC_SERVER"), third);
}

// "History", Ctrl+H and the tray menu's "&History" open one History window,
// which shows each attempt as soon as it is recorded (here a run stopped by "Break").
TEST(CMainDlgTest, TheHistoryWindowOpensFromTheWindowAndTheTrayAndFollowsTheRuns) {
    TempFolder data;
    HistoryRecorder history(data.Path() + "/history.sqlite");
    StartedProgram program({.period = 3});
    program->manager.SetRecorder(&history);
    program->mainDlg.SetHistory(&history);

    QTest::mouseClick(program->Button("IDC_HISTORY"), Qt::LeftButton);
    CHistoryDlg* window = program->mainDlg.HistoryWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window->findChild<QLabel*>("IDC_HISTORY_COUNT")->text() == "0 attempts"; }, 2000));

    program->probe.SetHang(true);
    QTest::mouseClick(program->Button("IDC_SYNC_NOW"), Qt::LeftButton);
    ASSERT_TRUE(program->probe.WaitForCalls(1, std::chrono::seconds(2)));
    QTest::mouseClick(program->Button("IDC_BREAK"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->Records().size() == 1; }, 5000));
    ASSERT_EQ(window->Records().size(), 1u);
    EXPECT_EQ(window->Records()[0].outcome, AttemptOutcome::Stopped);
    EXPECT_EQ(window->Records()[0].statusText, "Broken by the user.");
    EXPECT_EQ(window->FailureMarkCount(), 1);

    window->close();
    program->mainDlg.TrayMenu()->findChild<QAction*>(QStringLiteral("ID_HISTORY"))->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, 1000));
    EXPECT_EQ(program->mainDlg.HistoryWindow(), window);
    window->close();
    QApplication::setActiveWindow(&program->mainDlg);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&program->mainDlg));
    QTest::keyClick(&program->mainDlg, Qt::Key_H, Qt::ControlModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, 1000));
}
