#include "desktop/TimedatedClockSetter.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

#include "desktop/Timedated.h"
#include "platform/LastError.h"

namespace {

using Timedated::kInterface;
using Timedated::kPath;
using Timedated::kService;

// The last-error code of a D-Bus error, in the terms of ClockSetter.
uint32_t ErrorCode(const QString& name) {
    static const QString refused[] = {
        QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
        QStringLiteral("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"),
        QStringLiteral("org.freedesktop.PolicyKit1.Error.NotAuthorized"),
        QStringLiteral("org.freedesktop.PolicyKit1.Error.Cancelled"),
    };
    static const QString unreachable[] = {
        QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
        QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"),
        QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
        QStringLiteral("org.freedesktop.DBus.Error.NoServer"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
    };
    for (const QString& each : refused) {
        if (name == each) {
            return EPERM;
        }
    }
    for (const QString& each : unreachable) {
        if (name == each) {
            return ECONNREFUSED;
        }
    }
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
        return kErrorTimedOut;
    }
    if (name == QLatin1String("org.freedesktop.timedate1.AutomaticTimeSyncEnabled")) {
        return EBUSY;
    }
    return EIO;
}

// What a call's answer says of the clock: set (a reply), not set (an error
// from the service or the bus daemon), or unknown (no answer in time, or the
// connection went away).
std::optional<bool> Applied(const QDBusPendingCall& answered) {
    if (!answered.isError()) {
        return true;
    }
    const QString name = answered.error().name();
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Disconnected")) {
        return std::nullopt;
    }
    return false;
}

// How often the waits look at a call: its answer is filled in on the bus's
// own thread, under the call's lock, so any thread may look.
constexpr std::chrono::milliseconds kPoll(5);

}  // namespace

// Holds the calls given up on until their answer comes, and tells each
// request's lateAnswer what it said. One thread, started with the first call
// given up, looks at the calls while there are any and sleeps otherwise. A
// call is dropped unheard when the bus gives up on it (or, should the bus not,
// at its time-out's end). The destructor ends the thread at once: unanswered
// calls are dropped, and no lateAnswer is called once it has returned.
class TimedatedClockSetter::LateAnswers {
public:
    void Watch(const QDBusPendingCall& call, std::function<void(bool applied)> lateAnswer,
               std::chrono::steady_clock::time_point until) {
        std::lock_guard lock(m_mutex);
        m_watched.push_back({call, std::move(lateAnswer), until});
        if (!m_thread.joinable()) {
            m_thread = std::jthread([this](std::stop_token stop) { Run(stop); });
        }
        m_wake.notify_one();
    }

private:
    struct Watched {
        QDBusPendingCall call;
        std::function<void(bool applied)> lateAnswer;
        std::chrono::steady_clock::time_point until;
    };

    void Run(std::stop_token stop) {
        std::unique_lock lock(m_mutex);
        while (!stop.stop_requested()) {
            if (m_watched.empty()) {
                m_wake.wait(lock, stop, [this] { return !m_watched.empty(); });
                continue;
            }
            std::vector<Watched> ended;
            const auto now = std::chrono::steady_clock::now();
            for (auto it = m_watched.begin(); it != m_watched.end();) {
                if (it->call.isFinished() || now >= it->until) {
                    ended.push_back(std::move(*it));
                    it = m_watched.erase(it);
                } else {
                    ++it;
                }
            }
            lock.unlock();
            for (const Watched& each : ended) {
                const std::optional<bool> applied =
                    each.call.isFinished() ? Applied(each.call) : std::nullopt;
                if (applied && !stop.stop_requested()) {
                    each.lateAnswer(*applied);
                }
            }
            ended.clear();
            lock.lock();
            m_wake.wait_for(lock, stop, kPoll, [] { return false; });
        }
    }

    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::vector<Watched> m_watched;
    // Last: it ends before what it uses goes.
    std::jthread m_thread;
};

TimedatedClockSetter::TimedatedClockSetter(SystemClock& clock, ClockSetter& fallback)
    : m_clock(clock), m_fallback(fallback), m_timeouts(), m_lateAnswers(std::make_unique<LateAnswers>()) {}

TimedatedClockSetter::TimedatedClockSetter(SystemClock& clock, ClockSetter& fallback,
                                           const QString& busAddress, Timeouts timeouts)
    : m_clock(clock),
      m_fallback(fallback),
      m_busAddress(busAddress),
      m_connectionName(Timedated::UniqueConnectionName("tidewell-clock-setter")),
      m_timeouts(timeouts),
      m_lateAnswers(std::make_unique<LateAnswers>()) {}

