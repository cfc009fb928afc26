#include "core/SyncManager.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "config/OptionRanges.h"
#include "core/NtsCodec.h"
#include "platform/LastError.h"

namespace {

constexpr double kTwoHoursInDays = 2.0 / 24.0;

}  // namespace

RunOptions RunOptions::From(const Settings& settings) {
    RunOptions options;
    options.timeOutSeconds = settings.nTimeOut;
    options.offsetSeconds = settings.nOffset;
    options.maxDiffMinutes = settings.nMaxDiff;
    options.firstStart = settings.bFirstStart != 0;
    options.period = settings.nSynPeriod;
    options.onlyNts = settings.bOnlyNts != 0;
    options.confirmLarge = settings.bConfirmLarge != 0;
    return options;
}

// ---- RunTicket

bool RunTicket::IsCurrent() const {
    if (m_manager == nullptr) {
        return false;
    }
    std::lock_guard lock(m_manager->m_mutex);
    return m_manager->IsCurrentLocked(*this);
}

bool RunTicket::Commit(const std::function<bool()>& effect) const {
    if (m_manager == nullptr) {
        SetLastError(ECANCELED);
        return false;
    }
    return m_manager->CommitFor(*this, effect);
}

ClockSetRequest RunTicket::ClockRequest(int32_t interactive) const {
    const RunTicket run = *this;
    return {interactive != 0,
            [run](const std::function<bool()>& send) { return run.Commit(send); },
            m_stop,
            m_generation,
            {}};
}

bool RunTicket::SetStatusText(const std::string& text) const {
    return Commit([&] {
        m_manager->m_last.statusText = text;
        return true;
    });
}

bool RunTicket::RestartWatch() const {
    return Commit([&] {
        m_manager->m_watchStart = m_manager->m_clock.Monotonic();
        return true;
    });
}

bool RunTicket::AdvanceServer() const {
    return Commit([&] {
        m_manager->AdvanceServerLocked(m_options.period);
        return true;
    });
}

bool RunTicket::SkipToNtsServer() const {
    return Commit([&] {
        const std::vector<CServer>& servers = m_manager->m_servers;
        for (std::size_t i = 0; i < servers.size(); ++i) {
            const std::size_t at =
                (static_cast<std::size_t>(m_manager->m_currentServer) + i) % servers.size();
            if (IsNtsHost(servers[at].host)) {
                m_manager->m_currentServer = static_cast<int32_t>(at);
                return true;
            }
        }
        return false;
    });
}

bool RunTicket::RecordTimes(const SYSTEMTIME& before, const SYSTEMTIME& after) const {
    return Commit([&] {
        LastAttempt& last = m_manager->m_last;
        last.timeBefore = before;
        last.timeAfter = after;
        last.syncDate = SYSTEMTIME{};
        last.syncDate.wYear = after.wYear;
        last.syncDate.wMonth = after.wMonth;
        last.syncDate.wDay = after.wDay;
        m_manager->m_runRecorded = true;
        return true;
    });
}

bool RunTicket::SaveLastAttempt() const {
    LastAttempt record;
    uint64_t sequence = 0;
    if (!Commit([&] {
            record = m_manager->m_last;
            sequence = ++m_manager->m_saveSequence;
            return true;
        })) {
        return false;
    }
    m_manager->StoreLastAttempt(record, sequence);
    return true;
}

bool RunTicket::ClearFirstStart() const {
    return Commit([&] {
        m_manager->m_settings.bFirstStart = 0;
        return true;
    });
}

bool RunTicket::SetNotice(const std::string& text) const {
    return Commit([&] {
        m_manager->m_notice = text;
        return true;
    });
}

bool RunTicket::Record(const AttemptRecord& record) const {
    return Commit([&] {
        SyncManager& manager = *m_manager;
        if (m_generation != 0) {
            if (!manager.m_runOpen) {
                return false;
            }
            manager.m_runOpen = false;
            manager.m_lastRunEnd = {record.outcome, record.cause};
        }
        if (manager.m_recorder != nullptr) {
            manager.m_recorder->Record(record);
        }
        return true;
    });
}

PromptAnswer RunTicket::Show(const PromptRequest& request) const {
    if (m_manager == nullptr) {
        return PromptAnswer::Closed;
    }
    return m_manager->ShowFor(*this, request);
}

// ---- SyncManager

SyncManager::SyncManager(Settings& settings, SystemClock& clock, Prompts& prompts,
                         const std::string& monthLocale)
    : m_settings(settings), m_clock(clock), m_prompts(prompts), m_months(monthLocale) {
    // Two hours ahead, so that hourly mode starts a run at its first check.
    SYSTEMTIME now = m_clock.GetLocalTime();
    now.wMilliseconds = 0;
    m_lastAutoStart = LocalDateTimeFrom(now);
    m_lastAutoStart.days += kTwoHoursInDays;
}

