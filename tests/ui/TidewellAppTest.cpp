#include "ui/TidewellApp.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <optional>
#include <tuple>

#include "tests/support/QtPrinters.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TempSettings.h"
#include "tests/ui/TestProgram.h"

namespace {

const PromptRequest kZoneMessage{"Tidewell",
                                 "Tidewell needs right settings of system date and time zone.\n"
                                 "Check your Time Zone Settings, please!",
                                 PromptIcon::Information, PromptButtons::Ok};

class TidewellAppTest : public ::testing::Test {
protected:
    TestProgramOptions Options(const std::string& commandLine = "/usr/bin/tidewell") const {
        return Options(m_config, commandLine);
    }
    TestProgramOptions Options(const TempFolder& config,
                               const std::string& commandLine = "/usr/bin/tidewell") const {
        TestProgramOptions options;
        options.configFolder = config.Path();
        options.instanceName = m_sockets.filePath(QStringLiteral("Tidewell-test"));
        options.commandLine = commandLine;
        return options;
    }

    // Leaves behind what an earlier run of the program stored: the first
    // start's settings and a successful synchronisation.
    static void StoreEarlierRun(const TempFolder& config, const std::optional<LastAttempt>& last,
                                int maxDays = 14) {
        ProfileStore store(config.Path());
        store.RegisterMakerKey(ProfileStore::kMakerKey);
        Settings settings(store);
        settings.nMaxDays = maxDays;
        settings.SaveFirstStart();
        if (last) {
            settings.SaveLastAttempt(*last);
        }
    }

    TempFolder m_config;
    QTemporaryDir m_sockets;
};

LastAttempt SyncedOn(uint16_t year, uint16_t month, uint16_t day) {
    return {{0, 0, 0, 0, 9, 4, 3, 21},
            {0, 0, 0, 0, 9, 4, 5, 500},
            {year, month, 0, day},
            "Success synchro: Mar. 01, 2026. Net delay: 0.042 sec."};
}

}  // namespace

TEST_F(TidewellAppTest, AFirstStartStoresTheBuiltInSettingsAndALaterStartShowsTheStoredRecord) {
    {
        TestProgram first(Options());
        first.zones.SetZoneName("Europe/Berlin");
        ASSERT_TRUE(first.app.InitInstance());
        EXPECT_TRUE(first.app.IsFirstStart());
        EXPECT_EQ(first.FieldText("IDC_STATUS"), "Initial. There was not synchronization yet.");
        EXPECT_EQ(first.FieldText("IDC_SYNC_DATE"), "00/00/0000");
        EXPECT_EQ(first.prompts.Shown(), std::vector<PromptRequest>{kZoneMessage});
        EXPECT_EQ(first.dateTime.Opens(), 1);
        EXPECT_EQ(first.timeService.SwitchOffs(), 1);
        EXPECT_TRUE(first.mainDlg.isVisible());
        EXPECT_EQ(first.mainDlg.windowTitle(), "Tidewell");
        EXPECT_EQ(first.FieldText("IDC_SERVER"), QString::fromStdString(first.settings.servers[0].title));
    }

    ProfileStore stored(m_config.Path());
    stored.RegisterMakerKey(ProfileStore::kMakerKey);
    EXPECT_EQ(stored.ReadInt("Servers", "Servers_Counter", -1), 18);
    EXPECT_EQ(stored.ReadInt("Options", "bFirstStart", -1), 0);
    EXPECT_EQ(stored.ReadInt("Options", "nStartingServ", -1), 0);
    EXPECT_EQ(stored.ReadBinary("Options", "TimeZoneInfo"), EncodeTimeZoneInformation(TestZone()));
    EXPECT_EQ(stored.ReadString("Options", "TimeZoneName", ""), "Europe/Berlin");
    // Nothing of a last attempt is written at a first start.
    EXPECT_EQ(stored.ReadString("Options", "sConnectStatus", "absent"), "absent");

    const LastAttempt last = SyncedOn(2026, 3, 1);
    Settings(stored).SaveLastAttempt(last);
    TestProgram later(Options());
    ASSERT_TRUE(later.app.InitInstance());
    EXPECT_FALSE(later.app.IsFirstStart());
    EXPECT_EQ(later.FieldText("IDC_STATUS"), QString::fromStdString(last.statusText));
    EXPECT_EQ(later.FieldText("IDC_SYNC_DATE"), "Mar. 01, 2026");
    EXPECT_EQ(later.FieldText("IDC_TIME_BEFORE"), "09:04:03   021ms");
    EXPECT_EQ(later.FieldText("IDC_TIME_AFTER"), "09:04:05   500ms");
    EXPECT_TRUE(later.prompts.Shown().empty());
    EXPECT_EQ(later.dateTime.Opens(), 0);
    // The system's synchronisation is switched off at every start.
    EXPECT_EQ(later.timeService.SwitchOffs(), 1);
}

