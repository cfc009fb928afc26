// The run of the Synchroniser: probe, exchange and correction, shift, record.

#include "core/Synchroniser.h"

#include <cstdio>
#include <cstdlib>

#include "core/LocalDateTime.h"
#include "core/NtsCodec.h"
#include "core/SntpClient.h"
#include "platform/LastError.h"

namespace {

constexpr const char* kInternetOpenText = "Internet open error! Test your system and try again.";
constexpr const char* kUrlOpenText =
    "URL open error!\nIf you cannot see any WWW page and get mail,\ntest internet connection, please.\n"
    "If you can it means that the program\ncannot get information from time server now.\n"
    "If you use manual synchronization\ntry be synchronized later.\nIf it is auto mode do nothing, please.";
constexpr const char* kNoNtsServerText =
    "Only authenticated time (NTS) is chosen,\nand the server list holds no nts:// server.";
constexpr const char* kMoveWarningFormat =
    "%ld minutes between the time after synchronizing and the time before synchronizing.\n"
    "It can be caused by a virus, by bad software executing, by DST or by hardware errors.\n"
    "This message is a warning only.";

}  // namespace

std::string UnconfirmedText(const std::string& host, const ExchangeMeasure& measure) {
    char offset[64];
    std::snprintf(offset, sizeof offset, "%+.3f s", measure.offsetSeconds.value_or(0));
    std::string box = "The clock was not set: ";
    box += host;
    box += " measured an offset of ";
    box += offset;
    box += ",\nand no other server of the list confirmed it:\n";
    for (const std::string& opinion : measure.opinions) {
        box += opinion;
        box += '\n';
    }
    if (measure.opinions.empty()) {
        box += "the list holds no other server to ask.\n";
    }
    return box;
}

std::optional<ClockTime> ShiftInstant(const ClockTime& utc, int32_t offsetSeconds) {
    const ClockTime sum{utc.seconds + offsetSeconds, utc.nanoseconds};
    // Instants whose calendar time the record cannot hold are refused.
    constexpr int64_t kSecondsPerDay = 86400;
    if (sum.seconds < DaysFromCivil(1601, 1, 1) * kSecondsPerDay ||
        sum.seconds >= DaysFromCivil(30828, 1, 1) * kSecondsPerDay) {
        return std::nullopt;
    }
    return sum;
}

std::string FormatSuccessText(const MonthAbbrevTable& months, const SYSTEMTIME& after, double delaySeconds) {
    char text[160];
    std::snprintf(text, sizeof text, "Success synchro: %s. %02d, %04d. Net delay: %5.3f sec.",
                  months.Name(after.wMonth).c_str(), after.wDay, after.wYear, delaySeconds);
    return text;
}

Synchroniser::Synchroniser(SyncManager& manager, SystemClock& clock, ClockSetter& clockSetter,
                           SocketsLayer& sockets, InternetProbe& probe, ExchangeOptions options)
    : m_manager(manager),
      m_clock(clock),
      m_clockSetter(clockSetter),
      m_sockets(sockets),
      m_probe(probe),
      m_options(options),
      m_pacer(clock, options.requestSpacing) {}

void Synchroniser::Report(int32_t interactive, const RunTicket& run, const char* title,
                          const std::string& boxText, const char* words) {
    const SYSTEMTIME local = m_clock.GetLocalTime();
    if (interactive != 0) {
        run.Show({title, boxText, PromptIcon::Error, PromptButtons::Ok});
    }
    run.SetStatusText(m_manager.FormatReportLine(words, local));
}

void Synchroniser::RecordEnd(int32_t interactive, const RunTicket& run, const Asked& asked,
                             AttemptOutcome outcome, const ClockTime& at, const ExchangeMeasure& measure,
                             std::string statusText, double shiftSeconds) {
    AttemptRecord record;
    record.timeUtc = at;
    record.serverTitle = asked.title;
    record.serverHost = asked.host;
    record.offsetSeconds = measure.offsetSeconds;
    record.delaySeconds = measure.delaySeconds;
    record.correctionSeconds = measure.correctionSeconds;
    record.shiftSeconds = shiftSeconds;
    record.authenticated = measure.authenticated;
    record.confirmedBy = measure.confirmedBy;
    record.statusText = statusText.empty() ? m_manager.StatusText() : std::move(statusText);
    record.kind = interactive != 0 ? AttemptKind::Manual : AttemptKind::Automatic;
    record.outcome = outcome;
    record.cause = outcome == AttemptOutcome::Failure && measure.cause == FailureCause::None
                       ? FailureCause::Server
                       : measure.cause;
    run.Record(record);
}

