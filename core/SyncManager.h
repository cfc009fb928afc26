#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "config/CServer.h"
#include "config/LastAttempt.h"
#include "config/Settings.h"
#include "core/AttemptRecorder.h"
#include "core/LocalDateTime.h"
#include "core/MonthAbbrevTable.h"
#include "platform/ClockSetter.h"
#include "platform/Prompts.h"
#include "platform/SystemClock.h"

class SyncManager;

// The options one run works with, read from Settings once, when the run
// begins: a change in the Options dialog while the run goes on takes effect
// with the next run, and the run never reads a half-changed set.
struct RunOptions {
    int32_t timeOutSeconds = 0;  // nTimeOut: a reply must be faster than this
    int32_t offsetSeconds = 0;   // nOffset: the user's shift of the clock
    int32_t maxDiffMinutes = 0;  // nMaxDiff: warn when the clock moved more (0: never)
    bool firstStart = false;     // bFirstStart: no move warning for this run
    int32_t period = 0;          // nSynPeriod (SyncPeriod)
    bool onlyNts = false;        // bOnlyNts: only "nts://" servers are asked
    bool confirmLarge = true;    // bConfirmLarge: a step beyond maxDiffMinutes needs a second server

    static RunOptions From(const Settings& settings);
};

// The right of one synchronisation run to change what the rest of the program
// sees. SyncManager hands one out when a run begins (BeginRun); the run commits
// every effect it has through it: the clock, the record of the last attempt and
// its storage, the status text, the current server, the watchdog start,
// bFirstStart and its message boxes.
//
// Each commit takes the manager's lock, checks there that the run is still the
// current one (not stopped, not replaced by a newer run), and only then makes
// its change, still under the lock (the storage of the record alone is
// decided under it and written after it, SaveLastAttempt). Stopping a run (AbandonRun, or BeginRun of
// the next one) takes the same lock. So once AbandonRun has returned, a commit
// that was under way has finished, and every later commit of the stopped run is
// refused and changes nothing: a stopped run can neither set the clock nor
// write anything, however long its thread goes on.
//
// A ticket is a small value: copy it into the worker. It points at its
// manager, which must outlive every thread that holds one (an abandoned worker
// included). A default-constructed ticket belongs to no run and commits nothing. SyncManager::Direct() gives
// the user-interface thread's ticket, which is never stopped: the dialogs' measuring exchanges report through
// it.
class RunTicket {
public:
    RunTicket() = default;

    // Still allowed to commit: the manager's current run, not stopped.
    bool IsCurrent() const;
    // The options the run works with, as they stood when it began.
    const RunOptions& Options() const { return m_options; }
    // Requested when the run is stopped. Waits of the run end on it.
    std::stop_token StopToken() const { return m_stop; }
    bool StopRequested() const { return m_stop.stop_requested(); }

    // Runs effect under the manager's lock if the run is still current and
    // returns its result; otherwise returns false with ECANCELED as the last
    // error, effect not run. For the clock: read it, compute, set it, all
    // inside. The effect must not call the SyncManager (its lock is held) and
    // must not wait for the user.
    bool Commit(const std::function<bool()>& effect) const;
    // A setting of the clock on behalf of this run: sent only through Commit,
    // its wait for the answer ended by the run's stop. interactive: the user
    // started the run, so the system may ask them to authenticate.
    ClockSetRequest ClockRequest(int32_t interactive) const;

    // The record's own effects. Each returns false, changing nothing, when the
    // run is no longer current.
    bool SetStatusText(const std::string& text) const;
    bool RestartWatch() const;
    bool AdvanceServer() const;
    // Makes the first "nts://" server of the list from the current one on
    // (wrapping around) the current server. False when the list holds none,
    // or the run is no longer current.
    bool SkipToNtsServer() const;
    // timeBefore = before, timeAfter = after, syncDate = the date of after
    // (its other fields 0).
    bool RecordTimes(const SYSTEMTIME& before, const SYSTEMTIME& after) const;
    // Stores the record as it now stands (Settings::SaveLastAttempt). True
    // when committed, whether or not the store reached the disk. The record is
    // taken under the lock; the file is written after it is released (the
    // write may wait seconds for the file's lock), so a stop that comes
    // meanwhile does not undo a write already decided. Records reach the file
    // in the order they were taken.
    bool SaveLastAttempt() const;
    // bFirstStart = 0 in memory.
    bool ClearFirstStart() const;
    // The notice the window shows beside the record (empty: none).
    bool SetNotice(const std::string& text) const;
    // Hands the record of how the run ended to the recorder. A run is recorded
    // once: what it records first counts, and a run stopped before it recorded
    // anything is recorded as stopped by whoever stopped it.
    bool Record(const AttemptRecord& record) const;