// A settings file that is there is never a first start, whether it begins
// with a byte-order mark or may not be read: the zone is not captured again,
// the date panel stays shut, and what can be read is used.
TEST_F(TidewellAppTest, AStoredFileIsNeverAFirstStart) {
    for (const int failOpens : {0, EACCES}) {
        TempFolder config;
        StoreEarlierRun(config, SyncedOn(2026, 3, 9), 30);
        const std::string path = config.Path() + "/Quorvane/Tidewell.conf";
        TempFolder::WriteFile(path, "\xEF\xBB\xBF" + TempFolder::ReadFile(path));
        TestProgram program(Options(config));
        program.store.FailOpensForTesting(failOpens);
        ASSERT_TRUE(program.app.InitInstance());
        EXPECT_FALSE(program.app.IsFirstStart());
        EXPECT_EQ(program.dateTime.Opens(), 0);
        EXPECT_EQ(program.settings.startZone, TIME_ZONE_INFORMATION{});
        EXPECT_EQ(program.settings.nMaxDays, failOpens == 0 ? 30 : 14);
    }
}

TEST_F(TidewellAppTest, FirstStartGoesOnWhenTheZoneCannotBeReadOrTheSettingsCannotBeWritten) {
    TestProgram program(Options());
    program.zones.SetZone(TIME_ZONE_ID_INVALID, {});
    program.store.FailWritesForTesting(true);
    ASSERT_TRUE(program.app.InitInstance());
    const std::vector<PromptRequest> shown = program.prompts.Shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "Bad system time zone information");
    EXPECT_EQ(shown[1], kZoneMessage);
    EXPECT_EQ(program.dateTime.Opens(), 1);
    EXPECT_TRUE(program.mainDlg.WindowExists());
    EXPECT_TRUE(program.mainDlg.isVisible());
}

TEST_F(TidewellAppTest, OnlyATrailingStartUpOnALaterStartOpensTheWindowHidden) {
    struct Case {
        const char* commandLine;
        bool firstStart;
        bool shown;
    };
    const Case cases[] = {
        {"/usr/bin/tidewell StartUp", false, false}, {"tidewell StartUp", true, true},
        {"/usr/bin/tidewell Startup", false, true},  {"/usr/bin/tidewell StartUp ", false, true},
        {"/usr/bin/tidewell STARTUP", false, true},  {"/usr/bin/tidewell", false, true},
        {"/opt/StartUp/tidewell", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commandLine);
        TempFolder config;
        if (!c.firstStart) {
            StoreEarlierRun(config, std::nullopt);
        }
        TestProgram program(Options(config, c.commandLine));
        ASSERT_TRUE(program.app.InitInstance());
        EXPECT_EQ(program.app.IsFirstStart(), c.firstStart);
        EXPECT_EQ(program.mainDlg.isVisible(), c.shown);
        EXPECT_EQ(program.mainDlg.IsWindowVisible(), c.shown);
        EXPECT_EQ(program.mainDlg.ShowAtStart(), c.shown ? 1 : 0);
        // Shown or hidden, the icon is there and the timer runs.
        EXPECT_TRUE(program.trayIcon.Shown());
        EXPECT_TRUE(program.mainDlg.TimerActive());
    }
}

TEST_F(TidewellAppTest, ASecondStartRestoresTheHiddenFirstCopyAndEnds) {
    StoreEarlierRun(m_config, SyncedOn(2026, 3, 10));
    TestProgram first(Options("/usr/bin/tidewell StartUp"));
    ASSERT_TRUE(first.app.InitInstance());
    ASSERT_FALSE(first.mainDlg.isVisible());

    TempFolder otherConfig;
    TestProgram second(Options(otherConfig));
    EXPECT_EQ(second.app.Run(), 0);
    EXPECT_FALSE(second.mainDlg.WindowExists());
    // It ended before touching anything: no settings, no boxes, no time service.
    EXPECT_TRUE(second.prompts.Shown().empty());
    EXPECT_EQ(second.timeService.SwitchOffs(), 0);
    EXPECT_TRUE(second.store.FilePath().empty());
    EXPECT_TRUE(second.trayLog.empty());

    EXPECT_TRUE(QTest::qWaitFor([&] { return first.mainDlg.isVisible(); }, 3000));
    EXPECT_TRUE(first.mainDlg.IsWindowVisible());
    // The window the user asked for stays: the exit after the day's
    // synchronisation, due at the next tick while hidden, no longer applies.
    QSignalSpy destroyed(&first.mainDlg, &CMainDlg::WindowDestroyed);
    EXPECT_FALSE(destroyed.wait(2500));
    EXPECT_TRUE(first.mainDlg.isVisible());
}