bool SyncManager::IsCurrentLocked(const RunTicket& run) const {
    if (run.m_manager != this) {
        return false;
    }
    if (run.m_generation == 0) {
        return true;
    }
    return run.m_generation == m_generation && !run.m_stop.stop_requested();
}

bool SyncManager::CommitFor(const RunTicket& run, const std::function<bool()>& effect) {
    std::lock_guard lock(m_mutex);
    if (!IsCurrentLocked(run)) {
        SetLastError(ECANCELED);
        return false;
    }
    return effect();
}

PromptAnswer SyncManager::ShowFor(const RunTicket& run, const PromptRequest& request) {
    {
        std::lock_guard lock(m_mutex);
        if (!IsCurrentLocked(run)) {
            return PromptAnswer::Closed;
        }
    }
    // A stop that comes between the check and the box closes the box at once.
    return m_prompts.Show(request, run.m_stop);
}

void SyncManager::StoreLastAttempt(const LastAttempt& record, uint64_t sequence) {
    std::lock_guard lock(m_storeMutex);
    // A record taken later has already been written: this one would put the file back.
    if (sequence <= m_storedSequence) {
        return;
    }
    m_storedSequence = sequence;
    m_settings.SaveLastAttempt(record);
}

LastAttempt SyncManager::GetLastAttempt() const {
    std::lock_guard lock(m_mutex);
    return m_last;
}

void SyncManager::SetLastAttempt(const LastAttempt& record) {
    std::lock_guard lock(m_mutex);
    m_last = record;
}

std::string SyncManager::StatusText() const {
    std::lock_guard lock(m_mutex);
    return m_last.statusText;
}

void SyncManager::SetStatusText(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_last.statusText = text;
}

std::string SyncManager::Notice() const {
    std::lock_guard lock(m_mutex);
    return m_notice;
}

SyncManager::RunEnd SyncManager::LastRunEnd() const {
    std::lock_guard lock(m_mutex);
    return m_lastRunEnd;
}

std::string SyncManager::FormatTime(const SYSTEMTIME& t) const {
    char text[64];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d   %03dms", t.wHour, t.wMinute, t.wSecond,
                  t.wMilliseconds);
    return text;
}

std::string SyncManager::FormatTimeBefore() const {
    return FormatTime(GetLastAttempt().timeBefore);
}

std::string SyncManager::FormatTimeAfter() const {
    return FormatTime(GetLastAttempt().timeAfter);
}

std::string SyncManager::FormatSyncDate() const {
    const SYSTEMTIME date = GetLastAttempt().syncDate;
    if (date.wYear == 0) {
        return "00/00/0000";
    }
    char text[96];
    std::snprintf(text, sizeof text, "%s. %02d, %04d", m_months.Name(date.wMonth).c_str(), date.wDay,
                  date.wYear);
    return text;
}

std::string SyncManager::FormatReportLine(const std::string& words, const SYSTEMTIME& local) const {
    char text[96];
    std::snprintf(text, sizeof text, " %02d:%02d; %02d-%s-%04d", local.wHour, local.wMinute, local.wDay,
                  m_months.Name(local.wMonth).c_str(), local.wYear);
    return words + text;
}

void SyncManager::SetCurrentServer() {
    std::vector<CServer> servers(m_settings.servers.begin(), m_settings.servers.end());
    const int32_t starting = m_settings.nStartingServ;
    std::lock_guard lock(m_mutex);
    m_servers = std::move(servers);
    m_currentServer = starting >= 0 && static_cast<size_t>(starting) < m_servers.size() ? starting : 0;
}

void SyncManager::AdvanceServerLocked(int32_t period) {
    ++m_currentServer;
    if (period == SyncPeriod::kHourly) {
        m_lastAutoStart.days += kTwoHoursInDays;
    }
    // At or past the end: a list that shrank must not leave the index outside it.
    if (m_currentServer < 0 || static_cast<size_t>(m_currentServer) >= m_servers.size()) {
        m_currentServer = 0;
    }
}

void SyncManager::AdvanceServer() {
    const int32_t period = m_settings.nSynPeriod;
    std::lock_guard lock(m_mutex);
    AdvanceServerLocked(period);
}

int32_t SyncManager::CurrentServer() const {
    std::lock_guard lock(m_mutex);
    return m_currentServer;
}

