#include "ui/TimedatedTimeService.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <chrono>

using namespace std::chrono_literals;

namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");
const QString kMockInterface = QStringLiteral("org.freedesktop.DBus.Mock");

// The Python that has the D-Bus mock library (the system's, not one a user put first on the PATH).
QString MockPython() {
    for (const QString& candidate : {QStringLiteral("/usr/bin/python3"), QStringLiteral("python3")}) {
        QProcess probe;
        probe.start(candidate, {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
        if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit &&
            probe.exitCode() == 0) {
            return candidate;
        }
    }
    return {};
}

// A private session bus with a mock of systemd-timedated on it; both are
// started for one test and ended by their process ids when it is done.
class TimedatedTimeServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_daemon.start(
            QStringLiteral("dbus-daemon"),
            {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        ASSERT_TRUE(m_daemon.waitForStarted(5000)) << "dbus-daemon cannot be started";
        while (!m_daemon.canReadLine()) {
            ASSERT_TRUE(m_daemon.waitForReadyRead(5000)) << "dbus-daemon printed no address";
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        m_bus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(m_address, QStringLiteral("test")));
        ASSERT_TRUE(m_bus->isConnected());
    }

    void TearDown() override {
        m_bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("test"));
        for (QProcess* process : {&m_mock, &m_daemon}) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                if (!process->waitForFinished(3000)) {
                    process->kill();
                    process->waitForFinished(3000);
                }
            }
        }
    }

    void StartMock() {
        const QString python = MockPython();
        ASSERT_FALSE(python.isEmpty()) << "python3-dbusmock is not installed (scripts/install-deps)";
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        m_mock.setProcessEnvironment(environment);
        m_mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_mock.setStandardOutputFile(QProcess::nullDevice());
        m_mock.start(python, {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--session"),
                              QStringLiteral("--template"), QStringLiteral("timedated")});
        ASSERT_TRUE(m_mock.waitForStarted(5000));
        QElapsedTimer waited;
        waited.start();
        while (!m_bus->interface()->isServiceRegistered(kService)) {
            ASSERT_LT(waited.elapsed(), 15000) << "the timedated mock did not come up";
            ASSERT_EQ(m_mock.state(), QProcess::Running) << "the timedated mock ended";
            QTest::qWait(20);
        }
    }

    QDBusMessage CallMock(const QString& method, const QVariantList& arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kMockInterface, method);
        call.setArguments(arguments);
        return m_bus->call(call, QDBus::Block, 5000);
    }

    // Replaces the mock's SetNTP with `pythonCode`.
    void ReplaceSetNtp(const QString& pythonCode) {
        const QDBusMessage reply =
            CallMock(QStringLiteral("AddMethod"),
                     {kService, QStringLiteral("SetNTP"), QStringLiteral("bb"), QString(), pythonCode});
        ASSERT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
    }

    // The arguments of every SetNTP call the mock received, in order.
    std::vector<std::vector<bool>> SetNtpCalls() {
        const QDBusMessage reply = CallMock(QStringLiteral("GetMethodCalls"), {QStringLiteral("SetNTP")});
        std::vector<std::vector<bool>> calls;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            ADD_FAILURE() << "GetMethodCalls: " << reply.errorMessage().toStdString();
            return calls;
        }
        const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            quint64 timestamp = 0;
            QVariantList arguments;
            list.beginStructure();
            list >> timestamp >> arguments;
            list.endStructure();
            std::vector<bool> values;
            for (const QVariant& argument : arguments) {
                const QVariant value =
                    argument.canConvert<QDBusVariant>() ? argument.value<QDBusVariant>().variant() : argument;
                values.push_back(value.toBool());
            }
            calls.push_back(values);
        }
        list.endArray();
        return calls;
    }

    QVariant NtpProperty() {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call << kService << QStringLiteral("NTP");
        const QDBusMessage reply = m_bus->call(call, QDBus::Block, 5000);
        return reply.arguments().isEmpty() ? QVariant()
                                           : reply.arguments().at(0).value<QDBusVariant>().variant();
    }

    QProcess m_daemon;
    QProcess m_mock;
    QString m_address;
    std::unique_ptr<QDBusConnection> m_bus;
};

}  // namespace

TEST_F(TimedatedTimeServiceTest, SwitchesOffNetworkTimeWithoutAskingForAPasswordAtEveryStart) {
    StartMock();
    ASSERT_EQ(NtpProperty(), QVariant(true));

    for (int start = 1; start <= 2; ++start) {
        TimedatedTimeService service(m_address, 2500ms);
        QSignalSpy finished(&service, &TimedatedTimeService::Finished);
        service.SwitchOffSync();
        ASSERT_TRUE(finished.wait(5000)) << "start " << start;
        EXPECT_EQ(finished.at(0).at(0), QVariant(true)) << "start " << start;
    }
    // Switched off again at the second start, although it was off already.
    EXPECT_EQ(SetNtpCalls(), (std::vector<std::vector<bool>>{{false, false}, {false, false}}));
    EXPECT_EQ(NtpProperty(), QVariant(false));
}

TEST_F(TimedatedTimeServiceTest, NoServiceNoBusOrNoRightEndQuietlyAndQuickly) {
    struct Row {
        const char* what;
        bool mock;
        QString refusal;  // Python run in place of SetNTP; empty: none
        bool noBus;
    };
    const Row rows[] = {
        {"no service on the bus", false, {}, false},
        {"no bus at all", false, {}, true},
        {"the right refused", true,
         QStringLiteral("raise dbus.exceptions.DBusException('Not allowed', "
                        "name='org.freedesktop.DBus.Error.InteractiveAuthorizationRequired')"),
         false},
    };
    for (const Row& row : rows) {
        if (row.mock && m_mock.state() == QProcess::NotRunning) {
            StartMock();
        }
        if (!row.refusal.isEmpty()) {
            ReplaceSetNtp(row.refusal);
        }
        const QString address = row.noBus ? QStringLiteral("unix:path=/nonexistent/bus") : m_address;
        TimedatedTimeService service(address, 2500ms);
        QSignalSpy finished(&service, &TimedatedTimeService::Finished);
        QElapsedTimer timer;
        timer.start();
        service.SwitchOffSync();
        EXPECT_LT(timer.elapsed(), 300) << row.what;
        ASSERT_TRUE(finished.wait(1000)) << row.what;
        EXPECT_LT(timer.elapsed(), 1000) << row.what;
        EXPECT_EQ(finished.at(0).at(0), QVariant(false)) << row.what;
    }
}

TEST_F(TimedatedTimeServiceTest, AServiceThatDoesNotAnswerDoesNotHoldUpTheCaller) {
    StartMock();
    ReplaceSetNtp(QStringLiteral("import time; time.sleep(3)"));
    TimedatedTimeService service(m_address, 300ms);
    QSignalSpy finished(&service, &TimedatedTimeService::Finished);
    QElapsedTimer timer;
    timer.start();
    service.SwitchOffSync();
    EXPECT_LT(timer.elapsed(), 200);
    ASSERT_TRUE(finished.wait(2000));
    EXPECT_EQ(finished.at(0).at(0), QVariant(false));
    EXPECT_LT(timer.elapsed(), 1500);
}
