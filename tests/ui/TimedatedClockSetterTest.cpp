#include "ui/TimedatedClockSetter.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iostream>

#include "core/SyncRun.h"
#include "platform/LastError.h"
#include "tests/support/SyncRig.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");

// As timedated: no SetTime while its own synchronisation is on.
const QString kSetTimeAsTimedated = QStringLiteral(
    "if self.Get('org.freedesktop.timedate1', 'NTP'):\n"
    "    raise dbus.exceptions.DBusException('Automatic time synchronization is enabled', "
    "name='org.freedesktop.timedate1.AutomaticTimeSyncEnabled')");
const QString kSetTimeRefused = QStringLiteral(
    "raise dbus.exceptions.DBusException('Not authorized', name='org.freedesktop.DBus.Error.AccessDenied')");

// A private bus standing in for the system bus, with the timedated mock of
// python3-dbusmock on it; both are ended by their process ids.
class TimedatedClockSetterTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
        ASSERT_TRUE(m_daemon.waitForStarted(5000));
        while (!m_daemon.canReadLine()) {
            ASSERT_TRUE(m_daemon.waitForReadyRead(5000));
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        m_bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, "mock"));
        ASSERT_TRUE(m_bus->isConnected());
    }

    void TearDown() override {
        m_bus.reset();
        QDBusConnection::disconnectFromBus("mock");
        for (QProcess* process : {&m_mock, &m_daemon}) {
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
    }

    // setNtp: Python in place of the template's SetNTP; empty: the template's.
    void StartMock(bool ntp, const QString& setTime = kSetTimeAsTimedated, const QString& setNtp = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SYSTEM_BUS_ADDRESS", m_address);
        m_mock.setProcessEnvironment(environment);
        m_mock.setStandardOutputFile(QProcess::nullDevice());
        m_mock.start("/usr/bin/python3", {"-m", "dbusmock", "--system", "--template", "timedated", "-p",
                                          ntp ? "{\"NTP\": true}" : "{\"NTP\": false}"});
        QElapsedTimer waited;
        waited.start();
        while (!m_bus->interface()->isServiceRegistered(kService)) {
            ASSERT_LT(waited.elapsed(), 15000) << "the timedated mock (python3-dbusmock) did not come up";
            QTest::qWait(20);
        }
        QDBusMessage reply = Mock("AddMethod", {kService, "SetTime", "xbb", QString(), setTime});
        ASSERT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
        if (!setNtp.isEmpty()) {
            reply = Mock("AddMethod", {kService, "SetNTP", "bb", QString(), setNtp});
            ASSERT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
        }
    }

    QDBusMessage Mock(const QString& method, const QVariantList& arguments) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Mock", method);
        call.setArguments(arguments);
        return m_bus->call(call, QDBus::Block, 5000);
    }

    // The arguments of every call of method the mock received, in order.
    std::vector<QVariantList> Calls(const QString& method) {
        const QDBusMessage reply = Mock("GetMethodCalls", {method});
        std::vector<QVariantList> calls;
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
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

    // (microseconds, relative, interactive) of every SetTime call.
    std::vector<std::tuple<qlonglong, bool, bool>> SetTimeCalls() {
        std::vector<std::tuple<qlonglong, bool, bool>> calls;
        for (const QVariantList& call : Calls("SetTime")) {
            calls.emplace_back(call.value(0).toLongLong(), call.value(1).toBool(), call.value(2).toBool());
        }
        return calls;
    }

    std::unique_ptr<TimedatedClockSetter> Setter(SystemClock& clock, ClockSetter& fallback) {
        const std::chrono::milliseconds timeout(3000);
        return std::make_unique<TimedatedClockSetter>(clock, fallback, m_address,
                                                      TimedatedClockSetter::Timeouts{timeout, timeout});
    }

    QProcess m_daemon;
    QProcess m_mock;
    QString m_address;
    std::unique_ptr<QDBusConnection> m_bus;
};

using Call = std::tuple<qlonglong, bool, bool>;

}  // namespace

// Every correction of a run reaches timedated as a relative step in
// microseconds, with the run's interactive flag. The mock does not move the
// (fake) clock, so the coarse path's second exchange still finds the whole
// offset and sends it as its fine step.
TEST_F(TimedatedClockSetterTest, ARunsCorrectionsArriveAsRelativeSteps) {
    struct Row {
        const char* what;
        double serverAheadSeconds;
        int32_t offsetSeconds;
        int32_t interactive;
        std::vector<Call> expected;
    };
    const Row rows[] = {
        {"the fine step", 0.5, 0, 0, {{500000, true, false}}},
        {"the fine step of a manual run", -0.25, 0, 1, {{-250000, true, true}}},
        // The clock reads .250 s plus the exchange (1/128 s) when the coarse step drops the
        // fraction: 0.2578125 s, the step rounded to the nearest microsecond.
        {"the coarse path", 7200.5, 0, 0, {{7200000000 - 257812, true, false}, {7200500000, true, false}}},
        {"the user's shift", 0.5, -90, 0, {{500000, true, false}, {-90000000, true, false}}},
    };
    StartMock(false);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const size_t before = SetTimeCalls().size();
        SyncRig rig(row.serverAheadSeconds);
        FakeClockSetter noFallback(rig.clock, FakeClockSetter::Mode::Unreachable);
        const auto setter = Setter(rig.clock, noFallback);
        rig.UseSetter(*setter);
        rig.settings.nOffset = row.offsetSeconds;
        rig.settings.nMaxDiff = 0;
        EXPECT_EQ(
            SyncThreadProc(row.interactive, *rig.manager, rig.probe, rig.manager->BeginRun(row.interactive)),
            1)
            << rig.manager->StatusText();
        std::vector<Call> calls = SetTimeCalls();
        calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(before));
        EXPECT_EQ(calls, row.expected);
        EXPECT_TRUE(rig.clock.Sets().empty());
        EXPECT_TRUE(noFallback.Requests().empty());
    }
    EXPECT_TRUE(Calls("SetNTP").empty());
}

