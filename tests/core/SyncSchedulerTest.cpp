#include "core/SyncScheduler.h"
#include "core/Synchroniser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "core/LocalDateTime.h"
#include "platform/InternetProbe.h"
#include "tests/support/DaySimulation.h"
#include "tests/support/FakeAttemptRecorder.h"
#include "tests/support/LocalHttpResponder.h"
#include "tests/support/SyncRig.h"

namespace {

using namespace std::chrono_literals;

// The main window as the scheduler sees it.
class FakeWindow final : public MainWindowView {
public:
    bool IsWindowVisible() const override { return visible; }
    // The close handling destroys the window.
    void RequestClose() override {
        ++closeRequests;
        exists = false;
    }
    void SetProgress(int percent) override { progress.push_back(percent); }
    void RefreshDisplay() override { ++refreshes; }
    bool WindowExists() const override { return exists; }

    bool visible = true;
    bool exists = true;
    int closeRequests = 0;
    int refreshes = 0;
    std::vector<int> progress;
};

// The worker threads, as the test wants them: run at once, held until
// released (a run that hangs anywhere), or never created. Counts what was
// asked for and what is alive, and knows which worker is the current one.
class Workers {
public:
    enum class Mode { Run, Hold, Refuse };

    explicit Workers(Mode mode = Mode::Run) : m_mode(mode) {}

    WorkerFactory Factory() {
        return [this](std::function<void()> body) { return Create(std::move(body)); };
    }
    void Release() {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }
    size_t Launches() const { return m_launches; }
    int Alive() const { return m_alive; }
    // The worker that may have effects now (0: none). The test clears it
    // after a Break.
    uint64_t CurrentId() const { return m_currentId; }
    void ClearCurrent() { m_currentId = 0; }
    // The worker running on the calling thread (0: not a worker).
    static uint64_t ThisWorker() { return t_id; }

    bool WaitUntilNoneAlive(std::chrono::milliseconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (m_alive != 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
        return m_alive == 0;
    }

private:
    std::thread Create(std::function<void()> body) {
        const uint64_t id = ++m_launches;
        if (m_mode == Mode::Refuse) {
            return {};
        }
        m_currentId = id;
        ++m_alive;
        const bool hold = m_mode == Mode::Hold;
        return std::thread([this, id, hold, body = std::move(body)] {
            t_id = id;
            if (hold) {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [this] { return m_open; });
            }
            body();
            --m_alive;
        });
    }

