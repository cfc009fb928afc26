// The single-server synchronisation of the Synchroniser: one exchange, checked, and
// the correction of the clock it measured.

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "core/Agreement.h"
#include "core/NtsCodec.h"
#include "core/ReplyCheck.h"
#include "core/SntpClient.h"
#include "core/Synchroniser.h"
#include "platform/LastError.h"

namespace {

// From this offset on the clock first takes a coarse step of whole seconds.
constexpr double kCoarseOffsetSeconds = 3600.0;

// One exchange whose reply may be acted on. In setting mode a reply too slow
// to be trusted is refused here, before it can touch the clock.
bool TrustedExchange(CSNTPClient& client, const std::string& host, uint16_t port, CSNTPReply& reply,
                     bool setClock, double timeOutSeconds, std::stop_token stop) {
    if (!client.Query(host, reply, port, std::move(stop))) {
        return false;
    }
    if (!CheckReply(reply).Accepted()) {
        SetLastError(EPROTO);
        return false;
    }
    const double delaySeconds = reply.roundTripDelaySeconds;
    if (setClock && !(delaySeconds > 0 && delaySeconds < timeOutSeconds)) {
        SetLastError(ERANGE);
        return false;
    }
    return true;
}

// The clock read now, moved by offsetSeconds. The setter sends the difference
// to the clock as it reads just before sending, so the moment of this reading
// does not matter.
bool FineStep(CSNTPClient& client, const SystemClock& clock, double offsetSeconds,
              const ClockSetRequest& request) {
    return client.SetSystemClock(CSNTPTimestamp::Now(clock).AddSeconds(offsetSeconds), request);
}

// The clock read now without its fraction of a second, moved by the offset's
// whole seconds (toward zero).
bool CoarseStep(CSNTPClient& client, const SystemClock& clock, double offsetSeconds,
                const ClockSetRequest& request) {
    SYSTEMTIME utc = clock.GetSystemTime();
    utc.wMilliseconds = 0;
    const ClockTime stepped{ClockFromSystemTime(utc).seconds + static_cast<int64_t>(offsetSeconds), 0};
    if (!IsValidSystemTime(SystemTimeFromClock(stepped))) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    return client.SetSystemClock(stepped, request);
}

// Why an exchange failed, from the last error and what came back. A network
// that refuses at once, and the pacing, lie with this machine.
FailureCause CauseOfExchangeFailure(uint32_t lastError, const CSNTPReply& reply) {
    switch (lastError) {
        case kErrorPaced:
            return FailureCause::Paced;
        case ENETUNREACH:
        case ENETDOWN:
            return FailureCause::NoRoute;
        case ECANCELED:
            return FailureCause::None;
        default:
            break;
    }
    const bool answered = !reply.peerAddress.empty();
    if (answered && CheckReply(reply).rejection == ReplyRejection::KissOfDeath) {
        return FailureCause::KissOfDeath;
    }
    return FailureCause::Server;
}

// Sleeps for `how long`, or until stop. False when stopped.
bool WaitOut(std::chrono::nanoseconds howLong, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, howLong, [] { return false; });
    return !stop.stop_requested();
}

}  // namespace

ClockSetRequest Synchroniser::SetRequest(int32_t interactive, const RunTicket& run, const std::string& host) {
    ClockSetRequest request = run.ClockRequest(interactive);
    SyncManager* manager = &m_manager;
    SystemClock* clock = &m_clock;
    request.lateAnswer = [manager, clock, host, interactive](bool applied) {
        if (!applied) {
            return;
        }
        AttemptRecord record;
        record.timeUtc = clock->Now();
        record.serverTitle = host;
        record.serverHost = host;
        record.statusText = FailureCauseText(FailureCause::LateSet);
        record.kind = interactive != 0 ? AttemptKind::Manual : AttemptKind::Automatic;
        record.outcome = AttemptOutcome::Stopped;
        record.cause = FailureCause::LateSet;
        manager->Direct().Record(record);
    };
    return request;
}

