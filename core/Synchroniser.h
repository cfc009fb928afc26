#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "core/AttemptRecorder.h"
#include "core/MonthAbbrevTable.h"
#include "core/NtsSession.h"
#include "core/RequestPacer.h"
#include "core/SntpClient.h"
#include "core/SocketsLayer.h"
#include "core/SyncManager.h"
#include "platform/ClockSetter.h"
#include "platform/InternetProbe.h"
#include "platform/SystemClock.h"
#include "platform/SystemTime.h"

// Where the exchanges go and how long they wait.
struct ExchangeOptions {
    // The UDP port every exchange goes to. The program always uses 123; tests
    // point it at their own server.
    uint16_t sntpPort = 123;
    // How long an exchange waits for the reply.
    uint32_t receiveTimeoutMs = 5000;
    // The least time between two automatic requests to one address.
    std::chrono::nanoseconds requestSpacing = RequestPacer::kSpacing;
};

// Does the synchronising: the run (probe, exchange, correction, shift, the
// record and the boxes), the single-server synchronisation it rests on, and
// the dialogs' server tests. It holds no state of its own between calls but
// the NTS cookies it keeps per server: what else outlives a run is the manager's, and every effect of a run
// goes through the run's ticket, so a run that has been stopped changes nothing, however far its thread still
// goes. Its collaborators are given here and must outlive it and every thread still running one of its calls.
class Synchroniser {
public:
    Synchroniser(SyncManager& manager, SystemClock& clock, ClockSetter& clockSetter, SocketsLayer& sockets,
                 InternetProbe& probe, ExchangeOptions options = {});
    Synchroniser(const Synchroniser&) = delete;
    Synchroniser& operator=(const Synchroniser&) = delete;

    // One synchronisation run on the run's options: the probe (manual runs
    // only), the exchange with the current server and the correction of the
    // clock, the user's shift, the record of the last attempt, the success
    // message and the clock-move warning. Every wait of the run (the probe, a
    // box) ends when run's stop is requested. interactive is 1 for a run the
    // user asked for (boxes are shown, the Internet is probed first), 0 for an
    // automatic run. Returns 1 on success, 0 on failure.
    int SyncThreadProc(int32_t interactive, const RunTicket& run);

    // One exchange with host, and in setting mode (setClock nonzero) the
    // correction of the UTC clock: in one step below an offset of 3600 s,
    // otherwise a whole-second step, RestartWatch, a second exchange, the fine
    // step and RestartWatch again. Every reply must pass CheckReply, and in
    // setting mode its delay must lie above 0 and below the run's nTimeOut
    // before the clock is touched. Returns the delay of the last exchange in
    // seconds (above 0, below nTimeOut), or 0 for any failure. A sockets-layer
    // failure is reported with ReportCommunicationError; other failures say
    // nothing. All effects go through run.
    // measured, when given, receives what the exchange measured and what it
    // moved the clock by, also when the attempt fails.
    double SyncWithServer(int32_t interactive, int32_t setClock, const std::string& host,
                          const RunTicket& run, ExchangeMeasure* measured = nullptr);
    // The same on the manager's direct ticket (the dialogs, in measuring mode).
    double SyncWithServer(int32_t interactive, int32_t setClock, const std::string& host) {
        return SyncWithServer(interactive, setClock, host, m_manager.Direct());
    }
    // A server test of the dialogs: SyncWithServer interactive, in measuring
    // mode, on the direct ticket, recorded as a server test of title and host.
    double TestServer(const std::string& title, const std::string& host, std::stop_token stop = {});

private:
    // The server a run asks, fixed when it begins: its record names this
    // server whatever happens to the list or the current server meanwhile.
    struct Asked {
        std::string title;
        std::string host;
    };

    // The connectivity probe of a manual run; an automatic run is never probed.
    // False when the run must end: the failure has been reported and the server
    // advanced, or the run was stopped during the probe (nothing reported).
    bool CheckInternetAccess(int32_t interactive, const RunTicket& run, const Asked& asked);

    // The probe's failure reports: a box when interactive, then the status line
    // "Internet Open Error! HH:MM; DD-Mon-YYYY" / "URL Open Error! ...".
    void ReportInternetOpenError(int32_t interactive, const RunTicket& run);
    void ReportUrlOpenError(int32_t interactive, const RunTicket& run);

