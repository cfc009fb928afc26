#pragma once

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <memory>
#include <vector>

// A private bus standing in for the system bus, with python3-dbusmock's
// timedated on it once a test starts it; both are ended by their process ids
// when the test is done. The program's clients are pointed at m_address.
class TimedatedMockTest : public ::testing::Test {
protected:
    static inline const QString kService = QStringLiteral("org.freedesktop.timedate1");
    static inline const QString kPath = QStringLiteral("/org/freedesktop/timedate1");

    void SetUp() override {
        m_daemon.start(
            QStringLiteral("dbus-daemon"),
            {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        ASSERT_TRUE(m_daemon.waitForStarted(5000)) << "dbus-daemon cannot be started";
        while (!m_daemon.canReadLine()) {
            ASSERT_TRUE(m_daemon.waitForReadyRead(5000)) << "dbus-daemon printed no address";
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        m_bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, kConnection));
        ASSERT_TRUE(m_bus->isConnected());
    }

    void TearDown() override {
        m_bus.reset();
        QDBusConnection::disconnectFromBus(kConnection);
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

    // parameters: the mock's starting properties as JSON ({"NTP": false}); empty for the template's.
    void StartMock(const QString& parameters = {}) {
        const QString python = MockPython();
        ASSERT_FALSE(python.isEmpty()) << "python3-dbusmock is not installed (scripts/install-deps)";
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        m_mock.setProcessEnvironment(environment);
        m_mock.setStandardOutputFile(QProcess::nullDevice());
        QStringList arguments = {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                                 QStringLiteral("--template"), QStringLiteral("timedated")};
        if (!parameters.isEmpty()) {
            arguments << QStringLiteral("--parameters") << parameters;
        }
        m_mock.start(python, arguments);
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
        QDBusMessage call = QDBusMessage::createMethodCall(
            kService, kPath, QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(arguments);
        return m_bus->call(call, QDBus::Block, 5000);
    }

    // Replaces the mock's method with pythonCode.
    void ReplaceMethod(const QString& method, const QString& signature, const QString& pythonCode) {
        const QDBusMessage reply =
            CallMock(QStringLiteral("AddMethod"), {kService, method, signature, QString(), pythonCode});
        ASSERT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
    }

    // The arguments of every call of method the mock received, in order.
    std::vector<QVariantList> Calls(const QString& method) {
        const QDBusMessage reply = CallMock(QStringLiteral("GetMethodCalls"), {method});
        std::vector<QVariantList> calls;
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
            for (QVariant& argument : arguments) {
                if (argument.canConvert<QDBusVariant>()) {
                    argument = argument.value<QDBusVariant>().variant();
                }
            }
            calls.push_back(arguments);
        }
        list.endArray();
        return calls;
    }

    // A property of the service; invalid when it cannot be read.
    QVariant Property(const QString& name) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call << kService << name;
        const QDBusMessage reply = m_bus->call(call, QDBus::Block, 5000);
        return reply.arguments().isEmpty() ? QVariant()
                                           : reply.arguments().at(0).value<QDBusVariant>().variant();
    }

    QProcess m_daemon;
    QProcess m_mock;
    QString m_address;
    std::unique_ptr<QDBusConnection> m_bus;

private:
    static inline const QString kConnection = QStringLiteral("timedated-mock");

    // The Python that has the D-Bus mock library (the system's, not one a user put first on the PATH).
    static QString MockPython() {
        static const QString found = [] {
            for (const QString& candidate : {QStringLiteral("/usr/bin/python3"), QStringLiteral("python3")}) {
                QProcess probe;
                probe.start(candidate, {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
                if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit &&
                    probe.exitCode() == 0) {
                    return candidate;
                }
            }
            return QString();
        }();
        return found;
    }
};