bool Synchroniser::SecondOpinion(int32_t interactive, const RunTicket& run, const std::string& host,
                                 const CSNTPReply& reply, ExchangeMeasure& measure) {
    const RunOptions& options = run.Options();
    const double limitSeconds = options.maxDiffMinutes * 60.0;
    if (!options.confirmLarge || options.maxDiffMinutes == 0 ||
        std::fabs(reply.localClockOffsetSeconds) <= limitSeconds) {
        return true;
    }
    constexpr std::size_t kOthers = 2;
    const std::vector<CServer> others = m_manager.ServersAfterCurrent(kOthers, host, options.onlyNts);
    std::vector<CSNTPReply> replies(others.size());
    std::vector<char> answered(others.size(), 0);
    {
        std::vector<std::jthread> askers;
        for (std::size_t i = 0; i < others.size(); ++i) {
            askers.emplace_back([&, i] {
                CSNTPClient client(m_clock, m_clockSetter, m_options.receiveTimeoutMs);
                client.UseCookieJar(m_cookieJar);
                if (interactive == 0) {
                    client.SetPacer(&m_pacer);
                }
                answered[i] = TrustedExchange(client, others[i].host, m_options.sntpPort, replies[i], true,
                                              options.timeOutSeconds, run.StopToken());
                if (answered[i] != 0) {
                    m_pacer.Answered(replies[i].peerAddress);
                } else if (interactive == 0 &&
                           CheckReply(replies[i]).rejection == ReplyRejection::KissOfDeath) {
                    m_pacer.Kissed(replies[i].peerAddress);
                }
            });
        }
    }
    if (run.StopRequested()) {
        return false;
    }
    const TimeSample first{reply.localClockOffsetSeconds, reply.roundTripDelaySeconds};
    measure.opinions.clear();
    for (std::size_t i = 0; i < others.size(); ++i) {
        char text[160] = "no usable answer";
        if (answered[i] != 0) {
            std::snprintf(text, sizeof text, "offset %+.3f s, delay %.3f s",
                          replies[i].localClockOffsetSeconds, replies[i].roundTripDelaySeconds);
            if (Confirms(first, {replies[i].localClockOffsetSeconds, replies[i].roundTripDelaySeconds})) {
                if (!measure.confirmedBy.empty()) {
                    measure.confirmedBy += ", ";
                }
                measure.confirmedBy += others[i].host;
            }
        }
        measure.opinions.push_back(others[i].host + ": " + text);
    }
    if (measure.confirmedBy.empty()) {
        measure.cause = FailureCause::Unconfirmed;
        return false;
    }
    return true;
}