    // Shows text in an error box "Tidewell:Error" when interactive, then sets
    // the status text to "Communication error! HH:MM; DD-Mon-YYYY" with the
    // local time read before the box.
    void ReportCommunicationError(int32_t interactive, const std::string& text, const RunTicket& run);

    // The failure reports share one shape: the local time read first, the box
    // (only when the user asked for the run), then the status line with that time.
    void Report(int32_t interactive, const RunTicket& run, const char* title, const std::string& boxText,
                const char* words);
    // The record of how the run ended, at the time `at` (when it failed, not
    // when its box was closed), for the server it asked. The status line is
    // the one the run has just set, unless statusText is given.
    void RecordEnd(int32_t interactive, const RunTicket& run, const Asked& asked, AttemptOutcome outcome,
                   const ClockTime& at, const ExchangeMeasure& measure = {}, std::string statusText = {},
                   double shiftSeconds = 0);
    // Failure after the server was (or should have been) asked: reported,
    // recorded, and the server advanced unless the cause lies with this
    // machine (measure.cause): then the box also says why and the way out.
    // Returns 0, the run's exit code.
    int Fail(int32_t interactive, const RunTicket& run, const Asked& asked, const std::string& text,
             const ExchangeMeasure& measure = {});
    // A correction of more than the run's maxDiffMinutes (when it confirms
    // large corrections) is first put to the next two servers of the list,
    // asked at once with the same exchange and checks: true when one of them
    // confirms it (Confirms), with their hosts in measure.confirmedBy; false
    // with the cause Unconfirmed otherwise. Either way measure.opinions says
    // what each server asked said. True at once for a smaller correction.
    bool SecondOpinion(int32_t interactive, const RunTicket& run, const std::string& host,
                       const CSNTPReply& reply, ExchangeMeasure& measure);
    // What a success with host adds to its status line: " NTS" for an
    // authenticated server; for a plain one asked since an "nts://" server
    // failed, " NOT NTS: " and that server, so that falling back to
    // unauthenticated time is never silent.
    std::string AuthenticationMark(const std::string& host);
    // Done; Unconvertible; Refused: the set failed while the run was current,
    // with the cause in cause; Stopped: the run was stopped.
    enum class ShiftOutcome { Done, Unconvertible, Refused, Stopped };
    ShiftOutcome ShiftClock(int32_t interactive, const RunTicket& run, const std::string& host,
                            int32_t offsetSeconds, FailureCause& cause);
    // The request for one setting of the clock by run, on behalf of the
    // server host: a set that the system answers after the run gave up on it
    // is recorded as such.
    ClockSetRequest SetRequest(int32_t interactive, const RunTicket& run, const std::string& host);

    SyncManager& m_manager;
    SystemClock& m_clock;
    ClockSetter& m_clockSetter;
    SocketsLayer& m_sockets;
    InternetProbe& m_probe;
    const ExchangeOptions m_options;
    // Shared by every automatic exchange of the program.
    RequestPacer m_pacer;
    // The NTS sessions kept between exchanges, for runs and server tests alike.
    NtsCookieJar m_cookieJar;
    // The "nts://" server whose run failed last, until a run with such a server succeeds.
    std::mutex m_ntsMutex;
    std::string m_failedNtsHost;
};

// What a person can do about a failure whose cause lies with this machine, in
// a few sentences; empty for the other causes.
std::string CauseAdvice(FailureCause cause);

// The box of a run whose large correction by host no other server confirmed:
// what host measured, then what each server asked said.
std::string UnconfirmedText(const std::string& host, const ExchangeMeasure& measure);

// A UTC instant moved by offsetSeconds, its fraction of a second unchanged.
// nullopt when the sum lies outside the calendar a clock can be set to.
std::optional<ClockTime> ShiftInstant(const ClockTime& utc, int32_t offsetSeconds);

// "Success synchro: Mon. DD, YYYY. Net delay: D.DDD sec." for the local time
// after the run and the delay in seconds.
std::string FormatSuccessText(const MonthAbbrevTable& months, const SYSTEMTIME& after, double delaySeconds);
