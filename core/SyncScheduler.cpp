#include "core/SyncScheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "config/OptionRanges.h"
#include "config/Settings.h"
#include "core/LocalDateTime.h"
#include "core/SyncManager.h"
#include "core/Synchroniser.h"
#include "platform/NetworkState.h"

namespace {

// A manual run may take this long whatever nTimeOut says: it waits for the
// user's boxes.
constexpr int64_t kManualLimitSeconds = 180;
// The spacing of automatic attempts once they are spaced: the first, and the
// longest, after which each attempt waits as long.
constexpr std::chrono::minutes kFirstPause{1};
constexpr std::chrono::minutes kLongestPause{60};
constexpr int64_t kHourlyIntervalMinutes = 60;
constexpr int kProgressStep = 10;
constexpr int kProgressMax = 100;

std::thread CreateStdThread(std::function<void()> body) {
    return std::thread(std::move(body));
}

// With a shift of the clock the run keeps clear of midnight (23:46 to 00:14),
// so that the shift never carries the date over under the schedule's feet.
bool NearMidnight(const SYSTEMTIME& local) {
    return (local.wHour == 23 && local.wMinute > 45) || (local.wHour == 0 && local.wMinute < 15);
}

}  // namespace

struct SyncScheduler::Impl {
    // A worker's thread and whether its run has returned; the run sets the flag last.
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> ended;

        bool HasEnded() const { return ended->load(std::memory_order_acquire); }
    };

    Impl(SyncManager& m, Synchroniser& s, const Settings& o, SystemClock& c, NetworkState& n, WorkerFactory f)
        : manager(m),
          synchroniser(s),
          settings(o),
          clock(c),
          network(n),
          createWorker(f ? std::move(f) : WorkerFactory(CreateStdThread)) {}

    // The current and every abandoned worker, joined. Each is at most in one
    // call that its stop cannot cut short.
    ~Impl() {
        if (current) {
            manager.AbandonRun();
            Abandon();
        }
        for (Worker& worker : abandoned) {
            worker.thread.join();
        }
    }

    // Joins the abandoned workers that have ended: they are past every effect,
    // so the join returns at once.
    void Reap() {
        std::erase_if(abandoned, [](Worker& worker) {
            if (!worker.HasEnded()) {
                return false;
            }
            worker.thread.join();
            return true;
        });
    }

    // The current worker goes to the abandoned ones; its run has been stopped.
    void Abandon() {
        if (current) {
            abandoned.push_back(std::move(*current));
            current.reset();
        }
    }

    // What the options that shape the schedule were at the last look: a
    // change of them starts the spacing afresh.
    std::string OptionsStamp() const {
        std::string stamp =
            std::to_string(settings.nSynPeriod.load()) + ' ' + std::to_string(settings.nOffset.load()) + ' ' +
            std::to_string(settings.nTimeOut.load()) + ' ' + std::to_string(settings.nStartingServ.load());
        for (const CServer& server : settings.servers) {
            stamp += ' ' + server.host;
        }
        return stamp;
    }

    void StartAfresh() {
        serverFailures = 0;
        pause = std::chrono::nanoseconds(0);
        notBefore.reset();
    }

    // The next automatic attempt waits: 1 minute, then twice as long each
    // time, up to the hour.
    void Lengthen() {
        pause = pause.count() == 0 ? std::chrono::nanoseconds(kFirstPause)
                                   : std::min<std::chrono::nanoseconds>(pause * 2, kLongestPause);
        notBefore = clock.Monotonic() + pause;
    }

    // An automatic run has ended. A failure of the server's lets the next
    // server be tried at once until every server of the list has been tried
    // once since the last success; after that, and after any failure that lies
    // with this machine, the attempts are spaced.
    void AutomaticRunEnded(const SyncManager::RunEnd& end) {
        switch (end.outcome) {
            case AttemptOutcome::Success:
                StartAfresh();
                return;
            case AttemptOutcome::Stopped:
                return;
            case AttemptOutcome::Failure:
                break;
        }
        if (IsLocalCause(end.cause)) {
            Lengthen();
            return;
        }
        ++serverFailures;
        if (serverFailures >= settings.servers.GetSize()) {
            Lengthen();
        } else {
            notBefore.reset();
        }
    }

    // A worker for the run of ticket; none when it cannot be created.
    void Launch(int32_t interactive, const RunTicket& ticket) {
        currentInteractive = interactive;
        auto ended = std::make_shared<std::atomic<bool>>(false);
        // The worker holds references only to what outlives the scheduler.
        Synchroniser& s = synchroniser;
        std::function<void()> body = [&s, interactive, ticket, ended] {
            s.SyncThreadProc(interactive, ticket);
            ended->store(true, std::memory_order_release);
        };
        std::thread thread;
        try {
            thread = createWorker(std::move(body));
        } catch (const std::system_error&) {
            // As a thread that could not be created: no worker.
        }
        if (thread.joinable()) {
            current = Worker{std::move(thread), std::move(ended)};
        }
    }

    // The current local date-time without the fraction of the second.
    LocalDateTime NowAtWholeSeconds() const {
        ClockTime now = clock.Now();
        now.nanoseconds = 0;
        return LocalDateTimeFrom(clock.ToLocal(now));
    }

    SyncManager& manager;
    Synchroniser& synchroniser;
    const Settings& settings;
    SystemClock& clock;
    NetworkState& network;
    WorkerFactory createWorker;
    std::optional<Worker> current;
    std::vector<Worker> abandoned;
    // Not reset between runs: the bar goes on where it stopped.
    int progress = 0;
    // The server the watchdog last found a run stuck on, while the runs since
    // have been its restarts.
    std::optional<int32_t> stuckServer;
    // Whether the current worker's run was asked for by the user.
    int32_t currentInteractive = 0;
    // The spacing of automatic attempts: failures of servers since the last
    // success, the pause now in force, and when (monotonic) the next
    // automatic attempt may start.
    std::size_t serverFailures = 0;
    std::chrono::nanoseconds pause{0};
    std::optional<std::chrono::nanoseconds> notBefore;
    std::string optionsStamp;
};

