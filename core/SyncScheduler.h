#pragma once

#include <cstdint>
#include <memory>

class SyncManager;
class InternetProbe;
class NetworkState;

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

// Keeps the one worker thread on which a synchronisation run executes and
// decides once a second whether a run starts on its own. Every operation runs
// on the user-interface thread.
class SyncScheduler {
public:
    SyncScheduler(SyncManager& manager, InternetProbe& probe, NetworkState& network);
    ~SyncScheduler();  // abandons a running worker; never waits for its network call
    SyncScheduler(const SyncScheduler&) = delete;
    SyncScheduler& operator=(const SyncScheduler&) = delete;

    bool IsRunning();
    void StartManualRun();
    void BreakRun();
    void CheckSchedule(MainWindowView& window);
    void WatchRun();
    // The one-second tick of the main window's timer.
    void OnTimerTick(MainWindowView& window);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