TimedatedClockSetter::~TimedatedClockSetter() {
    // No answer is listened for on a connection that is going.
    m_lateAnswers.reset();
    if (m_connected) {
        QDBusConnection::disconnectFromBus(m_connectionName);
    }
}

QDBusConnection TimedatedClockSetter::Bus() {
    if (m_busAddress.isEmpty()) {
        return QDBusConnection::systemBus();
    }
    std::lock_guard lock(m_mutex);
    if (!m_connected) {
        m_connected = true;
        return QDBusConnection::connectToBus(m_busAddress, m_connectionName);
    }
    return QDBusConnection(m_connectionName);
}

// The service is running, or the bus starts it on the first call.
bool TimedatedClockSetter::Reachable(QDBusConnection& bus) {
    if (!bus.isConnected()) {
        return false;
    }
    QDBusConnectionInterface* names = bus.interface();
    if (names == nullptr) {
        return false;
    }
    const QDBusReply<bool> running = names->isServiceRegistered(kService);
    if (running.isValid() && running.value()) {
        return true;
    }
    const QDBusReply<QStringList> activatable = names->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kService);
}

bool TimedatedClockSetter::NtpOn(QDBusConnection& bus) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << kInterface << QStringLiteral("NTP");
    const QDBusMessage reply = bus.call(call, QDBus::Block, static_cast<int>(m_timeouts.automatic.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return false;
    }
    return reply.arguments().at(0).value<QDBusVariant>().variant().toBool();
}

bool TimedatedClockSetter::CallThroughGate(QDBusConnection& bus, QDBusMessage call, bool interactive,
                                           const ClockSetRequest& request,
                                           const std::function<void(QDBusMessage&)>& complete,
                                           const std::function<void(bool applied)>& lateAnswer) {
    const std::chrono::milliseconds wait = interactive ? m_timeouts.interactive : m_timeouts.automatic;
    const std::chrono::milliseconds busTimeout = wait + m_timeouts.lateAnswerWindow;
    std::optional<QDBusPendingCall> pending;
    const bool sent = RunThroughGate(request, [&] {
        if (complete) {
            complete(call);
        }
        call.setInteractiveAuthorizationAllowed(interactive);
        pending.emplace(bus.asyncCall(call, static_cast<int>(busTimeout.count())));
        return true;
    });
    if (!sent || !pending) {
        return false;
    }
    const auto sentAt = std::chrono::steady_clock::now();
    while (!pending->isFinished()) {
        const uint32_t givenUp = request.stop.stop_requested()                       ? ECANCELED
                                 : std::chrono::steady_clock::now() >= sentAt + wait ? kErrorTimedOut
                                                                                     : 0;
        if (givenUp != 0) {
            if (lateAnswer) {
                // A little past the bus's own time-out, in case it never ends the call.
                m_lateAnswers->Watch(*pending, lateAnswer, sentAt + busTimeout + std::chrono::seconds(1));
            }
            SetLastError(givenUp);
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
    if (pending->isError()) {
        SetLastError(ErrorCode(pending->error().name()));
        return false;
    }
    return true;
}

bool TimedatedClockSetter::MayTry() {
    QDBusConnection bus = Bus();
    if (Reachable(bus) || m_fallback.MayTry()) {
        return true;
    }
    SetLastError(ECONNREFUSED);
    return false;
}

bool TimedatedClockSetter::SetClock(const ClockTime& utcTarget, const ClockSetRequest& request) {
    QDBusConnection bus = Bus();
    if (!Reachable(bus)) {
        if (m_fallback.MayTry()) {
            return m_fallback.SetClock(utcTarget, request);
        }
        SetLastError(ECONNREFUSED);
        return false;
    }
    const bool interactive = request.interactive;
    bool askNtpOff = false;
    if (interactive) {
        std::lock_guard lock(m_mutex);
        askNtpOff = request.runId == 0 || m_ntpAskedFor != request.runId;
    }
    if (askNtpOff && NtpOn(bus)) {
        {
            std::lock_guard lock(m_mutex);
            m_ntpAskedFor = request.runId;
        }
        // Whatever comes of it, SetTime then says whether the clock may be set.
        QDBusMessage off =
            QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("SetNTP"));
        off << false << true;
        CallThroughGate(bus, off, true, request, {}, {});
        if (request.stop.stop_requested()) {
            SetLastError(ECANCELED);
            return false;
        }
    }
    const QDBusMessage set =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("SetTime"));
    const auto complete = [&](QDBusMessage& call) {
        const double stepSeconds = SecondsBetween(utcTarget, m_clock.Now());
        call << static_cast<qlonglong>(std::llround(stepSeconds * 1e6)) << true << interactive;
    };
    return CallThroughGate(bus, set, interactive, request, complete, request.lateAnswer);
}