SyncScheduler::SyncScheduler(SyncManager& manager, Synchroniser& synchroniser, const Settings& settings,
                             SystemClock& clock, NetworkState& network, WorkerFactory createWorker)
    : m_impl(
          std::make_unique<Impl>(manager, synchroniser, settings, clock, network, std::move(createWorker))) {}

SyncScheduler::~SyncScheduler() = default;

bool SyncScheduler::IsRunning() {
    m_impl->Reap();
    if (!m_impl->current) {
        return false;
    }
    if (!m_impl->current->HasEnded()) {
        return true;
    }
    m_impl->current->thread.join();
    m_impl->current.reset();
    m_impl->stuckServer.reset();
    if (m_impl->currentInteractive == 0) {
        m_impl->AutomaticRunEnded(m_impl->manager.LastRunEnd());
    }
    return false;
}

void SyncScheduler::StartManualRun() {
    if (IsRunning()) {
        return;
    }
    // The user's own attempt: whatever it gives, the automatic ones start afresh.
    m_impl->StartAfresh();
    m_impl->Launch(1, m_impl->manager.BeginRun(1));
}

void SyncScheduler::BreakRun() {
    // Stopped first, so that the run cannot overwrite the text in between.
    constexpr const char* kBrokenText = "Broken by the user.";
    m_impl->manager.AbandonRun(kBrokenText);
    m_impl->manager.SetStatusText(kBrokenText);
    m_impl->stuckServer.reset();
    m_impl->Abandon();
    m_impl->Reap();
}

void SyncScheduler::CheckSchedule(MainWindowView& window) {
    if (IsRunning()) {
        return;
    }
    SyncManager& manager = m_impl->manager;
    const Settings& settings = m_impl->settings;
    const SYSTEMTIME t = m_impl->clock.GetLocalTime();
    const LocalDateTime now = m_impl->NowAtWholeSeconds();

    const int32_t period = settings.nSynPeriod;
    bool due = false;
    switch (period) {
        case SyncPeriod::kDaily: {
            const SYSTEMTIME date = manager.GetLastAttempt().syncDate;
            due = date.wYear != t.wYear || date.wMonth != t.wMonth || date.wDay != t.wDay;
            break;
        }
        case SyncPeriod::kAtStartUp:
            due = manager.AutoStarted() == 0;
            break;
        case SyncPeriod::kHourly:
            if (std::abs(WholeMinutes(manager.LastAutoStart().days - now.days)) < kHourlyIntervalMinutes) {
                return;
            }
            due = true;
            break;
        default:
            return;
    }

    if (!due) {
        if (!window.IsWindowVisible() && settings.bExitAfter != 0) {
            window.RequestClose();
        }
        return;
    }
    if (settings.nOffset != 0 && NearMidnight(t)) {
        return;
    }
    if (std::string stamp = m_impl->OptionsStamp(); stamp != m_impl->optionsStamp) {
        m_impl->optionsStamp = std::move(stamp);
        m_impl->StartAfresh();
    }
    if (m_impl->notBefore && m_impl->clock.Monotonic() < *m_impl->notBefore) {
        return;
    }
    if (m_impl->network.IsConnected()) {
        manager.SetLastAutoStart(now);
        m_impl->Launch(0, manager.BeginRun(0));
        // Also when no worker could be created: the attempt counts as made.
        manager.SetAutoStarted();
        return;
    }
    if (period == SyncPeriod::kHourly) {
        char text[128];
        std::snprintf(text, sizeof text, "Net connection is absent! %02d:%02d; %s %02d, %04d", t.wHour,
                      t.wMinute, manager.Months().Name(t.wMonth).c_str(), t.wDay, t.wYear);
        manager.SetStatusText(text);
        window.RefreshDisplay();
    }
}