// A refusal is a failed set: the run fails with its status line and the next
// server, the clock untouched. With NTP still on, a manual run asks once to
// switch it off (the user may be asked for a password) and then sets; an
// automatic run asks nothing and fails. A user who declines is asked once a
// run, also on the coarse path's second set.
TEST_F(TimedatedClockSetterTest, RefusalsFailTheRunAndOnlyAManualRunSwitchesNtpOff) {
    struct Row {
        const char* what;
        bool ntp;
        QString setTime;
        QString setNtp;
        double serverAheadSeconds;
        int32_t interactive;
        int expectedExit;
        std::vector<QVariantList> expectedSetNtp;
        size_t expectedSetTimes;
    };
    const Row rows[] = {
        {"refused by polkit, automatic", false, kSetTimeRefused, {}, 0.5, 0, 0, {}, 1},
        {"refused by polkit, manual", false, kSetTimeRefused, {}, 0.5, 1, 0, {}, 1},
        {"NTP on, automatic", true, kSetTimeAsTimedated, {}, 0.5, 0, 0, {}, 1},
        {"NTP on, manual", true, kSetTimeAsTimedated, {}, 0.5, 1, 1, {{false, true}}, 1},
        {"NTP on, manual, the user declines",
         true,
         kSetTimeAsTimedated,
         kSetTimeRefused,
         7200.5,
         1,
         0,
         {{false, true}},
         2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        SetUp();
        StartMock(row.ntp, row.setTime, row.setNtp);
        SyncRig rig(row.serverAheadSeconds);
        FakeClockSetter noFallback(rig.clock, FakeClockSetter::Mode::Unreachable);
        const auto setter = Setter(rig.clock, noFallback);
        rig.UseSetter(*setter);
        EXPECT_EQ(
            SyncThreadProc(row.interactive, *rig.manager, rig.probe, rig.manager->BeginRun(row.interactive)),
            row.expectedExit);
        EXPECT_EQ(Calls("SetNTP"), row.expectedSetNtp);
        EXPECT_EQ(SetTimeCalls().size(), row.expectedSetTimes);
        EXPECT_TRUE(rig.clock.Sets().empty());
        if (row.expectedExit == 0) {
            EXPECT_EQ(rig.manager->StatusText(), "Communication error! 15:05; 06-Dec-2026");
            EXPECT_EQ(rig.manager->CurrentServer(), 1);
        }
    }
}

// Without timedated the fallback decides: it sets the clock only when it may.
TEST_F(TimedatedClockSetterTest, WithoutTheServiceOnlyTheFallbackSets) {
    struct Row {
        const char* what;
        FakeClockSetter::Mode fallback;
        bool expected;
        uint32_t expectedError;
    };
    const Row rows[] = {
        {"the process holds the right", FakeClockSetter::Mode::Granted, true, 0},
        {"it does not", FakeClockSetter::Mode::Unreachable, false, ECONNREFUSED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeClock clock(ClockTime{1800000000, 0});
        FakeClockSetter fallback(clock, row.fallback);
        const auto setter = Setter(clock, fallback);
        SetLastError(0);
        EXPECT_EQ(setter->MayTry(), row.expected);
        EXPECT_EQ(setter->SetClock({1800000005, 0}, {}), row.expected);
        EXPECT_EQ(GetLastError(), row.expectedError);
        EXPECT_EQ(clock.Now(), (row.expected ? ClockTime{1800000005, 0} : ClockTime{1800000000, 0}));
    }
}

// The step leaves as the target minus the clock read just before sending:
// what the caller asked for, less exactly the time that passed since the
// caller read the clock (the setter's own bus queries), never more.
TEST_F(TimedatedClockSetterTest, TheStepSentMakesUpForTheTimeBeforeSending) {
    StartMock(false);
    FakeClock clock = FakeClock::FollowingRealTime(0);
    FakeClockSetter noFallback(clock, FakeClockSetter::Mode::Unreachable);
    const auto setter = Setter(clock, noFallback);
    constexpr qlonglong kRequested = 2500000;
    std::vector<qlonglong> callMicroseconds;
    for (int i = 0; i < 20; ++i) {
        const ClockTime read = clock.Now();
        ASSERT_TRUE(setter->SetClock(AddSecondsTo(read, kRequested / 1e6), {})) << GetLastError();
        callMicroseconds.push_back(std::llround(SecondsBetween(clock.Now(), read) * 1e6));
    }
    const std::vector<Call> calls = SetTimeCalls();
    ASSERT_EQ(calls.size(), 20u);
    std::vector<qlonglong> misses;
    for (size_t i = 0; i < calls.size(); ++i) {
        const qlonglong miss = kRequested - std::get<0>(calls[i]);
        EXPECT_GE(miss, 0);
        EXPECT_LE(miss, callMicroseconds[i] + 1);
        misses.push_back(miss);
    }
    std::sort(misses.begin(), misses.end());
    std::cout << "requested minus sent (time before sending): median " << misses[10] << " us, largest "
              << misses.back() << " us\n";
}
