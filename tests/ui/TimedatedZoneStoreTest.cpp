#include "ui/TimedatedZoneStore.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include "tests/support/FakeTimeZoneStore.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");

// A private bus of its own, with python3-dbusmock's timedated on it when asked;
// both are ended by their process ids when the test is done.
class TimedatedZoneStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_daemon.start(
            QStringLiteral("dbus-daemon"),
            {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        ASSERT_TRUE(m_daemon.waitForStarted(5000));
        while (!m_daemon.canReadLine()) {
            ASSERT_TRUE(m_daemon.waitForReadyRead(5000));
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        m_bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, "zone-test"));
        ASSERT_TRUE(m_bus->isConnected());
        m_inner.AddNamedZone("Europe/Berlin");
    }

    void TearDown() override {
        m_bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("zone-test"));
        for (QProcess* process : {&m_mock, &m_daemon}) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                process->waitForFinished(3000);
            }
        }
    }

    void StartMock() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        m_mock.setProcessEnvironment(environment);
        m_mock.setStandardOutputFile(QProcess::nullDevice());
        m_mock.start(QStringLiteral("/usr/bin/python3"),
                     {"-m", "dbusmock", "--session", "--template", "timedated", "--parameters",
                      R"({"Timezone": "Africa/Casablanca"})"});
        ASSERT_TRUE(m_mock.waitForStarted(5000));
        QElapsedTimer waited;
        waited.start();
        while (!m_bus->interface()->isServiceRegistered(kService)) {
            ASSERT_LT(waited.elapsed(), 15000) << "the timedated mock did not come up";
            QTest::qWait(20);
        }
    }

    QString TimezoneProperty() {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call << kService << QStringLiteral("Timezone");
        const QDBusMessage reply = m_bus->call(call, QDBus::Block, 5000);
        return reply.arguments().isEmpty()
                   ? QString()
                   : reply.arguments().at(0).value<QDBusVariant>().variant().toString();
    }

    QProcess m_daemon;
    QProcess m_mock;
    QString m_address;
    std::unique_ptr<QDBusConnection> m_bus;
    FakeTimeZoneStore m_inner;
};

}  // namespace

TEST_F(TimedatedZoneStoreTest, TheServiceLinksTheZoneWhereItIsOnTheBus) {
    StartMock();
    TimedatedZoneStore store(m_inner, m_address);
    EXPECT_TRUE(store.applyNamed("Europe/Berlin"));
    EXPECT_EQ(TimezoneProperty(), "Europe/Berlin");
    EXPECT_TRUE(m_inner.AppliedNames().empty());
    // A name the database lacks is not sent at all.
    EXPECT_FALSE(store.applyNamed("Europe/Atlantis"));
    EXPECT_EQ(TimezoneProperty(), "Europe/Berlin");

    // A refusal stands: no second way round it.
    QDBusMessage replace = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("AddMethod"));
    replace << kService << QStringLiteral("SetTimezone") << QStringLiteral("sb") << QString()
            << QStringLiteral(
                   "raise dbus.exceptions.DBusException('no', "
                   "name='org.freedesktop.DBus.Error.AccessDenied')");
    ASSERT_NE(m_bus->call(replace, QDBus::Block, 5000).type(), QDBusMessage::ErrorMessage);
    EXPECT_FALSE(store.applyNamed("Europe/Berlin"));
    EXPECT_TRUE(m_inner.AppliedNames().empty());
}

TEST_F(TimedatedZoneStoreTest, WithoutTheServiceOrABusTheStoreDoesIt) {
    for (const QString& address : {m_address, QStringLiteral("unix:path=/nonexistent/bus")}) {
        FakeTimeZoneStore inner;
        inner.AddNamedZone("Europe/Berlin");
        TimedatedZoneStore store(inner, address);
        EXPECT_TRUE(store.applyNamed("Europe/Berlin")) << address.toStdString();
        EXPECT_EQ(inner.AppliedNames(), std::vector<std::string>{"Europe/Berlin"});
    }
}