void SyncScheduler::WatchRun() {
    SyncManager& manager = m_impl->manager;
    // Whole seconds on the monotonic clock: the run's own steps of the clock
    // and the zone's changes of offset do not count as time the run took.
    const int64_t elapsedSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(m_impl->clock.Monotonic() - manager.WatchStart())
            .count();
    const int32_t manual = manager.ManualFlag();
    const int64_t limitSeconds = manual != 0 ? kManualLimitSeconds : m_impl->settings.nTimeOut.load();
    if (elapsedSeconds <= limitSeconds) {
        return;
    }
    if (!m_impl->current) {
        manager.RestartWatch();
        return;
    }
    // Stopped before anything is looked at, so that the run can no longer
    // move the server or record itself under the watchdog's feet.
    manager.AbandonRun(SyncManager::kRestartedText);
    const int32_t server = manager.CurrentServer();
    if (manager.RunRecorded()) {
        // Past its server (a box of the run left open): not the server's fault.
        m_impl->stuckServer.reset();
    } else if (m_impl->stuckServer == server) {
        // The same server held the run up twice: the next one is tried, as
        // after a failure. The restart is itself the retry, so an hourly
        // schedule keeps its last automatic start.
        const LocalDateTime lastAutoStart = manager.LastAutoStart();
        manager.AdvanceServer();
        manager.SetLastAutoStart(lastAutoStart);
        m_impl->stuckServer.reset();
    } else {
        m_impl->stuckServer = server;
    }
    // The run again from its start; a run stopped by the watchdog never
    // reaches AdvanceServer itself.
    const RunTicket ticket = manager.BeginRun(manual);
    m_impl->Abandon();
    m_impl->Launch(manual, ticket);
    m_impl->Reap();
}

void SyncScheduler::OnTimerTick(MainWindowView& window) {
    if (IsRunning()) {
        WatchRun();
        window.SetProgress(m_impl->progress);
        m_impl->progress += kProgressStep;
        if (m_impl->progress > kProgressMax) {
            m_impl->progress = 0;
        }
        return;
    }
    window.SetProgress(0);
    CheckSchedule(window);
    if (window.WindowExists()) {
        window.RefreshDisplay();
    }
}

std::optional<int64_t> SyncScheduler::SecondsToNextAutomaticAttempt() {
    SyncManager& manager = m_impl->manager;
    const SYSTEMTIME t = m_impl->clock.GetLocalTime();
    int64_t due = 0;
    switch (m_impl->settings.nSynPeriod.load()) {
        case SyncPeriod::kDaily: {
            const SYSTEMTIME date = manager.GetLastAttempt().syncDate;
            if (date.wYear == t.wYear && date.wMonth == t.wMonth && date.wDay == t.wDay) {
                constexpr int64_t kSecondsPerDay = 86400;
                due = kSecondsPerDay - (t.wHour * 3600 + t.wMinute * 60 + t.wSecond);
            }
            break;
        }
        case SyncPeriod::kAtStartUp:
            if (manager.AutoStarted() != 0) {
                return std::nullopt;
            }
            break;
        case SyncPeriod::kHourly: {
            const int64_t since =
                WholeSeconds(m_impl->NowAtWholeSeconds().days - manager.LastAutoStart().days);
            due = std::max<int64_t>(0, kHourlyIntervalMinutes * 60 - std::abs(since));
            break;
        }
        default:
            return std::nullopt;
    }
    if (m_impl->notBefore) {
        const auto wait =
            std::chrono::ceil<std::chrono::seconds>(*m_impl->notBefore - m_impl->clock.Monotonic());
        due = std::max<int64_t>(due, wait.count());
    }
    return due;
}

std::size_t SyncScheduler::WorkerCount() const {
    return m_impl->abandoned.size() + (m_impl->current ? 1 : 0);
}