int Synchroniser::Fail(int32_t interactive, const RunTicket& run, const Asked& asked, const std::string& text,
                       const ExchangeMeasure& measure) {
    // Stopped: whoever stopped the run has said what there is to say.
    if (measure.cause == FailureCause::None && run.StopRequested()) {
        return 0;
    }
    const ClockTime failedAt = m_clock.Now();
    const bool local = IsLocalCause(measure.cause);
    ReportCommunicationError(interactive, local ? text + "\n\n" + CauseAdvice(measure.cause) : text, run);
    RecordEnd(interactive, run, asked, AttemptOutcome::Failure, failedAt, measure);
    if (local) {
        // Not the server's fault: the next attempt asks the same server.
        if (interactive == 0 && measure.cause == FailureCause::NotAllowed) {
            run.SetNotice(CauseAdvice(measure.cause));
        }
        return 0;
    }
    run.AdvanceServer();
    return 0;
}

std::string CauseAdvice(FailureCause cause) {
    switch (cause) {
        case FailureCause::NotAllowed:
            return "Tidewell may not set the clock: this account is not allowed to. "
                   "Add it to the group tidewell (sudo adduser $USER tidewell, then log in again), "
                   "or use Synchronize now and type the administrator password when asked.";
        case FailureCause::ServiceUnreachable:
            return "The system's time service (systemd-timedated) cannot be reached, "
                   "so Tidewell cannot set the clock.";
        case FailureCause::SystemSyncOn:
            return "The system's own time synchronisation is on, so it keeps the clock itself. "
                   "Use Synchronize now to switch it off.";
        case FailureCause::ServiceTimedOut:
            return "The system's time service did not answer in time. The clock may still be set "
                   "a little later; the history will say so.";
        case FailureCause::SetFailed:
            return "The system would not set the clock.";
        case FailureCause::NoRoute:
            return "The network refused the request at once: there is no route to the Internet.";
        case FailureCause::Paced:
            return "The server was asked moments ago; Tidewell asks again later.";
        default:
            return {};
    }
}

// Moves the clock's UTC instant by offsetSeconds. Local time plays no part:
// across a change of daylight-saving time the clock still ends exactly
// offsetSeconds from the server's time. A set the system refuses is a failure
// with its cause; a stop of the run ends it without a word.
Synchroniser::ShiftOutcome Synchroniser::ShiftClock(int32_t interactive, const RunTicket& run,
                                                    const std::string& host, int32_t offsetSeconds,
                                                    FailureCause& cause) {
    const std::optional<ClockTime> shifted = ShiftInstant(m_clock.Now(), offsetSeconds);
    if (!shifted) {
        return ShiftOutcome::Unconvertible;
    }
    CSNTPClient client(m_clock, m_clockSetter);
    if (client.SetSystemClock(*shifted, SetRequest(interactive, run, host))) {
        return ShiftOutcome::Done;
    }
    cause = CauseOfSetError(GetLastError());
    return cause == FailureCause::None || !run.IsCurrent() ? ShiftOutcome::Stopped : ShiftOutcome::Refused;
}

std::string Synchroniser::AuthenticationMark(const std::string& host) {
    std::lock_guard lock(m_ntsMutex);
    if (IsNtsHost(host)) {
        m_failedNtsHost.clear();
        return NtsMark(host);
    }
    return m_failedNtsHost.empty() ? std::string() : " NOT NTS: " + m_failedNtsHost + " failed";
}

void Synchroniser::ReportInternetOpenError(int32_t interactive, const RunTicket& run) {
    Report(interactive, run, "Tidewell: error", kInternetOpenText, "Internet Open Error!");
}

void Synchroniser::ReportUrlOpenError(int32_t interactive, const RunTicket& run) {
    Report(interactive, run, "Tidewell:Error", kUrlOpenText, "URL Open Error!");
}

bool Synchroniser::CheckInternetAccess(int32_t interactive, const RunTicket& run, const Asked& asked) {
    if (interactive == 0) {
        return true;
    }
    switch (m_probe.Open(run.StopToken()).outcome) {
        case ProbeOutcome::Reached:
            return true;
        case ProbeOutcome::OpenFailed: {
            const ClockTime failedAt = m_clock.Now();
            ReportInternetOpenError(interactive, run);
            RecordEnd(interactive, run, asked, AttemptOutcome::Failure, failedAt);
            run.AdvanceServer();
            return false;
        }
        case ProbeOutcome::UrlFailed: {
            const ClockTime failedAt = m_clock.Now();
            ReportUrlOpenError(interactive, run);
            RecordEnd(interactive, run, asked, AttemptOutcome::Failure, failedAt);
            run.AdvanceServer();
            return false;
        }
        case ProbeOutcome::Cancelled:
            break;
    }
    // Stopped during the probe: whoever stopped the run has said what there is to say.
    return false;
}