    // A message box of the run. It is not shown when the run is no longer
    // current, and a stop closes it while it is open; either gives Closed.
    // Never shown under the manager's lock, so the user-interface thread is
    // never blocked by an open box of the worker.
    PromptAnswer Show(const PromptRequest& request) const;

private:
    friend class SyncManager;
    RunTicket(SyncManager* manager, uint64_t generation, std::stop_token stop, const RunOptions& options)
        : m_manager(manager), m_generation(generation), m_stop(std::move(stop)), m_options(options) {}

    SyncManager* m_manager = nullptr;
    uint64_t m_generation = 0;
    std::stop_token m_stop;
    RunOptions m_options;
};

// The state of synchronisation between runs: the times of the last successful
// synchronisation and the status text, the server the next attempt asks, the
// watchdog start, the manual flag, what the automatic schedule has done, and
// the tickets of the runs. One lock guards all of it; every member may be
// called from any thread. It talks to no server and sets no clock: the
// Synchroniser does, through the tickets handed out here.
//
// The server list is read from Settings only by SetCurrentServer (on the
// user-interface thread, which owns the list); the manager keeps its own copy,
// so a worker never reads the list while a dialog changes it.
class SyncManager {
public:
    // Reads nothing from settings here, only the clock (for the initial last
    // automatic start) and the month names of monthLocale (empty: the user's),
    // which every text uses. settings: where the record of the last attempt is
    // stored, the server list and the options a run begins with. prompts: the
    // runs' message boxes.
    SyncManager(Settings& settings, SystemClock& clock, Prompts& prompts,
                const std::string& monthLocale = {});
    SyncManager(const SyncManager&) = delete;
    SyncManager& operator=(const SyncManager&) = delete;

    // The record of the last attempt: times (local) and status text.
    LastAttempt GetLastAttempt() const;
    // What start-up loaded replaces the initial record.
    void SetLastAttempt(const LastAttempt& record);
    std::string StatusText() const;
    void SetStatusText(const std::string& text);
    // What the user should know beyond the status line, in plain words (why
    // automatic runs cannot set the clock, and the way out); empty when
    // nothing. Set by automatic runs that fail for that reason, cleared by a
    // success.
    std::string Notice() const;

    // How the last run that recorded its end ended, and why it failed:
    // Stopped with no cause until then. The schedule spaces its attempts by it.
    struct RunEnd {
        AttemptOutcome outcome = AttemptOutcome::Stopped;
        FailureCause cause = FailureCause::None;
    };
    RunEnd LastRunEnd() const;

    // "%02d:%02d:%02d   %03dms" of timeBefore / timeAfter.
    std::string FormatTimeBefore() const;
    std::string FormatTimeAfter() const;
    // "%s. %02d, %04d" (month name, day, year) of syncDate; "00/00/0000" for year 0.
    std::string FormatSyncDate() const;
    // words followed by " %02d:%02d; %02d-%s-%04d": hour, minute, day, month
    // name and year of a local time. The form of the failure reports.
    std::string FormatReportLine(const std::string& words, const SYSTEMTIME& local) const;
    const MonthAbbrevTable& Months() const { return m_months; }

