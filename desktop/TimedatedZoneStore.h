#pragma once

#include <QString>
#include <chrono>

#include "platform/TimeZoneStore.h"

// Puts a database zone back through systemd-timedated's SetTimezone on D-Bus,
// which asks polkit (and so the user, where the rules want a password), and
// makes /etc/localtime the link to it as the desktop's own date panel would.
// Without a bus or without the service the wrapped store does it; a refusal
// by the service stands. Everything else is the wrapped store's.
//
// applyNamed waits for the answer, which may take as long as the user takes
// to type a password: it is called away from the window's thread.
class TimedatedZoneStore final : public TimeZoneStore {
public:
    static constexpr std::chrono::minutes kInteractiveTimeout{10};

    // On the system bus, or on the bus at busAddress when it is not empty.
    explicit TimedatedZoneStore(TimeZoneStore& inner, const QString& busAddress = {});
    ~TimedatedZoneStore() override;

    TimeZoneQuery query() const override { return m_inner.query(); }
    bool apply(const TIME_ZONE_INFORMATION& record) override { return m_inner.apply(record); }
    std::string zoneName() const override { return m_inner.zoneName(); }
    bool hasNamedZone(const std::string& name) const override { return m_inner.hasNamedZone(name); }
    bool applyNamed(const std::string& name) override;

private:
    TimeZoneStore& m_inner;
    QString m_connectionName;  // empty: the system bus
};