double Synchroniser::SyncWithServer(int32_t interactive, int32_t setClock, const std::string& host,
                                    const RunTicket& run, ExchangeMeasure* measured) {
    ExchangeMeasure unused;
    ExchangeMeasure& measure = measured != nullptr ? *measured : unused;
    uint16_t granted = 0;
    if (m_sockets.Startup(SocketsLayer::kVersion11, granted) != 0) {
        ReportCommunicationError(interactive, "WSAStartup failed!\n", run);
        return 0;
    }
    if (granted != SocketsLayer::kVersion11) {
        ReportCommunicationError(interactive, "Winsock stack does not support version that is needed!\n",
                                 run);
        m_sockets.Cleanup();
        return 0;
    }

    const double timeOutSeconds = run.Options().timeOutSeconds;
    const bool setting = setClock != 0;
    CSNTPClient client(m_clock, m_clockSetter, m_options.receiveTimeoutMs);
    client.UseCookieJar(m_cookieJar);
    // Only what the user starts by hand goes to the server without waiting its turn.
    const bool paced = interactive == 0;
    if (paced) {
        client.SetPacer(&m_pacer);
    }
    const ClockSetRequest request = SetRequest(interactive, run, host);
    CSNTPReply reply{};
    bool result =
        TrustedExchange(client, host, m_options.sntpPort, reply, setting, timeOutSeconds, run.StopToken());
    const auto exchangeFailed = [&] {
        measure.cause = CauseOfExchangeFailure(GetLastError(), reply);
        if (paced && measure.cause == FailureCause::KissOfDeath) {
            m_pacer.Kissed(reply.peerAddress);
        }
    };
    const auto setFailed = [&] { measure.cause = CauseOfSetError(GetLastError()); };
    // A reply that passed the checks was measured, whether or not it was fast enough to act on.
    if (CheckReply(reply).Accepted()) {
        measure.offsetSeconds = reply.localClockOffsetSeconds;
        measure.delaySeconds = reply.roundTripDelaySeconds;
        measure.authenticated = reply.authenticated;
        m_pacer.Answered(reply.peerAddress);
    }
    if (!result) {
        exchangeFailed();
    } else if (setting && !SecondOpinion(interactive, run, host, reply, measure)) {
        result = false;
    } else if (setting) {
        const double offsetSeconds = reply.localClockOffsetSeconds;
        if (std::fabs(offsetSeconds) < kCoarseOffsetSeconds) {
            result = FineStep(client, m_clock, offsetSeconds, request);
            if (result) {
                measure.correctionSeconds = offsetSeconds;
            } else {
                setFailed();
            }
        } else if (!CoarseStep(client, m_clock, offsetSeconds, request)) {
            // No further step: a set that timed out may still be carried out,
            // and a fine step on top of it would add the correction twice.
            result = false;
            setFailed();
        } else {
            measure.correctionSeconds = std::trunc(offsetSeconds);
            run.RestartWatch();
            // The second request of an automatic run waits out the spacing
            // itself, and so is not held back again.
            result = !paced || WaitOut(m_options.requestSpacing, run.StopToken());
            client.SetPacer(nullptr);
            run.RestartWatch();
            // The reply is reused without clearing, as a failed exchange leaves it alone.
            result = result && !run.StopRequested() &&
                     TrustedExchange(client, host, m_options.sntpPort, reply, setting, timeOutSeconds,
                                     run.StopToken());
            if (!result) {
                exchangeFailed();
            } else {
                const double restSeconds = reply.localClockOffsetSeconds;
                result = FineStep(client, m_clock, restSeconds, request);
                if (result) {
                    measure.correctionSeconds = measure.correctionSeconds.value_or(0) + restSeconds;
                } else {
                    setFailed();
                }
            }
            run.RestartWatch();
        }
    }
    {
        LastErrorKeeper keep;
        m_sockets.Cleanup();
    }
    if (!result) {
        return 0;
    }
    const double delaySeconds = reply.roundTripDelaySeconds;
    return delaySeconds > 0 && delaySeconds < timeOutSeconds ? delaySeconds : 0;
}

void Synchroniser::ReportCommunicationError(int32_t interactive, const std::string& text,
                                            const RunTicket& run) {
    Report(interactive, run, "Tidewell:Error", text, "Communication error!");
}

double Synchroniser::TestServer(const std::string& title, const std::string& host, std::stop_token stop) {
    // One direct ticket for the exchange and the record: a direct ticket always
    // commits, so a test that was stopped is recorded too.
    const RunTicket direct = m_manager.Direct(std::move(stop));
    ExchangeMeasure measured;
    const double delaySeconds = SyncWithServer(1, 0, host, direct, &measured);
    AttemptRecord record;
    record.timeUtc = m_clock.Now();
    record.serverTitle = title;
    record.serverHost = host;
    record.offsetSeconds = measured.offsetSeconds;
    record.delaySeconds = delaySeconds != 0 ? std::optional<double>(delaySeconds) : measured.delaySeconds;
    record.authenticated = measured.authenticated;
    char text[64];
    std::snprintf(text, sizeof text, "Net Delay: %5.3f", delaySeconds);
    record.statusText = delaySeconds != 0 ? text : "Error. Check Internet Connection.";
    record.kind = AttemptKind::ServerTest;
    record.outcome = delaySeconds != 0 ? AttemptOutcome::Success : AttemptOutcome::Failure;
    direct.Record(record);
    return delaySeconds;
}
