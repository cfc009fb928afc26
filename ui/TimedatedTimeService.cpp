#include "ui/TimedatedTimeService.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QMetaObject>
#include <atomic>

namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");
const QString kInterface = QStringLiteral("org.freedesktop.timedate1");

QString UniqueConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("tidewell-timedated-%1").arg(++counter);
}

}  // namespace

TimedatedTimeService::TimedatedTimeService(QObject* parent) : QObject(parent), m_timeout(kDefaultTimeout) {}

TimedatedTimeService::TimedatedTimeService(const QString& busAddress, std::chrono::milliseconds timeout,
                                           QObject* parent)
    : QObject(parent),
      m_busAddress(busAddress),
      m_connectionName(UniqueConnectionName()),
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
