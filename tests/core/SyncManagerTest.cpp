#include "core/SyncManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <thread>

#include <QLockFile>

#include "platform/LastError.h"
#include "tests/support/FakeAttemptRecorder.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/TempFolder.h"

// The C library's newlocale never frees its copy of $LOCPATH (glibc 2.36), which
// the German locale test sets; the leak detector is told to let that pass.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__argz_add_sep\n";
}

namespace {

// 2026-12-06 14:05:30.250 UTC, a Sunday.
ClockTime Sunday() {
    return AddSecondsTo(ClockFromSystemTime({2026, 12, 0, 6, 14, 5, 30, 0}), 0.25);
}

class SyncManagerTest : public ::testing::Test {
protected:
    SyncManagerTest() {
        m_store.RegisterMakerKey("Quorvane");
        for (const char* host : {"a.example", "b.example", "c.example"}) {
            m_settings.servers.Add(CServer(std::string("Server ") + host, host, 0));
        }
    }

    SyncManager& Manager(const std::string& locale = "C") {
        m_manager = std::make_unique<SyncManager>(m_settings, m_clock, m_prompts, locale);
        return *m_manager;
    }

    TempFolder m_folder;
    ProfileStore m_store{m_folder.Path()};
    Settings m_settings{m_store};
    FakeClock m_clock{Sunday()};
    FakePrompts m_prompts;
    std::unique_ptr<SyncManager> m_manager;
};

}  // namespace

TEST_F(SyncManagerTest, StartsEmptyWithTheLastAutomaticStartTwoHoursAhead) {
    m_clock.SetLocalOffset(3600);
    SyncManager& manager = Manager();
    EXPECT_EQ(manager.GetLastAttempt(), LastAttempt{});
    EXPECT_EQ(manager.FormatTimeBefore(), "00:00:00   000ms");
    EXPECT_EQ(manager.FormatTimeAfter(), "00:00:00   000ms");
    EXPECT_EQ(manager.FormatSyncDate(), "00/00/0000");
    EXPECT_EQ(manager.CurrentServer(), 0);
    EXPECT_EQ(manager.CurrentServerHost(), "");
    EXPECT_EQ(manager.ManualFlag(), 0);
    EXPECT_EQ(manager.AutoStarted(), 0);
    // Local 15:05:30 (milliseconds dropped) + 2 h.
    const LocalDateTime expected = LocalDateTimeFrom({2026, 12, 0, 6, 17, 5, 30, 0});
    EXPECT_TRUE(manager.LastAutoStart().valid);
    EXPECT_EQ(WholeSeconds(manager.LastAutoStart().days - expected.days), 0);

    manager.SetLastAttempt({{0, 0, 0, 0, 9, 4, 3, 21}, {0, 0, 0, 0, 23, 59, 59, 999}, {2007, 3, 0, 5}, "x"});
    EXPECT_EQ(manager.FormatTimeBefore(), "09:04:03   021ms");
    EXPECT_EQ(manager.FormatTimeAfter(), "23:59:59   999ms");
    EXPECT_EQ(manager.FormatSyncDate(), "Mar. 05, 2007");
    manager.SetLastAttempt({{}, {}, {2007, 13, 0, 5}, "x"});
    EXPECT_EQ(manager.FormatSyncDate(), ". 05, 2007");
}

TEST_F(SyncManagerTest, DifferencesTurnIntoWholeUnitsRoundedToTheSecond) {
    struct Row {
        double seconds;
        int64_t wholeSeconds;
        int64_t wholeMinutes;
    };
    const Row rows[] = {{60, 60, 1},     {59.4, 59, 0}, {-3600, -3600, -60}, {0, 0, 0},
                        {-59.4, -59, 0}, {0.6, 1, 0},   {-0.6, -1, 0},       {86400, 86400, 1440}};
    for (const Row& row : rows) {
        EXPECT_EQ(WholeSeconds(row.seconds / 86400), row.wholeSeconds) << row.seconds;
        EXPECT_EQ(WholeMinutes(row.seconds / 86400), row.wholeMinutes) << row.seconds;
    }
    // Across a year's end, as the schedule takes its differences.
    const LocalDateTime before = LocalDateTimeFrom({2026, 12, 0, 31, 23, 59, 30, 0});
    const LocalDateTime after = LocalDateTimeFrom({2027, 1, 0, 1, 0, 0, 30, 0});
    EXPECT_EQ(WholeSeconds(after.days - before.days), 60);
    EXPECT_EQ(WholeMinutes(before.days - after.days), -1);
    EXPECT_EQ(WholeDays(after.days - LocalDateTimeFrom({2026, 11, 0, 1, 0, 0, 30, 0}).days), 61);
    EXPECT_FALSE(LocalDateTimeFrom({2026, 2, 0, 29, 0, 0, 0, 0}).valid);
}