std::string SyncManager::CurrentServerTitle() const {
    std::lock_guard lock(m_mutex);
    return static_cast<size_t>(m_currentServer) < m_servers.size() ? m_servers[m_currentServer].title
                                                                   : std::string();
}

std::string SyncManager::CurrentServerHost() const {
    std::lock_guard lock(m_mutex);
    return static_cast<size_t>(m_currentServer) < m_servers.size() ? m_servers[m_currentServer].host
                                                                   : std::string();
}

std::vector<CServer> SyncManager::ServersAfterCurrent(std::size_t count, const std::string& except,
                                                      bool ntsOnly) const {
    std::lock_guard lock(m_mutex);
    std::vector<CServer> found;
    for (std::size_t i = 1; i < m_servers.size() && found.size() < count; ++i) {
        const CServer& server = m_servers[(static_cast<std::size_t>(m_currentServer) + i) % m_servers.size()];
        const auto sameHost = [&](const CServer& s) { return s.host == server.host; };
        if (server.host != except && !server.host.empty() && (!ntsOnly || IsNtsHost(server.host)) &&
            std::none_of(found.begin(), found.end(), sameHost)) {
            found.push_back(server);
        }
    }
    return found;
}

void SyncManager::RestartWatch() {
    const std::chrono::nanoseconds now = m_clock.Monotonic();
    std::lock_guard lock(m_mutex);
    m_watchStart = now;
}

std::chrono::nanoseconds SyncManager::WatchStart() const {
    std::lock_guard lock(m_mutex);
    return m_watchStart;
}

bool SyncManager::RunRecorded() const {
    std::lock_guard lock(m_mutex);
    return m_runRecorded;
}

int32_t SyncManager::ManualFlag() const {
    std::lock_guard lock(m_mutex);
    return m_manual;
}

LocalDateTime SyncManager::LastAutoStart() const {
    std::lock_guard lock(m_mutex);
    return m_lastAutoStart;
}

void SyncManager::SetLastAutoStart(const LocalDateTime& start) {
    std::lock_guard lock(m_mutex);
    m_lastAutoStart = start;
}

int32_t SyncManager::AutoStarted() const {
    std::lock_guard lock(m_mutex);
    return m_autoStarted;
}

void SyncManager::SetAutoStarted() {
    std::lock_guard lock(m_mutex);
    m_autoStarted = 1;
}

void SyncManager::SetRecorder(AttemptRecorder* recorder) {
    std::lock_guard lock(m_mutex);
    m_recorder = recorder;
}

void SyncManager::RecordStoppedLocked(const ClockTime& nowUtc, const std::string& why) {
    if (!m_runOpen) {
        return;
    }
    m_runOpen = false;
    if (m_recorder == nullptr) {
        return;
    }
    AttemptRecord record;
    record.timeUtc = nowUtc;
    if (static_cast<size_t>(m_currentServer) < m_servers.size()) {
        record.serverTitle = m_servers[m_currentServer].title;
        record.serverHost = m_servers[m_currentServer].host;
    }
    record.statusText = why;
    record.kind = m_manual != 0 ? AttemptKind::Manual : AttemptKind::Automatic;
    record.outcome = AttemptOutcome::Stopped;
    m_recorder->Record(record);
}

RunTicket SyncManager::Direct(std::stop_token stop) {
    return RunTicket(this, 0, std::move(stop), RunOptions::From(m_settings));
}

RunTicket SyncManager::BeginRun(int32_t manual) {
    const std::chrono::nanoseconds now = m_clock.Monotonic();
    const ClockTime nowUtc = m_clock.Now();
    const RunOptions options = RunOptions::From(m_settings);
    std::stop_source previous;
    RunTicket ticket;
    {
        std::lock_guard lock(m_mutex);
        // Only the watchdog begins a run while another is open.
        RecordStoppedLocked(nowUtc, kRestartedText);
        m_runOpen = true;
        m_lastRunEnd = {};
        previous = m_stopSource;
        ++m_generation;
        m_stopSource = std::stop_source();
        m_manual = manual;
        m_watchStart = now;
        m_runRecorded = false;
        ticket = RunTicket(this, m_generation, m_stopSource.get_token(), options);
    }
    // Outside the lock: stop callbacks (an open box closing) must not run under it.
    previous.request_stop();
    return ticket;
}

void SyncManager::AbandonRun(const std::string& why) {
    const ClockTime nowUtc = m_clock.Now();
    std::stop_source stopped;
    {
        std::lock_guard lock(m_mutex);
        RecordStoppedLocked(nowUtc, why);
        ++m_generation;
        stopped = m_stopSource;
    }
    stopped.request_stop();
}
