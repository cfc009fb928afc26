#pragma once

#include <QObject>
#include <QString>
#include <chrono>

#include "platform/TimeService.h"

// Switches off the system's clock synchronisation through systemd-timedated
// on D-Bus: SetNTP(false) without asking the user for a password. The call is
// sent without waiting for the answer, so a slow or stuck service never holds
// up the window; whatever the answer (no bus, no service, no right), nothing
// is shown.
class TimedatedTimeService final : public QObject, public TimeService {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{2500};

    // On the system bus.
    explicit TimedatedTimeService(QObject* parent = nullptr);
    // On the bus at `busAddress` (a D-Bus address such as "unix:path=/run/...").
    TimedatedTimeService(const QString& busAddress, std::chrono::milliseconds timeout,
                         QObject* parent = nullptr);
    ~TimedatedTimeService() override;

    void SwitchOffSync() override;

signals:
    // The service has answered, or the call was given up after the time-out or
    // could not be sent; `switchedOff` only when the service took it.
    void Finished(bool switchedOff);

private:
    QString m_busAddress;  // empty: the system bus
    QString m_connectionName;
    std::chrono::milliseconds m_timeout;
    bool m_connected = false;
};
