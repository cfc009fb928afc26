#include "ui/TimedatedClockSetter.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>
#include <cerrno>
#include <cmath>
#include <optional>
#include <thread>

#include "platform/LastError.h"
#include "ui/Timedated.h"

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

// Sends call through the request's gate and waits for the answer. The wait
// polls, so that a stop ends it; the bus delivers the answer on a thread of
// its own.
bool CallThroughGate(QDBusConnection& bus, QDBusMessage call, bool interactive,
                     std::chrono::milliseconds timeout, const ClockSetRequest& request,
                     const std::function<void(QDBusMessage&)>& complete = {}) {
    std::optional<QDBusPendingCall> pending;
    const bool sent = RunThroughGate(request, [&] {
        if (complete) {
            complete(call);
        }
        call.setInteractiveAuthorizationAllowed(interactive);
        pending.emplace(bus.asyncCall(call, static_cast<int>(timeout.count())));
        return true;
    });
    if (!sent || !pending) {
        return false;
    }
    while (!pending->isFinished()) {
        if (request.stop.stop_requested()) {
            SetLastError(ECANCELED);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pending->isError()) {
        SetLastError(ErrorCode(pending->error().name()));
        return false;
    }
    return true;
}

}  // namespace

TimedatedClockSetter::TimedatedClockSetter(SystemClock& clock, ClockSetter& fallback)
    : m_clock(clock), m_fallback(fallback), m_timeouts() {}

TimedatedClockSetter::TimedatedClockSetter(SystemClock& clock, ClockSetter& fallback,
                                           const QString& busAddress, Timeouts timeouts)
    : m_clock(clock),
      m_fallback(fallback),
      m_busAddress(busAddress),
      m_connectionName(Timedated::UniqueConnectionName("tidewell-clock-setter")),
      m_timeouts(timeouts) {}

TimedatedClockSetter::~TimedatedClockSetter() {
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
    const std::chrono::milliseconds timeout = interactive ? m_timeouts.interactive : m_timeouts.automatic;
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
        CallThroughGate(bus, off, true, timeout, request);
        if (request.stop.stop_requested()) {
            SetLastError(ECANCELED);
            return false;
        }
    }
    const QDBusMessage set =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("SetTime"));
    return CallThroughGate(bus, set, interactive, timeout, request, [&](QDBusMessage& call) {
        const double stepSeconds = SecondsBetween(utcTarget, m_clock.Now());
        call << static_cast<qlonglong>(std::llround(stepSeconds * 1e6)) << true << interactive;
    });
}