TEST_F(SyncManagerTest, AdvanceServerWrapsAndMovesTheHourlyStartTwoHours) {
    SyncManager& manager = Manager();
    m_settings.nStartingServ = 1;
    manager.SetCurrentServer();
    EXPECT_EQ(manager.CurrentServer(), 1);
    EXPECT_EQ(manager.CurrentServerTitle(), "Server b.example");
    EXPECT_EQ(manager.CurrentServerHost(), "b.example");

    for (const int32_t period : {0, 1, 2, 3}) {
        m_settings.nSynPeriod = period;
        const double startDays = manager.LastAutoStart().days;
        std::vector<int32_t> visited;
        for (int i = 0; i < 4; ++i) {
            manager.AdvanceServer();
            visited.push_back(manager.CurrentServer());
        }
        EXPECT_EQ(visited, (std::vector<int32_t>{2, 0, 1, 2})) << period;
        EXPECT_EQ(WholeMinutes(manager.LastAutoStart().days - startDays), period == 2 ? 8 * 60 : 0) << period;
        manager.SetCurrentServer();
    }

    // The list is read when the current server is set; a starting server
    // outside it gives the first.
    m_settings.servers.RemoveAt(2);
    m_settings.nStartingServ = 2;
    manager.SetCurrentServer();
    EXPECT_EQ(manager.CurrentServerHost(), "a.example");
    manager.AdvanceServer();
    manager.AdvanceServer();
    EXPECT_EQ(manager.CurrentServer(), 0);
    m_settings.servers.RemoveAll();
    manager.SetCurrentServer();
    manager.AdvanceServer();
    EXPECT_EQ(manager.CurrentServer(), 0);
    EXPECT_EQ(manager.CurrentServerTitle(), "");
}

// Every effect a stopped run might still try is refused, and a newer run or the
// user-interface thread's own ticket still commits.
TEST_F(SyncManagerTest, AStoppedRunCommitsNothing) {
    SyncManager& manager = Manager();
    manager.SetCurrentServer();
    m_settings.bFirstStart = 1;
    m_settings.nSynPeriod = 2;
    manager.SetStatusText("before");
    const RunTicket none;
    const RunTicket stopped = manager.BeginRun(1);
    EXPECT_EQ(manager.ManualFlag(), 1);
    EXPECT_TRUE(stopped.IsCurrent());
    m_clock.Advance(10);
    manager.AbandonRun();
    const LastAttempt record = manager.GetLastAttempt();
    const std::chrono::nanoseconds watch = manager.WatchStart();
    const LocalDateTime autoStart = manager.LastAutoStart();

    for (const RunTicket* ticket : {&stopped, &none}) {
        EXPECT_FALSE(ticket->IsCurrent());
        SetLastError(0);
        EXPECT_FALSE(ticket->Commit([&] { return m_clock.Set({0, 0}); }));
        EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ECANCELED));
        EXPECT_FALSE(ticket->SetStatusText("after"));
        EXPECT_FALSE(ticket->RestartWatch());
        EXPECT_FALSE(ticket->AdvanceServer());
        EXPECT_FALSE(ticket->RecordTimes({2026, 1, 0, 1}, {2026, 1, 0, 1}));
        EXPECT_FALSE(ticket->SaveLastAttempt());
        EXPECT_FALSE(ticket->ClearFirstStart());
        EXPECT_EQ(ticket->Show({"Tidewell", "x"}), PromptAnswer::Closed);
    }
    EXPECT_TRUE(stopped.StopRequested());
    EXPECT_TRUE(m_clock.Sets().empty());
    EXPECT_EQ(manager.GetLastAttempt(), record);
    EXPECT_EQ(manager.WatchStart(), watch);
    EXPECT_EQ(manager.CurrentServer(), 0);
    EXPECT_EQ(manager.LastAutoStart().days, autoStart.days);
    EXPECT_EQ(m_settings.bFirstStart, 1);
    EXPECT_EQ(m_prompts.Count(), 0u);
    EXPECT_TRUE(m_store.IsEmpty());

    // A new run stops the one before it and commits itself.
    const RunTicket first = manager.BeginRun(0);
    const RunTicket second = manager.BeginRun(0);
    EXPECT_TRUE(first.StopRequested());
    EXPECT_FALSE(first.SetStatusText("first"));
    EXPECT_TRUE(second.RecordTimes({0, 0, 0, 0, 1, 2, 3, 4}, {2026, 12, 0, 6, 15, 5, 30, 250}));
    EXPECT_TRUE(second.SetStatusText("second"));
    EXPECT_TRUE(second.SaveLastAttempt());
    EXPECT_TRUE(second.ClearFirstStart());
    EXPECT_TRUE(second.AdvanceServer());
    EXPECT_EQ(manager.GetLastAttempt(), (LastAttempt{{0, 0, 0, 0, 1, 2, 3, 4},
                                                     {2026, 12, 0, 6, 15, 5, 30, 250},
                                                     {2026, 12, 0, 6, 0, 0, 0, 0},
                                                     "second"}));
    EXPECT_EQ(m_settings.bFirstStart, 0);
    EXPECT_EQ(manager.CurrentServer(), 1);
    LastAttempt stored;
    m_settings.LoadAll(stored);
    EXPECT_EQ(stored.statusText, "second");
    EXPECT_EQ(stored.syncDate, (SYSTEMTIME{2026, 12, 0, 6}));

    const RunTicket direct = manager.Direct();
    manager.AbandonRun();
    EXPECT_TRUE(direct.SetStatusText("direct"));
    EXPECT_EQ(manager.StatusText(), "direct");
}

