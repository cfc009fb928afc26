#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class NetworkState;
class Settings;
class SyncManager;
class Synchroniser;
class SystemClock;

// What the scheduler needs of the main window, and nothing more, so that the
// scheduling is tested without widgets.
class MainWindowView {
public:
    virtual ~MainWindowView() = default;
    // True while the window is shown (not hidden to the notification area).
    virtual bool IsWindowVisible() const = 0;
    // Asks the window to close without asking the user (the exit after
    // synchronisation); returns once the request has been handled.
    virtual void RequestClose() = 0;
    // The progress control, 0 to 100.
    virtual void SetProgress(int percent) = 0;
    // Copies the texts of the last attempt and the current server's title
    // into the window.
    virtual void RefreshDisplay() = 0;
    // False once the window has been destroyed (the check may have closed it).
    virtual bool WindowExists() const = 0;
};

// Creates a thread that runs body; a thread that is not joinable when it
// cannot be created. The program uses std::thread; tests count, hold back or
// refuse the workers through this.
using WorkerFactory = std::function<std::thread(std::function<void()> body)>;

// Keeps the one worker thread on which a synchronisation run executes and
// decides once a second whether a run starts on its own. Every operation runs
// on the user-interface thread.
//
// A stopped worker (Break, the watchdog) is abandoned at once: its ticket
// refuses every effect it would still have, its box closes and its probe is
// cancelled, and a new worker may start in the same tick. Its thread is kept
// in a list of abandoned workers and joined once it has ended; nothing waits
// for it while the program runs.
//
// Lifetime: everything given to the constructor must outlive the scheduler, and the scheduler must not be
// destroyed from inside one of its own calls (MainWindowView::RequestClose). The destructor abandons the
// current run and joins every worker, so no worker ever touches a destroyed manager. A stopped worker returns
// from everything it waits on (the probe, the name lookup, the exchange, the key establishment, the clock
// setter's answer, a box) soon after its stop, as each of those waits watches the stop: the destructor, and
// so the program's exit, waits only for that.
class SyncScheduler {
public:
    // manager: the state the schedule reads and the runs' tickets; synchroniser:
    // what a worker runs; settings: the period and the options the schedule
    // follows, read on the user-interface thread only.
    // createWorker empty: std::thread, a thread that cannot be created counting as none.
    SyncScheduler(SyncManager& manager, Synchroniser& synchroniser, const Settings& settings,
                  SystemClock& clock, NetworkState& network, WorkerFactory createWorker = {});
    ~SyncScheduler();
    SyncScheduler(const SyncScheduler&) = delete;
    SyncScheduler& operator=(const SyncScheduler&) = delete;

    // A worker is held and has not ended. An ended worker is let go here.
    bool IsRunning();
    // "Synchronize now": a manual run, unless one is running.
    void StartManualRun();
    // "Break": the status text says so; a running worker is stopped.
    void BreakRun();
    // The automatic check: starts a run when one is due, or closes a hidden
    // window when nothing is left to do and the program is to exit after
    // synchronising.
    void CheckSchedule(MainWindowView& window);
    // The watchdog: a run past its limit (nTimeOut seconds automatic, 180
    // manual, measured on the monotonic clock) is stopped and started again on
    // the same server. When the restarted run is found stuck on that server
    // again, the next server is tried instead.
    void WatchRun();
    // The one-second tick of the main window's timer.
    void OnTimerTick(MainWindowView& window);

    // How many seconds from now the next automatic attempt is due, as the
    // schedule stands (0: at the next tick; the spacing after failures
    // included); none when no automatic attempt will come.
    std::optional<int64_t> SecondsToNextAutomaticAttempt();

    // Workers started and not yet joined, the running one included (for tests).
    std::size_t WorkerCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
