#include "desktop/TimedatedTimeService.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QMetaObject>

#include "desktop/Timedated.h"

namespace {

using Timedated::kInterface;
using Timedated::kPath;
using Timedated::kService;

}  // namespace

TimedatedTimeService::TimedatedTimeService(QObject* parent) : QObject(parent), m_timeout(kDefaultTimeout) {}

TimedatedTimeService::TimedatedTimeService(const QString& busAddress, std::chrono::milliseconds timeout,
                                           QObject* parent)
    : QObject(parent),
      m_busAddress(busAddress),
      m_connectionName(Timedated::UniqueConnectionName("tidewell-timedated")),
      m_timeout(timeout) {}

TimedatedTimeService::~TimedatedTimeService() {
    if (m_connected) {
        QDBusConnection::disconnectFromBus(m_connectionName);
    }
}

void TimedatedTimeService::SwitchOffSync() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!m_busAddress.isEmpty()) {
        bus = QDBusConnection::connectToBus(m_busAddress, m_connectionName);
        m_connected = true;
    }
    if (!bus.isConnected()) {
        QMetaObject::invokeMethod(
            this, [this] { emit Finished(false); }, Qt::QueuedConnection);
        return;
    }

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("SetNTP"));
    // Arguments: use NTP, and whether the service may ask the user to authenticate.
    // At start-up nobody asked for a password dialog, so it may not.
    call << false << false;
    call.setInteractiveAuthorizationAllowed(false);
    const QDBusPendingCall pending = bus.asyncCall(call, static_cast<int>(m_timeout.count()));
    auto* watcher = new QDBusPendingCallWatcher(pending, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        const bool switchedOff = !done->isError();
        done->deleteLater();
        emit Finished(switchedOff);
    });
}