TEST_F(TidewellAppTest, RunEndsWhenTheWindowIsDestroyed) {
    // Daily, exit after synchronisation, synchronised today, started hidden:
    // the first tick ends the program.
    StoreEarlierRun(m_config, SyncedOn(2026, 3, 10));
    TestProgram program(Options("/usr/bin/tidewell StartUp"));
    bool gaveUp = false;
    QTimer::singleShot(10000, &program.mainDlg, [&] {
        gaveUp = true;
        program.prompts.QueueAnswer(PromptAnswer::Yes);
        program.mainDlg.ExitFromMenu();
    });
    EXPECT_EQ(program.app.Run(), 0);
    EXPECT_FALSE(gaveUp);
    EXPECT_FALSE(program.mainDlg.WindowExists());
    EXPECT_TRUE(program.prompts.Shown().empty());
}

TEST_F(TidewellAppTest, TheTooOldWarningComesAtStartOnlyAfterMoreThanMaxDays) {
    struct Case {
        const char* name;
        std::optional<LastAttempt> last;
        int maxDays;
        bool warns;
    };
    // Today is 2026-03-10, 12:00.
    const Case cases[] = {
        {"15 days with 14", SyncedOn(2026, 2, 23), 14, true},
        {"14 days and 12 hours with 14", SyncedOn(2026, 2, 24), 14, false},
        {"15 days with 0", SyncedOn(2026, 2, 23), 0, false},
        {"a year with 0", SyncedOn(2025, 3, 10), 0, false},
        {"never synchronised", std::nullopt, 14, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder config;
        StoreEarlierRun(config, c.last, c.maxDays);
        TestProgram program(Options(config));
        ASSERT_TRUE(program.app.InitInstance());
        const std::vector<PromptRequest> shown = program.prompts.Shown();
        if (c.warns) {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0], (PromptRequest{"Tidewell: Warning",
                                               "Warning! More then 14 days past\n"
                                               "after last successful synchronization.\n"
                                               "Synchronize PC Clock now,\n"
                                               "set max period to zero for disable this message\n"
                                               "ore exit the program.",
                                               PromptIcon::Warning, PromptButtons::Ok}));
        } else {
            EXPECT_TRUE(shown.empty());
        }
    }
}

TEST_F(TidewellAppTest, TheSiteFileGivesTheFirstStartAndLocksEveryStartAndABrokenPartIsOnlyToldOf) {
    TempFolder site;
    TempSettings::WriteSiteFile(
        site,
        "[Options]\nnMaxDays=99\nnTimeOut=40\n"
        "[Servers]\nServers_Counter=1\nServers 0=\"Site\\nsite.example.internal\\n0 0\"\n"
        "[Locked]\nKeys=nTimeOut,nBogus\n");
    TestProgramOptions options = Options();
    options.siteFolders = {site.Path()};
    {
        TestProgram first(options);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(first.app.InitInstance());
        const std::string warnings = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::tie(first.settings.nMaxDays, first.settings.nTimeOut), std::tuple(14, 40));
        EXPECT_EQ(first.FieldText("IDC_SERVER"), "Site");
        const std::string path = site / "Quorvane/Tidewell.conf";
        EXPECT_NE(warnings.find("tidewell: " + path + ": nMaxDays=99 is outside 0 to 45"), std::string::npos);
        EXPECT_NE(warnings.find("\"nBogus\", which is no option"), std::string::npos);
        const std::vector<AttemptRecord> records = first.history.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(std::tie(records[0].kind, records[0].timeUtc), std::tuple(AttemptKind::Notice, TestNow()));
        EXPECT_EQ(records[0].statusText.rfind("Administrator's settings " + path + ": nMaxDays=99", 0), 0u);
    }
    // The user's own file cannot unlock the time-out.
    ProfileStore store(m_config.Path());
    store.RegisterMakerKey(ProfileStore::kMakerKey);
    ASSERT_TRUE(store.WriteInt("Options", "nTimeOut", 90));
    TestProgram later(options);
    ASSERT_TRUE(later.app.InitInstance());
    EXPECT_EQ(later.settings.nTimeOut, 40);
}