// The record is written outside the manager's lock: a write waiting for the
// file's lock (another copy saving) holds up neither reads nor a Break, and
// the write decided before the Break still lands.
TEST_F(SyncManagerTest, SavingTheRecordHoldsNothingUp) {
    SyncManager& manager = Manager();
    ASSERT_TRUE(m_settings.SaveOptions());
    QLockFile otherCopy(QString::fromStdString(m_store.FilePath() + ".lock"));
    ASSERT_TRUE(otherCopy.tryLock(0));
    const RunTicket run = manager.BeginRun(0);
    ASSERT_TRUE(run.SetStatusText("saved"));
    std::thread worker([&] { EXPECT_TRUE(run.SaveLastAttempt()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    manager.AbandonRun();
    manager.SetStatusText("Broken by the user.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    otherCopy.unlock();
    worker.join();
    ProfileStore reopened(m_folder.Path());
    reopened.RegisterMakerKey("Quorvane");
    EXPECT_EQ(reopened.ReadString("Options", "sConnectStatus", ""), "saved");
}

TEST_F(SyncManagerTest, StoppingARunClosesItsOpenBox) {
    SyncManager& manager = Manager();
    m_prompts.HoldBoxesOpen(true);
    const RunTicket run = manager.BeginRun(1);
    std::atomic<PromptAnswer> answer{PromptAnswer::Ok};
    std::thread worker([&] { answer = run.Show({"Tidewell", "Successful synchronization."}); });
    while (m_prompts.Count() == 0) {
        std::this_thread::yield();
    }
    // The lock is not held while the box is open.
    manager.SetStatusText("Broken by the user.");
    manager.AbandonRun();
    worker.join();
    EXPECT_EQ(answer, PromptAnswer::Closed);
    EXPECT_EQ(run.Show({"Tidewell", "again"}), PromptAnswer::Closed);
    EXPECT_EQ(m_prompts.Count(), 1u);
}

// A worker commits as fast as it can while the user-interface thread reads the
// record and stops the run: from AbandonRun's return on, nothing changes.
TEST_F(SyncManagerTest, NothingChangesOnceAbandonRunHasReturned) {
    SyncManager& manager = Manager();
    manager.SetCurrentServer();
    for (int round = 0; round < 20; ++round) {
        const RunTicket run = manager.BeginRun(0);
        std::atomic<int> commits{0};
        std::thread worker([&, run] {
            for (int i = 0;; ++i) {
                const bool all = run.SetStatusText("run " + std::to_string(i)) && run.Commit([&] {
                    return m_clock.Set({i, 0});
                }) && run.RestartWatch() &&
                                 run.AdvanceServer();
                if (!all) {
                    return;
                }
                ++commits;
            }
        });
        while (commits < 3) {
            manager.GetLastAttempt();
        }
        manager.AbandonRun();
        const std::string status = manager.StatusText();
        const size_t sets = m_clock.Sets().size();
        const int32_t server = manager.CurrentServer();
        const std::chrono::nanoseconds watch = manager.WatchStart();
        worker.join();
        EXPECT_EQ(manager.StatusText(), status);
        EXPECT_EQ(m_clock.Sets().size(), sets);
        EXPECT_EQ(manager.CurrentServer(), server);
        EXPECT_EQ(manager.WatchStart(), watch);
    }
}

// Month names in the C locale and in German, compiled into a folder of the
// test's own (nothing of the system's locale files is touched).
TEST_F(SyncManagerTest, TextsTakeTheMonthNamesOfTheLocale) {
    const MonthAbbrevTable c("C");
    const MonthAbbrevTable missing("xx_XX.UTF-8");
    const std::vector<std::string> english = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int month = 1; month <= 12; ++month) {
        EXPECT_EQ(c.Name(month), english[month - 1]);
        EXPECT_EQ(missing.Name(month), english[month - 1]);
    }
    EXPECT_EQ(c.Name(0), "");
    EXPECT_EQ(c.Name(13), "");

    TempFolder locales;
    const std::string command =
        "localedef --no-archive -i de_DE -f UTF-8 '" + locales.Path() + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        GTEST_SKIP() << "localedef cannot build de_DE.UTF-8 (package locales missing?)";
    }
    setenv("LOCPATH", locales.Path().c_str(), 1);
    const MonthAbbrevTable german("de_DE.UTF-8");
    SyncManager& manager = Manager("de_DE.UTF-8");
    unsetenv("LOCPATH");
    const std::vector<std::string> names = {"Jan", "Feb", "M\xC3\xA4r", "Apr", "Mai", "Jun",
                                            "Jul", "Aug", "Sep",        "Okt", "Nov", "Dez"};
    for (int month = 1; month <= 12; ++month) {
        EXPECT_EQ(german.Name(month), names[month - 1]);
    }

    m_clock.SetLocalOffset(3600);
    manager.SetLastAttempt({{}, {}, {2007, 3, 0, 5}, ""});
    EXPECT_EQ(manager.FormatSyncDate(), "M\xC3\xA4r. 05, 2007");
    EXPECT_EQ(manager.FormatReportLine("Communication error!", m_clock.GetLocalTime()),
              "Communication error! 15:05; 06-Dez-2026");
    EXPECT_EQ(Manager("C").FormatReportLine("URL Open Error!", m_clock.GetLocalTime()),
              "URL Open Error! 15:05; 06-Dec-2026");
}

// A run stopped before it recorded its end is recorded once, as stopped, by
// whoever stopped it; a run that has recorded its end is not recorded again.
TEST_F(SyncManagerTest, AStoppedRunIsRecordedOnceAsStopped) {
    SyncManager& manager = Manager();
    manager.SetCurrentServer();
    FakeAttemptRecorder recorder;
    manager.SetRecorder(&recorder);

    const RunTicket broken = manager.BeginRun(1);
    m_clock.Advance(3);
    manager.AbandonRun("Broken by the user.");
    manager.AbandonRun("twice");
    EXPECT_FALSE(broken.Record({}));

    const RunTicket tooLong = manager.BeginRun(0);
    const RunTicket again = manager.BeginRun(0);  // the watchdog's restart
    EXPECT_FALSE(tooLong.Record({}));
    AttemptRecord ended;
    ended.statusText = "ended";
    EXPECT_TRUE(again.Record(ended));
    EXPECT_FALSE(again.Record(ended));
    manager.AbandonRun();

    const std::vector<AttemptRecord> records = recorder.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].outcome, AttemptOutcome::Stopped);
    EXPECT_EQ(records[0].kind, AttemptKind::Manual);
    EXPECT_EQ(records[0].statusText, "Broken by the user.");
    EXPECT_EQ(records[0].serverHost, "a.example");
    EXPECT_EQ(records[0].serverTitle, "Server a.example");
    EXPECT_EQ(records[0].timeUtc, AddSecondsTo(Sunday(), 3));
    EXPECT_EQ(records[1].outcome, AttemptOutcome::Stopped);
    EXPECT_EQ(records[1].kind, AttemptKind::Automatic);
    EXPECT_EQ(records[1].statusText, SyncManager::kRestartedText);
    EXPECT_EQ(records[2].statusText, "ended");
}
