#include "desktop/TimedatedTimeService.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <chrono>

#include "tests/support/TimedatedMock.h"

using namespace std::chrono_literals;

namespace {

class TimedatedTimeServiceTest : public TimedatedMockTest {
protected:
    // Replaces the mock's SetNTP with `pythonCode`.
    void ReplaceSetNtp(const QString& pythonCode) {
        ReplaceMethod(QStringLiteral("SetNTP"), QStringLiteral("bb"), pythonCode);
    }

    // The arguments of every SetNTP call the mock received, in order.
    std::vector<std::vector<bool>> SetNtpCalls() {
        std::vector<std::vector<bool>> calls;
        for (const QVariantList& arguments : Calls(QStringLiteral("SetNTP"))) {
            std::vector<bool> values;
            for (const QVariant& argument : arguments) {
                values.push_back(argument.toBool());
            }
            calls.push_back(values);
        }
        return calls;
    }

    QVariant NtpProperty() { return Property(QStringLiteral("NTP")); }
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