    // Copies the server list from Settings and makes nStartingServ the current
    // server (0 when it lies outside the list). User-interface thread only.
    void SetCurrentServer();
    // The next server, wrapping to the first; in hourly mode (SyncPeriod::kHourly) the
    // last automatic start also moves 2 hours ahead. User-interface thread (the
    // period is read from Settings); a run advances through its ticket.
    void AdvanceServer();
    int32_t CurrentServer() const;
    // Empty when the list is empty.
    std::string CurrentServerTitle() const;
    std::string CurrentServerHost() const;
    // Up to count servers of the list that follow the current one (wrapping
    // around), each host once and none with the host `except`; only "nts://"
    // servers when ntsOnly.
    std::vector<CServer> ServersAfterCurrent(std::size_t count, const std::string& except,
                                             bool ntsOnly) const;

    // Watchdog start = the clock's monotonic reading now: neither a step of
    // the clock nor a change of the zone's offset moves what the watchdog
    // measures.
    void RestartWatch();
    std::chrono::nanoseconds WatchStart() const;
    // The current run, or the run last stopped, has recorded its
    // synchronisation: it got past its server.
    bool RunRecorded() const;
    // 1 when the current (or last) run was asked for by the user.
    int32_t ManualFlag() const;
    LocalDateTime LastAutoStart() const;
    void SetLastAutoStart(const LocalDateTime& start);
    int32_t AutoStarted() const;
    void SetAutoStarted();

    // Begins a run: stops the previous one as AbandonRun does, then sets the
    // manual flag, watchdog start = the monotonic reading now, and returns the new
    // run's ticket, with the options as Settings holds them now. A watchdog restart is BeginRun(ManualFlag())
    // and a new worker.
    RunTicket BeginRun(int32_t manual);
    // Stops the current run: from the return on, it commits nothing more, and
    // its stop token is requested (an open box of it closes). Its thread may
    // still be finishing an exchange; that is harmless. A new run may begin at
    // once. "Break" calls this before it sets its status text, so that the run
    // cannot overwrite the text in between. A run that had not recorded its end
    // is recorded as stopped, with `why` as its status line.
    void AbandonRun(const std::string& why = kStoppedText);
    static constexpr const char* kStoppedText = "Stopped.";
    static constexpr const char* kRestartedText = "Stopped: it ran too long and starts again.";

    // Where the end of every attempt is recorded; null (the default): nowhere.
    // Set before the first run; the recorder must outlive the manager's runs.
    void SetRecorder(AttemptRecorder* recorder);
    // The user-interface thread's ticket: never stopped.
    RunTicket Direct() { return Direct({}); }
    // The same, for a measurement the user can stop: a stop ends its exchange
    // and closes its box.
    RunTicket Direct(std::stop_token stop);

private:
    friend class RunTicket;

    bool IsCurrentLocked(const RunTicket& run) const;
    bool CommitFor(const RunTicket& run, const std::function<bool()>& effect);
    PromptAnswer ShowFor(const RunTicket& run, const PromptRequest& request);
    void AdvanceServerLocked(int32_t period);
    void StoreLastAttempt(const LastAttempt& record, uint64_t sequence);
    std::string FormatTime(const SYSTEMTIME& t) const;
    // The open run, if any, recorded as stopped; under the lock.
    void RecordStoppedLocked(const ClockTime& nowUtc, const std::string& why);

    Settings& m_settings;
    SystemClock& m_clock;
    Prompts& m_prompts;
    const MonthAbbrevTable m_months;

    mutable std::mutex m_mutex;
    LastAttempt m_last;
    std::chrono::nanoseconds m_watchStart{0};
    bool m_runRecorded = false;
    // Records handed to the store, numbered in the order they were taken.
    uint64_t m_saveSequence = 0;
    // Held while a record is written to the store, never together with m_mutex.
    std::mutex m_storeMutex;
    uint64_t m_storedSequence = 0;
    int32_t m_manual = 0;
    std::vector<CServer> m_servers;
    int32_t m_currentServer = 0;
    LocalDateTime m_lastAutoStart;
    int32_t m_autoStarted = 0;
    // Runs are numbered from 1; the direct ticket has 0.
    uint64_t m_generation = 1;
    std::stop_source m_stopSource;
    AttemptRecorder* m_recorder = nullptr;
    // The current run has begun and not yet recorded its end.
    bool m_runOpen = false;
    RunEnd m_lastRunEnd;
    std::string m_notice;
};
