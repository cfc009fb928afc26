#include "core/SyncRun.h"

#include <cstdio>
#include <cstdlib>

#include "core/LocalDateTime.h"
#include "core/NtsCodec.h"
#include "core/SntpClient.h"

namespace {

constexpr const char* kInternetOpenText = "Internet open error! Test your system and try again.";
constexpr const char* kUrlOpenText =
    "URL open error!\nIf you cannot see any WWW page and get mail,\ntest internet connection, please.\n"
    "If you can it means that the program\ncannot get information from time server now.\n"
    "If you use manual synchronization\ntry be synchronized later.\nIf it is auto mode do nothing, please.";
constexpr const char* kMoveWarningFormat =
    "%ld minutes between the time after synchronizing and the time before synchronizing.\n"
    "It can be caused by a virus, by bad software executing, by DST or by hardware errors.\n"
    "This message is a warning only.";

// The failure reports share one shape: the local time read first, the box
// (only when the user asked for the run), then the status line with that time.
void Report(int32_t interactive, SyncManager& manager, const RunTicket& run, const char* title,
            const char* boxText, const char* words) {
    const SYSTEMTIME local = manager.Clock().GetLocalTime();
    if (interactive != 0) {
        run.Show({title, boxText, PromptIcon::Error, PromptButtons::Ok});
    }
    run.SetStatusText(manager.FormatReportLine(words, local));
}

// The record of how the run ended, for the server it asked (before the
// server advances). The status line is the one the run has just set.
void RecordEnd(int32_t interactive, SyncManager& manager, const RunTicket& run, AttemptOutcome outcome,
               const ExchangeMeasure& measure = {}, std::string statusText = {}, double shiftSeconds = 0) {
    AttemptRecord record;
    record.timeUtc = manager.Clock().Now();
    record.serverTitle = manager.CurrentServerTitle();
    record.serverHost = manager.CurrentServerHost();
    record.offsetSeconds = measure.offsetSeconds;
    record.delaySeconds = measure.delaySeconds;
    record.correctionSeconds = measure.correctionSeconds;
    record.shiftSeconds = shiftSeconds;
    record.authenticated = measure.authenticated;
    record.statusText = statusText.empty() ? manager.StatusText() : std::move(statusText);
    record.kind = interactive != 0 ? AttemptKind::Manual : AttemptKind::Automatic;
    record.outcome = outcome;
    run.Record(record);
}

// Failure after the server was (or should have been) asked.
int Fail(int32_t interactive, SyncManager& manager, const RunTicket& run, const char* text,
         const ExchangeMeasure& measure = {}) {
    manager.ReportCommunicationError(interactive, text, run);
    RecordEnd(interactive, manager, run, AttemptOutcome::Failure, measure);
    run.AdvanceServer();
    return 0;
}

enum class ShiftOutcome { Done, Unconvertible, Refused };

// Moves the clock's UTC instant by offsetSeconds. Local time plays no part:
// across a change of daylight-saving time the clock still ends exactly
// offsetSeconds from the server's time. Whether the set itself took is not
// examined; a stop of the run is.
ShiftOutcome ShiftClock(int32_t interactive, SyncManager& manager, const RunTicket& run,
                        int32_t offsetSeconds) {
    SystemClock& clock = manager.Clock();
    const std::optional<ClockTime> shifted = ShiftInstant(clock.Now(), offsetSeconds);
    if (!shifted) {
        return ShiftOutcome::Unconvertible;
    }
    CSNTPClient client(clock, manager.Setter());
    if (!client.SetSystemClock(*shifted, run.ClockRequest(interactive)) && !run.IsCurrent()) {
        return ShiftOutcome::Refused;
    }
    return ShiftOutcome::Done;
}

}  // namespace

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

void ReportInternetOpenError(int32_t interactive, SyncManager& manager, const RunTicket& run) {
    Report(interactive, manager, run, "Tidewell: error", kInternetOpenText, "Internet Open Error!");
}

void ReportUrlOpenError(int32_t interactive, SyncManager& manager, const RunTicket& run) {
    Report(interactive, manager, run, "Tidewell:Error", kUrlOpenText, "URL Open Error!");
}

bool CheckInternetAccess(int32_t interactive, SyncManager& manager, InternetProbe& probe,
                         const RunTicket& run) {
    if (interactive == 0) {
        return true;
    }
    switch (probe.Open(run.StopToken()).outcome) {
        case ProbeOutcome::Reached:
            return true;
        case ProbeOutcome::OpenFailed:
            ReportInternetOpenError(interactive, manager, run);
            RecordEnd(interactive, manager, run, AttemptOutcome::Failure);
            run.AdvanceServer();
            return false;
        case ProbeOutcome::UrlFailed:
            ReportUrlOpenError(interactive, manager, run);
            RecordEnd(interactive, manager, run, AttemptOutcome::Failure);
            run.AdvanceServer();
            return false;
        case ProbeOutcome::Cancelled:
            break;
    }
    // Stopped during the probe: whoever stopped the run has said what there is to say.
    return false;
}

int SyncThreadProc(int32_t interactive, SyncManager& manager, InternetProbe& probe, const RunTicket& run) {
    // A run stopped before it got going does not even probe.
    if (run.StopRequested() || !CheckInternetAccess(interactive, manager, probe, run) ||
        run.StopRequested()) {
        return 0;
    }
    Settings& settings = manager.GetSettings();
    SystemClock& clock = manager.Clock();

    // The run's arithmetic works on UTC instants; local time is only shown.
    const ClockTime beforeUtc = clock.Now();
    const SYSTEMTIME before = clock.ToLocal(beforeUtc);
    // Empty when the list is empty or the index lies outside it: nothing to
    // ask, and the clock is left alone.
    const std::string host = manager.CurrentServerHost();
    ExchangeMeasure measure;
    const double delaySeconds =
        host.empty() ? 0.0 : manager.SyncWithServer(interactive, 1, host, run, &measure);
    if (delaySeconds == 0) {
        return Fail(interactive, manager, run, "Time receiving error!", measure);
    }
    measure.delaySeconds = delaySeconds;

    const int32_t shiftSeconds = settings.nOffset;
    if (shiftSeconds != 0) {
        switch (ShiftClock(interactive, manager, run, shiftSeconds)) {
            case ShiftOutcome::Done:
                break;
            case ShiftOutcome::Unconvertible:
                return Fail(interactive, manager, run, "Time conversion error!", measure);
            case ShiftOutcome::Refused:
                return 0;
        }
    }

    const ClockTime afterUtc = clock.Now();
    const SYSTEMTIME after = clock.ToLocal(afterUtc);
    if (!run.RecordTimes(before, after)) {
        return 0;
    }
    // Recorded as soon as the clock is right: a stop while the box is open
    // does not undo the correction.
    const std::string successText = FormatSuccessText(manager.Months(), after, delaySeconds) + NtsMark(host);
    RecordEnd(interactive, manager, run, AttemptOutcome::Success, measure, successText, shiftSeconds);
    if (interactive != 0) {
        run.Show({"Tidewell", "Successful synchronization.", PromptIcon::Information, PromptButtons::Ok});
    }
    run.SetStatusText(successText);
    run.SaveLastAttempt();

    const int32_t maxDiffMinutes = settings.nMaxDiff;
    if (settings.bFirstStart == 0 && maxDiffMinutes != 0) {
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
