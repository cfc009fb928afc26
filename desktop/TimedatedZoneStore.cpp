#include "desktop/TimedatedZoneStore.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <ctime>

#include "desktop/Timedated.h"

namespace {

using Timedated::kInterface;
using Timedated::kPath;
using Timedated::kService;

// Errors that say the service is not there to ask, rather than that it said no.
bool IsUnreachable(const QDBusMessage& reply) {
    switch (QDBusError(reply).type()) {
        case QDBusError::ServiceUnknown:
        case QDBusError::NoServer:
        case QDBusError::Disconnected:
        case QDBusError::UnknownObject:
        case QDBusError::UnknownInterface:
        case QDBusError::UnknownMethod:
            return true;
        default:
            return reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner");
    }
}

}  // namespace

TimedatedZoneStore::TimedatedZoneStore(TimeZoneStore& inner, const QString& busAddress) : m_inner(inner) {
    if (!busAddress.isEmpty()) {
        m_connectionName = Timedated::UniqueConnectionName("tidewell-timedated-zone");
        QDBusConnection::connectToBus(busAddress, m_connectionName);
    }
}

TimedatedZoneStore::~TimedatedZoneStore() {
    if (!m_connectionName.isEmpty()) {
        QDBusConnection::disconnectFromBus(m_connectionName);
    }
}

bool TimedatedZoneStore::applyNamed(const std::string& name) {
    if (!m_inner.hasNamedZone(name)) {
        return false;
    }
    const QDBusConnection bus =
        m_connectionName.isEmpty() ? QDBusConnection::systemBus() : QDBusConnection(m_connectionName);
    if (!bus.isConnected()) {
        return m_inner.applyNamed(name);
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("SetTimezone"));
    // Arguments: the zone, and whether the service may ask the user to authenticate.
    call << QString::fromStdString(name) << true;
    call.setInteractiveAuthorizationAllowed(true);
    const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kInteractiveTimeout);
    const QDBusMessage reply = bus.call(call, QDBus::Block, static_cast<int>(timeout.count()));
    if (reply.type() == QDBusMessage::ErrorMessage) {
        return IsUnreachable(reply) && m_inner.applyNamed(name);
    }
    // The C library keeps the zone it has read until asked to look again.
    tzset();
    return true;
}