    static thread_local uint64_t t_id;
    const Mode m_mode;
    std::atomic<uint64_t> m_launches{0};
    std::atomic<int> m_alive{0};
    std::atomic<uint64_t> m_currentId{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

thread_local uint64_t Workers::t_id = 0;

// A scheduler over the rig's manager and synchroniser, its workers made by workers.
std::unique_ptr<SyncScheduler> SchedulerOver(SyncRig& rig, Workers& workers) {
    return std::make_unique<SyncScheduler>(*rig.manager, *rig.synchroniser, rig.settings, rig.clock,
                                           rig.network, workers.Factory());
}

// A rig with a scheduler over it. Held workers are released before the
// scheduler joins them.
struct SchedulerRig : SyncRig {
    explicit SchedulerRig(Workers::Mode mode = Workers::Mode::Run, double serverAheadSeconds = 0.5,
                          uint32_t receiveTimeoutMs = 300)
        : SyncRig(serverAheadSeconds, receiveTimeoutMs), workers(mode) {
        scheduler = SchedulerOver(*this, workers);
    }
    ~SchedulerRig() {
        workers.Release();
        scheduler.reset();
    }

    // Waits until every worker has returned; the next tick finds the run over.
    bool WaitForWorkers() { return workers.WaitUntilNoneAlive(5s); }
    SYSTEMTIME Local() const { return clock.GetLocalTime(); }
    // Puts the local clock at the given time of the rig's day.
    void SetLocalTime(int hour, int minute, int second) {
        clock.Set(
            ClockFromSystemTime({2026, 12, 0, 6, uint16_t(hour), uint16_t(minute), uint16_t(second), 0}));
        clock.Advance(-3600);
    }

    Workers workers;
    FakeWindow window;
    std::unique_ptr<SyncScheduler> scheduler;
};

LocalDateTime MinutesFromNow(const SyncRig& rig, double minutes) {
    SYSTEMTIME now = rig.clock.GetLocalTime();
    now.wMilliseconds = 0;
    LocalDateTime at = LocalDateTimeFrom(now);
    at.days += minutes / 1440;
    return at;
}

}  // namespace

// Whether the automatic check starts a run, closes a hidden window or says
// that the network is absent, by period. An automatic start stamps the last
// automatic start (whole seconds), the watchdog start and the flags.
TEST(SyncSchedulerTest, TheAutomaticCheckDecidesByPeriod) {
    struct Row {
        const char* name;
        int32_t period;
        uint16_t syncDay;  // of December 2026; today is the 6th
        bool autoStarted;
        std::optional<double> lastAutoStartMinutes;  // from now; none: as the manager starts
        bool visible;
        int32_t exitAfter;
        bool connected;
        bool starts;
        bool closes;
        const char* status;
    };
    const Row rows[] = {
        {"daily, not yet today", 0, 5, false, {}, true, 1, true, true, false, "Null"},
        {"daily, done today, hidden", 0, 6, false, {}, false, 1, true, false, true, "Null"},
        {"daily, done today, shown", 0, 6, false, {}, true, 1, true, false, false, "Null"},
        {"daily, done today, hidden, no exit", 0, 6, false, {}, false, 0, true, false, false, "Null"},
        {"daily, never", 0, 0, false, {}, true, 1, true, true, false, "Null"},
        {"start-up, first check", 1, 6, false, {}, false, 1, true, true, false, "Null"},
        {"start-up, started, hidden", 1, 5, true, {}, false, 1, true, false, true, "Null"},
        {"hourly, first check", 2, 6, false, {}, true, 0, true, true, false, "Null"},
        {"hourly, 59 minutes after, hidden", 2, 5, true, -59.5, false, 1, true, false, false, "Null"},
        {"hourly, 60 minutes after", 2, 6, true, -60, true, 0, true, true, false, "Null"},
        {"only manual, hidden", 3, 5, false, {}, false, 1, true, false, false, "Null"},
        {"daily, due, offline", 0, 5, false, {}, true, 1, false, false, false, "Null"},
        {"hourly, due, offline",
         2,
         5,
         false,
         {},
         true,
         0,
         false,
         false,
         false,
         "Net connection is absent! 15:05; Dec 06, 2026"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SchedulerRig rig(Workers::Mode::Refuse);
        rig.settings.nSynPeriod = row.period;
        rig.settings.bExitAfter = row.exitAfter;
        rig.network.SetConnected(row.connected);
        rig.window.visible = row.visible;
        LastAttempt last;
        last.statusText = "Null";
        if (row.syncDay != 0) {
            last.syncDate = {2026, 12, 0, row.syncDay};
        }
        rig.manager->SetLastAttempt(last);
        if (row.autoStarted) {
            rig.manager->SetAutoStarted();
        }
        if (row.lastAutoStartMinutes) {
            rig.manager->SetLastAutoStart(MinutesFromNow(rig, *row.lastAutoStartMinutes));
        }
        const LocalDateTime lastAutoStartBefore = rig.manager->LastAutoStart();

        rig.scheduler->CheckSchedule(rig.window);
        EXPECT_EQ(rig.workers.Launches(), row.starts ? 1u : 0u);
        EXPECT_EQ(rig.window.closeRequests, row.closes ? 1 : 0);
        EXPECT_EQ(rig.manager->StatusText(), row.status);
        EXPECT_EQ(rig.window.refreshes, row.status != std::string("Null") ? 1 : 0);
        if (row.starts) {
            EXPECT_EQ(rig.manager->AutoStarted(), 1);
            EXPECT_EQ(rig.manager->ManualFlag(), 0);
            EXPECT_EQ(rig.manager->WatchStart(), rig.clock.Monotonic());
            EXPECT_DOUBLE_EQ(rig.manager->LastAutoStart().days, MinutesFromNow(rig, 0).days);
        } else {
            EXPECT_EQ(rig.manager->AutoStarted(), row.autoStarted ? 1 : 0);
            EXPECT_DOUBLE_EQ(rig.manager->LastAutoStart().days, lastAutoStartBefore.days);
        }
    }
}

// With a shift of the clock no automatic run starts from 23:46 to 00:14.
TEST(SyncSchedulerTest, WithAnOffsetTheRunWaitsOutMidnight) {
    struct Row {
        int hour, minute, second;
        int32_t offsetSeconds;
        bool starts;
    };
    const Row rows[] = {
        {23, 45, 59, 30, true},  {23, 46, 0, 30, false}, {23, 50, 0, -30, false},
        {23, 59, 59, 30, false}, {0, 0, 0, 30, false},   {0, 14, 59, 30, false},
        {0, 15, 0, 30, true},    {23, 50, 0, 0, true},   {0, 5, 0, 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.hour) + ":" + std::to_string(row.minute) + ", nOffset " +
                     std::to_string(row.offsetSeconds));
        SchedulerRig rig(Workers::Mode::Refuse);
        rig.SetLocalTime(row.hour, row.minute, row.second);
        rig.settings.nSynPeriod = 0;
        rig.settings.nOffset = row.offsetSeconds;
        rig.scheduler->CheckSchedule(rig.window);
        EXPECT_EQ(rig.workers.Launches(), row.starts ? 1u : 0u);
    }
}

// With the window hidden and bExitAfter set, the program closes at the first
// tick after the automatic run of the day or of the start has ended; the
// hourly mode never closes it.
TEST(SyncSchedulerTest, TheProgramExitsAfterSynchronisation) {
    for (const int32_t period : {0, 1, 2}) {
        SCOPED_TRACE(period);
        SchedulerRig rig;
        rig.settings.nSynPeriod = period;
        rig.settings.bExitAfter = 1;
        rig.window.visible = false;

        rig.scheduler->OnTimerTick(rig.window);
        EXPECT_EQ(rig.workers.Launches(), 1u);
        ASSERT_TRUE(rig.WaitForWorkers());
        EXPECT_EQ(rig.manager->StatusText(), "Success synchro: Dec. 06, 2026. Net delay: 0.004 sec.");
        EXPECT_EQ(rig.window.closeRequests, 0);
        rig.scheduler->OnTimerTick(rig.window);
        EXPECT_EQ(rig.window.closeRequests, period != 2 ? 1 : 0);
        EXPECT_EQ(rig.window.exists, period == 2);
        EXPECT_EQ(rig.workers.Launches(), 1u);
    }
}

// While a run lasts the bar walks 0, 10, ... 100, 0, ...; when none runs it
// stands at 0 and the window's texts are refreshed.
TEST(SyncSchedulerTest, TheTickStepsTheProgressWhileARunLasts) {
    SchedulerRig rig(Workers::Mode::Hold);
    rig.settings.nSynPeriod = 3;
    rig.scheduler->OnTimerTick(rig.window);
    EXPECT_EQ(rig.window.progress, std::vector<int>{0});
    EXPECT_EQ(rig.window.refreshes, 1);

    rig.scheduler->StartManualRun();
    for (int i = 0; i < 13; ++i) {
        rig.scheduler->OnTimerTick(rig.window);
    }
    EXPECT_EQ(rig.window.progress, (std::vector<int>{0, 0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 0, 10}));
    EXPECT_EQ(rig.window.refreshes, 1);

    rig.workers.Release();
    ASSERT_TRUE(rig.WaitForWorkers());
    rig.scheduler->OnTimerTick(rig.window);
    EXPECT_EQ(rig.window.progress.back(), 0);
    EXPECT_EQ(rig.window.refreshes, 2);
}

// The watchdog's limit: 180 s for a manual run whatever nTimeOut says,
// nTimeOut for an automatic one. Past it the run starts again from the start,
// manual or automatic as it was, on the same server, counting from now.
TEST(SyncSchedulerTest, TheWatchdogRestartsARunPastItsLimit) {
    struct Row {
        int32_t manual;
        int32_t timeOutSeconds;
        double elapsedSeconds;
        bool restarts;
    };
    const Row rows[] = {
        {1, 20, 180, false}, {1, 20, 181, true},   {0, 20, 20, false},
        {0, 20, 21, true},   {0, 200, 181, false}, {0, 200, 201, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.manual) + ", nTimeOut " + std::to_string(row.timeOutSeconds) + ", " +
                     std::to_string(row.elapsedSeconds) + " s");
        SchedulerRig rig(Workers::Mode::Hold);
        FakeAttemptRecorder recorder;
        rig.manager->SetRecorder(&recorder);
        rig.settings.nTimeOut = row.timeOutSeconds;
        rig.settings.nSynPeriod = row.manual != 0 ? 3 : 1;
        rig.manager->AdvanceServer();
        if (row.manual != 0) {
            rig.scheduler->StartManualRun();
        } else {
            rig.scheduler->OnTimerTick(rig.window);
        }
        ASSERT_EQ(rig.workers.Launches(), 1u);

        rig.clock.Advance(row.elapsedSeconds);
        rig.scheduler->OnTimerTick(rig.window);
        EXPECT_EQ(rig.workers.Launches(), row.restarts ? 2u : 1u);
        EXPECT_EQ(rig.manager->ManualFlag(), row.manual);
        EXPECT_EQ(rig.manager->CurrentServer(), 1);
        EXPECT_TRUE(rig.scheduler->IsRunning());
        if (row.restarts) {
            EXPECT_EQ(rig.manager->WatchStart(), rig.clock.Monotonic());
            ASSERT_FALSE(recorder.Records().empty());
            EXPECT_EQ(recorder.Records().front().statusText, SyncManager::kRestartedText);
        }

        // The stopped worker, let go, changes nothing; the new one does the run.
        rig.workers.Release();
        ASSERT_TRUE(rig.WaitForWorkers());
        EXPECT_FALSE(rig.scheduler->IsRunning());
        EXPECT_EQ(rig.clock.Sets().size(), 1u);
        EXPECT_EQ(rig.prompts.Count(), row.manual != 0 ? 1u : 0u);
        EXPECT_EQ(rig.probe.CallCount(), row.manual != 0 ? 1u : 0u);
    }
}

// The watchdog counts time that passes: a change of the zone's offset or a
// step of the clock neither fires it early nor holds it off.
TEST(SyncSchedulerTest, TheWatchdogMeasuresTimeThatPasses) {
    struct Row {
        int localOffsetSeconds;  // the rig's is 3600
        double clockStepSeconds, passedSeconds;
        bool restarts;
    };
    for (const Row& row : {Row{7200, 0, 5, false}, Row{3600, 3600, 5, false}, Row{3600, -3600, 21, true}}) {
        SchedulerRig rig(Workers::Mode::Hold);
        rig.settings.nSynPeriod = 1;
        rig.scheduler->OnTimerTick(rig.window);
        rig.clock.SetLocalOffset(row.localOffsetSeconds);
        rig.clock.Set(AddSecondsTo(rig.clock.Now(), row.clockStepSeconds));
        rig.clock.Advance(row.passedSeconds);
        rig.scheduler->OnTimerTick(rig.window);
        EXPECT_EQ(rig.workers.Launches(), row.restarts ? 2u : 1u) << row.clockStepSeconds;
    }
}

// Found stuck on the same server a second time, a run moves on to the next
// server, without an extra hourly start; a run held up after its server
// answered (its success box left open) stays on that server.
TEST(SyncSchedulerTest, AServerStuckTwiceIsLeftForTheNext) {
    SchedulerRig rig(Workers::Mode::Hold);
    rig.settings.nSynPeriod = 2;
    rig.scheduler->OnTimerTick(rig.window);
    const double autoStart = rig.manager->LastAutoStart().days;
    std::vector<int32_t> servers;
    for (int restart = 0; restart < 4; ++restart) {
        rig.clock.Advance(21);
        rig.scheduler->OnTimerTick(rig.window);
        servers.push_back(rig.manager->CurrentServer());
    }
    EXPECT_EQ(servers, (std::vector<int32_t>{0, 1, 1, 2}));
    EXPECT_DOUBLE_EQ(rig.manager->LastAutoStart().days, autoStart);

    SchedulerRig boxed;
    boxed.prompts.HoldBoxesOpen(true);
    boxed.scheduler->StartManualRun();
    for (size_t boxes = 1; boxes <= 2; ++boxes) {
        for (int i = 0; i < 5000 && boxed.prompts.Count() < boxes; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        boxed.clock.Advance(181);
        boxed.scheduler->OnTimerTick(boxed.window);
    }
    EXPECT_EQ(boxed.workers.Launches(), 3u);
    EXPECT_EQ(boxed.manager->CurrentServer(), 0);
}

TEST(SyncSchedulerTest, BreakWithoutARunOnlySaysSo) {
    SchedulerRig rig;
    rig.scheduler->BreakRun();
    EXPECT_EQ(rig.manager->StatusText(), "Broken by the user.");
    EXPECT_EQ(rig.workers.Launches(), 0u);
    EXPECT_FALSE(rig.scheduler->IsRunning());
}

// Break stops a run hanging in the probe at once; the stopped run says
// nothing, and a new run may start in the same tick.
TEST(SyncSchedulerTest, BreakStopsAHangingRunAtOnce) {
    SchedulerRig rig;
    rig.probe.SetHang(true);
    rig.scheduler->StartManualRun();
    ASSERT_TRUE(rig.probe.WaitForCalls(1, 5s));

    rig.scheduler->BreakRun();
    EXPECT_FALSE(rig.scheduler->IsRunning());
    EXPECT_EQ(rig.manager->StatusText(), "Broken by the user.");
    rig.scheduler->StartManualRun();
    EXPECT_EQ(rig.workers.Launches(), 2u);
    ASSERT_TRUE(rig.probe.WaitForCalls(2, 5s));
    rig.scheduler->BreakRun();

    ASSERT_TRUE(rig.workers.WaitUntilNoneAlive(5s));
    EXPECT_EQ(rig.manager->StatusText(), "Broken by the user.");
    EXPECT_EQ(rig.manager->CurrentServer(), 0);
    EXPECT_EQ(rig.prompts.Count(), 0u);
    EXPECT_EQ(rig.server.RequestCount(), 0u);
    EXPECT_FALSE(rig.scheduler->IsRunning());
    EXPECT_EQ(rig.scheduler->WorkerCount(), 0u);
}

// Break while the success box is open closes the box; the run neither writes
// its success text nor stores the record nor clears bFirstStart.
TEST(SyncSchedulerTest, BreakClosesTheBoxOfTheRun) {
    SchedulerRig rig;
    rig.settings.bFirstStart = 1;
    rig.prompts.HoldBoxesOpen(true);
    rig.scheduler->StartManualRun();
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (rig.prompts.Count() == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(rig.prompts.Count(), 1u);

    rig.scheduler->BreakRun();
    ASSERT_TRUE(rig.workers.WaitUntilNoneAlive(5s));
    EXPECT_EQ(rig.manager->StatusText(), "Broken by the user.");
    EXPECT_EQ(rig.settings.bFirstStart.load(), 1);
    EXPECT_EQ(rig.temp.StoredFile().find("Success synchro"), std::string::npos);
}

TEST(SyncSchedulerTest, SynchronizeNowWhileARunLastsDoesNothing) {
    SchedulerRig rig(Workers::Mode::Hold);
    rig.scheduler->StartManualRun();
    rig.scheduler->StartManualRun();
    EXPECT_EQ(rig.workers.Launches(), 1u);
    EXPECT_TRUE(rig.scheduler->IsRunning());
}

// A worker that cannot be created counts as a run that is over. A manual
// press has no effect; an automatic attempt counts as made: no second one in
// start-up mode, the next after 60 minutes in hourly mode, at the next tick in
// daily mode.
TEST(SyncSchedulerTest, AWorkerThatCannotBeCreatedIsNone) {
    {
        SchedulerRig rig(Workers::Mode::Refuse);
        rig.settings.nSynPeriod = 3;
        rig.scheduler->StartManualRun();
        EXPECT_EQ(rig.workers.Launches(), 1u);
        EXPECT_FALSE(rig.scheduler->IsRunning());
        rig.scheduler->OnTimerTick(rig.window);
        EXPECT_EQ(rig.manager->StatusText(), "Null");
        EXPECT_EQ(rig.probe.CallCount(), 0u);
    }
    struct Row {
        int32_t period;
        size_t attemptsAtTheSecondTick;
        size_t attemptsAnHourLater;
    };
    for (const Row& row : {Row{0, 2, 3}, Row{1, 1, 1}, Row{2, 1, 2}}) {
        SCOPED_TRACE(row.period);
        SchedulerRig rig(Workers::Mode::Refuse);
        rig.settings.nSynPeriod = row.period;
        rig.scheduler->OnTimerTick(rig.window);
        EXPECT_EQ(rig.workers.Launches(), 1u);
        EXPECT_EQ(rig.manager->AutoStarted(), 1);
        rig.clock.Advance(1);
        rig.scheduler->OnTimerTick(rig.window);
        EXPECT_EQ(rig.workers.Launches(), row.attemptsAtTheSecondTick);
        rig.clock.Advance(3600);
        rig.scheduler->OnTimerTick(rig.window);
        EXPECT_EQ(rig.workers.Launches(), row.attemptsAnHourLater);
    }
}

// Failed automatic runs in hourly mode retry at once with the next server.
TEST(SyncSchedulerTest, AFailedHourlyRunRetriesAtOnceWithTheNextServer) {
    SchedulerRig rig(Workers::Mode::Run, 0.5, 50);
    rig.settings.nSynPeriod = 2;
    rig.server.SetSilent(true);
    rig.scheduler->OnTimerTick(rig.window);
    ASSERT_TRUE(rig.WaitForWorkers());
    EXPECT_EQ(rig.manager->CurrentServer(), 1);
    EXPECT_EQ(rig.manager->StatusText(), "Communication error! 15:05; 06-Dec-2026");
    rig.scheduler->OnTimerTick(rig.window);
    EXPECT_EQ(rig.workers.Launches(), 2u);
}

// Many starts, Breaks and watchdog restarts against a server that answers
// slowly: every clock set comes from the current run, a Break is never
// overwritten, nothing changes once the last run is stopped, and no thread is
// left behind.
TEST(SyncSchedulerTest, StartBreakAndRestartAThousandTimes) {
    // Client and server on one clock that follows real time: every run that
    // gets an answer succeeds with a small correction, and moving the clock
    // for the watchdog moves the server's time as well.
    TempSettings temp;
    for (const char* title : {"First", "Second", "Third"}) {
        temp.settings.servers.Add(CServer(title, FakeSntpServer::kHost, 0));
    }
    temp.settings.nMaxDiff = 0;
    FakeClock clock = FakeClock::FollowingRealTime(0);
    FakeSntpServer server(clock);
    server.SetReplyDelay(0.001);
    FakePrompts prompts;
    FakeClockSetter clockSetter{clock};
    SocketsLayer sockets;
    FakeInternetProbe probe;
    FakeNetworkState network;
    SyncManager manager(temp.settings, clock, prompts, "C");
    manager.SetCurrentServer();
    Synchroniser synchroniser(manager, clock, clockSetter, sockets, probe, {server.Port(), 100});

    std::atomic<int> strangers{0};
    Workers workers;
    clock.OnSet([&](const ClockTime&) {
        if (Workers::ThisWorker() != workers.CurrentId()) {
            ++strangers;
        }
    });
    auto scheduler = std::make_unique<SyncScheduler>(manager, synchroniser, temp.settings, clock, network,
                                                     workers.Factory());

    struct State {
        size_t sets;
        LastAttempt last;
        int32_t server;
        size_t boxes;
        bool operator==(const State&) const = default;
    };
    const auto state = [&] {
        return State{clock.Sets().size(), manager.GetLastAttempt(), manager.CurrentServer(), prompts.Count()};
    };

    // Every 25th run is left to finish, so that runs also reach the clock,
    // the box and the record; the others are stopped somewhere on the way.
    std::optional<State> afterBreak;
    size_t finished = 0;
    size_t successes = 0;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        if (afterBreak) {
            ASSERT_EQ(state(), *afterBreak) << "cycle " << cycle;
        }
        scheduler->StartManualRun();
        if (cycle % 25 == 0) {
            const auto end = std::chrono::steady_clock::now() + 2s;
            while (scheduler->IsRunning() && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(1ms);
            }
            finished += scheduler->IsRunning() ? 0 : 1;
            successes += manager.StatusText().starts_with("Success synchro:") ? 1 : 0;
        } else {
            if (cycle % 5 == 1) {
                std::this_thread::sleep_for(2ms);
            }
            clock.Advance(181);
            scheduler->WatchRun();
            if (cycle % 5 == 3) {
                std::this_thread::sleep_for(2ms);
            }
        }
        scheduler->BreakRun();
        workers.ClearCurrent();
        ASSERT_EQ(manager.StatusText(), "Broken by the user.");
        afterBreak = state();
        scheduler->IsRunning();
    }
    // 40 left to finish, 960 restarted; a restart is missed now and then when
    // a run's clock set (read, add, set) straddles the test's advance of the
    // clock and so undoes it.
    EXPECT_LE(workers.Launches(), 1960u);
    EXPECT_GE(workers.Launches(), 1900u);
    EXPECT_EQ(finished, 40u);
    EXPECT_GT(successes, 0u);
    scheduler.reset();
    EXPECT_EQ(workers.Alive(), 0);
    EXPECT_EQ(state(), *afterBreak);
    EXPECT_EQ(strangers, 0);
    std::cout << successes << " of " << finished << " runs left to finish succeeded; " << clock.Sets().size()
              << " clock sets, " << prompts.Count() << " boxes, " << server.RequestCount()
              << " requests in 1000 cycles\n";
}

// The real probe against a local web server: a page that answers lets the run
// go on; one that never answers holds nothing up, neither Break nor the
// scheduler's end.
TEST(SyncSchedulerTest, TheRealProbeGatesAManualRunAndAHangingOneHoldsNothingUp) {
    LocalHttpResponder web;
    {
        SyncRig rig;
        CurlInternetProbe probe(web.Url());
        Workers workers;
        rig.UseProbe(probe);
        auto scheduler = SchedulerOver(rig, workers);
        scheduler->StartManualRun();
        ASSERT_TRUE(workers.WaitUntilNoneAlive(10s));
        EXPECT_EQ(rig.manager->StatusText(), "Success synchro: Dec. 06, 2026. Net delay: 0.004 sec.");
        EXPECT_EQ(web.Requests().size(), 1u);
    }
    web.SetCloseAtOnce(true);
    {
        SyncRig rig;
        CurlInternetProbe probe(web.Url());
        Workers workers;
        rig.UseProbe(probe);
        auto scheduler = SchedulerOver(rig, workers);
        scheduler->StartManualRun();
        ASSERT_TRUE(workers.WaitUntilNoneAlive(10s));
        EXPECT_EQ(rig.manager->StatusText(), "URL Open Error! 15:05; 06-Dec-2026");
        EXPECT_EQ(rig.manager->CurrentServer(), 1);
        EXPECT_EQ(rig.server.RequestCount(), 0u);
    }
    web.SetCloseAtOnce(false);
    web.SetSilent(true);
    const auto start = std::chrono::steady_clock::now();
    {
        SyncRig rig;
        CurlInternetProbe probe(web.Url());  // waits 30 s for an answer
        Workers workers;
        rig.UseProbe(probe);
        auto scheduler = SchedulerOver(rig, workers);
        scheduler->StartManualRun();
        ASSERT_TRUE(web.WaitForRequests(3, 10s));
        scheduler->BreakRun();
        scheduler->StartManualRun();
        ASSERT_TRUE(web.WaitForRequests(4, 10s));
        scheduler.reset();
        EXPECT_EQ(workers.Alive(), 0);
        EXPECT_EQ(rig.manager->StatusText(), "Broken by the user.");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// A day in which nothing can succeed: one round of the list, then attempts
// spaced out to one an hour; no server is asked twice within 15 s. A refused
// set is not the server's fault, so it keeps being asked, and only it.
TEST(SyncSchedulerTest, ADayOfFailuresKeepsTheServersInPeace) {
    struct Row {
        DaySimulation::Fault fault;
        const char* what;
        std::size_t serversAsked;
    };
    const Row rows[] = {
        {DaySimulation::Fault::SetRefused, "setting refused", 1},
        {DaySimulation::Fault::Silent, "every server silent", 18},
        {DaySimulation::Fault::Rejecting, "every server rejecting at once", 18},
        {DaySimulation::Fault::KissOfDeath, "every server a kiss-o'-death", 18},
    };
    for (const Row& row : rows) {
        const DaySimulation::Result day = DaySimulation::Run(row.fault);
        std::cout << row.what << ": " << day.requests << " requests to " << day.serversAsked
                  << " servers, at most " << day.busiestServer << " to one, never two within "
                  << day.closestToOneServerSeconds << " s; longest pause " << day.longestGapSeconds << " s\n";
        EXPECT_LE(day.requests, 60u) << row.what;
        EXPECT_GE(day.requests, 20u) << row.what;
        EXPECT_EQ(day.serversAsked, row.serversAsked) << row.what;
        EXPECT_GE(day.closestToOneServerSeconds, 15) << row.what;
        EXPECT_LE(day.longestGapSeconds, 3600 + 60) << row.what;
        EXPECT_GT(day.nextAttemptSeconds, 0) << row.what;
        EXPECT_LE(day.nextAttemptSeconds, 3600) << row.what;
    }
}

// When the next automatic attempt comes, as the schedule stands: at once when
// due, at midnight after today's success, never without automatic runs.
TEST(SyncSchedulerTest, TheNextAutomaticAttemptIsKnown) {
    struct Row {
        int32_t period;
        bool syncedToday;
        std::optional<int64_t> seconds;
    };
    const Row rows[] = {
        {0, false, 0}, {0, true, 8 * 3600 + 54 * 60 + 30}, {1, false, 0},
        {2, false, 0}, {3, false, std::nullopt},
    };
    for (const Row& row : rows) {
        SchedulerRig rig;
        rig.settings.nSynPeriod = row.period;
        if (row.syncedToday) {
            rig.manager->SetLastAttempt({{}, {}, {2026, 12, 0, 6}, "Null"});
        }
        EXPECT_EQ(rig.scheduler->SecondsToNextAutomaticAttempt(), row.seconds) << row.period;
    }
}