int Synchroniser::SyncThreadProc(int32_t interactive, const RunTicket& run) {
    Asked asked{m_manager.CurrentServerTitle(), m_manager.CurrentServerHost()};
    // A run stopped before it got going does not even probe.
    if (run.StopRequested() || !CheckInternetAccess(interactive, run, asked) || run.StopRequested()) {
        return 0;
    }
    const RunOptions& options = run.Options();

    // The run's arithmetic works on UTC instants; local time is only shown.
    const ClockTime beforeUtc = m_clock.Now();
    const SYSTEMTIME before = m_clock.ToLocal(beforeUtc);
    // Empty when the list is empty or the index lies outside it: nothing to
    // ask, and the clock is left alone.
    if (options.onlyNts && !asked.host.empty() && !IsNtsHost(asked.host)) {
        // Unauthenticated time is never asked for: the next nts:// server is.
        if (!run.SkipToNtsServer()) {
            return Fail(interactive, run, asked, kNoNtsServerText);
        }
        asked = {m_manager.CurrentServerTitle(), m_manager.CurrentServerHost()};
    }
    const std::string& host = asked.host;
    ExchangeMeasure measure;
    const double delaySeconds = host.empty() ? 0.0 : SyncWithServer(interactive, 1, host, run, &measure);
    if (delaySeconds == 0) {
        if (IsNtsHost(host) && run.IsCurrent()) {
            std::lock_guard lock(m_ntsMutex);
            m_failedNtsHost = host;
        }
        if (measure.cause == FailureCause::Unconfirmed) {
            return Fail(interactive, run, asked, UnconfirmedText(host, measure), measure);
        }
        return Fail(interactive, run, asked, "Time receiving error!", measure);
    }
    measure.delaySeconds = delaySeconds;

    const int32_t shiftSeconds = options.offsetSeconds;
    if (shiftSeconds != 0) {
        switch (ShiftClock(interactive, run, host, shiftSeconds, measure.cause)) {
            case ShiftOutcome::Done:
                break;
            case ShiftOutcome::Unconvertible:
                return Fail(interactive, run, asked, "Time conversion error!", measure);
            case ShiftOutcome::Refused:
                // The clock keeps its correction, without the user's shift.
                return Fail(interactive, run, asked, "The clock was corrected, but it could not be shifted.",
                            measure);
            case ShiftOutcome::Stopped:
                return 0;
        }
    }

    const ClockTime afterUtc = m_clock.Now();
    const SYSTEMTIME after = m_clock.ToLocal(afterUtc);
    if (!run.RecordTimes(before, after)) {
        return 0;
    }
    // Recorded as soon as the clock is right: a stop while the box is open
    // does not undo the correction.
    const std::string successText =
        FormatSuccessText(m_manager.Months(), after, delaySeconds) + AuthenticationMark(host);
    RecordEnd(interactive, run, asked, AttemptOutcome::Success, m_clock.Now(), measure, successText,
              shiftSeconds);
    if (interactive != 0) {
        run.Show({"Tidewell", "Successful synchronization.", PromptIcon::Information, PromptButtons::Ok});
    }
    run.SetStatusText(successText);
    run.SetNotice({});
    run.SaveLastAttempt();

    const int32_t maxDiffMinutes = options.maxDiffMinutes;
    if (!options.firstStart && maxDiffMinutes != 0) {
        constexpr double kSecondsPerDay = 86400;
        const int64_t movedMinutes = WholeMinutes(SecondsBetween(afterUtc, beforeUtc) / kSecondsPerDay);
        if (std::llabs(movedMinutes) > maxDiffMinutes) {
            char text[320];
            std::snprintf(text, sizeof text, kMoveWarningFormat, static_cast<long>(std::llabs(movedMinutes)));
            run.Show({"Tidewell", text, PromptIcon::Warning, PromptButtons::Ok});
            // The time the box stood open does not count against the run.
            run.RestartWatch();
        }
    }
    if (!run.ClearFirstStart()) {
        return 0;
    }
    return 1;
}
