#include "desktop/TimedatedClockSetter.h"

#include <gtest/gtest.h>

#include <QTest>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iostream>
#include <mutex>
#include <stop_token>
#include <thread>

#include "core/Synchroniser.h"
#include "platform/LastError.h"
#include "tests/support/SyncRig.h"
#include "tests/support/TimedatedMock.h"

namespace {

// As timedated: no SetTime while its own synchronisation is on.
const QString kSetTimeAsTimedated = QStringLiteral(
    "if self.Get('org.freedesktop.timedate1', 'NTP'):\n"
    "    raise dbus.exceptions.DBusException('Automatic time synchronization is enabled', "
    "name='org.freedesktop.timedate1.AutomaticTimeSyncEnabled')");
const QString kSetTimeRefused = QStringLiteral(
    "raise dbus.exceptions.DBusException('Not authorized', name='org.freedesktop.DBus.Error.AccessDenied')");

class TimedatedClockSetterTest : public TimedatedMockTest {
protected:
    // setNtp: Python in place of the template's SetNTP; empty: the template's.
    void StartMockWith(bool ntp, const QString& setTime = kSetTimeAsTimedated, const QString& setNtp = {}) {
        StartMock(ntp ? "{\"NTP\": true}" : "{\"NTP\": false}");
        ReplaceMethod("SetTime", "xbb", setTime);
        if (!setNtp.isEmpty()) {
            ReplaceMethod("SetNTP", "bb", setNtp);
        }
    }

    // (microseconds, relative, interactive) of every SetTime call.
    std::vector<std::tuple<qlonglong, bool, bool>> SetTimeCalls() {
        std::vector<std::tuple<qlonglong, bool, bool>> calls;
        for (const QVariantList& call : Calls("SetTime")) {
            calls.emplace_back(call.value(0).toLongLong(), call.value(1).toBool(), call.value(2).toBool());
        }
        return calls;
    }

    std::unique_ptr<TimedatedClockSetter> Setter(
        SystemClock& clock, ClockSetter& fallback, std::chrono::milliseconds wait = std::chrono::seconds(3),
        std::chrono::milliseconds lateAnswerWindow = std::chrono::seconds(3)) {
        return std::make_unique<TimedatedClockSetter>(
            clock, fallback, m_address, TimedatedClockSetter::Timeouts{wait, wait, lateAnswerWindow});
    }
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
    StartMockWith(false);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const size_t before = SetTimeCalls().size();
        SyncRig rig(row.serverAheadSeconds);
        FakeClockSetter noFallback(rig.clock, FakeClockSetter::Mode::Unreachable);
        const auto setter = Setter(rig.clock, noFallback);
        rig.UseSetter(*setter);
        rig.settings.nOffset = row.offsetSeconds;
        rig.settings.nMaxDiff = 0;
        EXPECT_EQ(rig.Run(row.interactive), 1) << rig.manager->StatusText();
        std::vector<Call> calls = SetTimeCalls();
        calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(before));
        EXPECT_EQ(calls, row.expected);
        EXPECT_TRUE(rig.clock.Sets().empty());
        EXPECT_TRUE(noFallback.Requests().empty());
    }
    EXPECT_TRUE(Calls("SetNTP").empty());
}

// A refusal is a failed set: the run fails with its status line, the clock
// untouched, the same server kept. With NTP still on, a manual run asks once
// to switch it off (the user may be asked for a password) and then sets; an
// automatic run asks nothing and fails. A user who declines is asked once a
// run, and a refused coarse step ends the run.
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
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        SetUp();
        StartMockWith(row.ntp, row.setTime, row.setNtp);
        SyncRig rig(row.serverAheadSeconds);
        FakeClockSetter noFallback(rig.clock, FakeClockSetter::Mode::Unreachable);
        const auto setter = Setter(rig.clock, noFallback);
        rig.UseSetter(*setter);
        EXPECT_EQ(rig.Run(row.interactive), row.expectedExit);
        EXPECT_EQ(Calls("SetNTP"), row.expectedSetNtp);
        EXPECT_EQ(SetTimeCalls().size(), row.expectedSetTimes);
        EXPECT_TRUE(rig.clock.Sets().empty());
        if (row.expectedExit == 0) {
            EXPECT_EQ(rig.manager->StatusText(), "Communication error! 15:05; 06-Dec-2026");
            // A refusal is this machine's, not the server's: the server is asked again.
            EXPECT_EQ(rig.manager->CurrentServer(), 0);
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
    StartMockWith(false);
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

// A set whose answer comes after the setter stopped waiting (its limit ran
// out, or its run was stopped) fails as before, and the answer, once it comes,
// tells lateAnswer whether the service set the clock after all. An answer in
// time, one later than the bus waits, or one after the setter went is told to
// no one; the setter goes without waiting for it.
TEST_F(TimedatedClockSetterTest, AnAnswerAfterTheSetWasGivenUpIsToldToLateAnswer) {
    using std::chrono::milliseconds;
    struct Row {
        const char* what;
        QString setTime;
        milliseconds wait;
        milliseconds lateAnswerWindow;
        bool stopped;
        bool setterGoes;
        bool expected;
        uint32_t expectedError;
        std::vector<bool> expectedLate;
    };
    const QString setLate = QStringLiteral("time.sleep(0.5)");
    const QString refuseLate = setLate + "\n" + kSetTimeRefused;
    const milliseconds longer(3000);
    const milliseconds shorter(100);
    const Row rows[] = {
        {"answered in time", setLate, longer, longer, false, false, true, 0, {}},
        {"set after the wait", setLate, shorter, longer, false, false, false, kErrorTimedOut, {true}},
        {"refused after the wait", refuseLate, shorter, longer, false, false, false, kErrorTimedOut, {false}},
        {"set after the stop", setLate, longer, longer, true, false, false, ECANCELED, {true}},
        {"set after the bus gave up", setLate, shorter, shorter, false, false, false, kErrorTimedOut, {}},
        {"set after the setter went", setLate, shorter, longer, false, true, false, kErrorTimedOut, {}},
    };
    StartMockWith(false);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ReplaceMethod("SetTime", "xbb", row.setTime);
        std::mutex mutex;
        std::vector<bool> told;
        std::stop_source stop;
        ClockSetRequest request;
        request.stop = stop.get_token();
        request.lateAnswer = [&](bool applied) {
            std::lock_guard lock(mutex);
            told.push_back(applied);
        };
        FakeClock clock(ClockTime{1800000000, 0});
        FakeClockSetter noFallback(clock, FakeClockSetter::Mode::Unreachable);
        auto setter = Setter(clock, noFallback, row.wait, row.lateAnswerWindow);
        std::jthread stopper([&] {
            std::this_thread::sleep_for(shorter);
            if (row.stopped) {
                stop.request_stop();
            }
        });
        SetLastError(0);
        EXPECT_EQ(setter->SetClock({1800000005, 0}, request), row.expected);
        EXPECT_EQ(GetLastError(), row.expectedError);
        if (row.setterGoes) {
            const auto before = std::chrono::steady_clock::now();
            setter.reset();
            EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(400));
        }
        // Until the answer expected is told, or long enough for one that should not be.
        (void)QTest::qWaitFor(
            [&] {
                std::lock_guard lock(mutex);
                return !told.empty();
            },
            row.expectedLate.empty() ? 800 : 5000);
        std::lock_guard lock(mutex);
        EXPECT_EQ(told, row.expectedLate);
    }
}
