#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/ClockSetter.h"
#include "platform/SystemClock.h"

class QDBusConnection;
class QDBusMessage;

// Sets the clock through systemd-timedated on the system bus, which asks
// polkit who may: SetTime(microseconds, relative = true, interactive). Each
// correction leaves as a step relative to the clock read just before the
// call, so neither the bus nor a password prompt spoils it.
//
// timedated refuses SetTime while its own synchronisation (NTP) is on; a set
// the user asked for that finds it on asks once to switch it off, which may
// prompt for a password; an automatic set never prompts.
//
// Where timedated cannot be reached (no system bus, no such service) the
// fallback sets the clock, which only a process that already holds the right
// (root) may do.
//
// Callable from any thread; the calls block that thread (never the user
// interface's: the worker runs them), a wait ending on the request's stop or
// at its own limit. The bus call itself waits longer than that: a SetTime
// given up on may still be carried out, so the setter keeps listening for its
// answer and tells the request's lateAnswer what came of it.
class TimedatedClockSetter final : public ClockSetter {
public:
    struct Timeouts {
        // An automatic set: the service answers without asking anyone.
        std::chrono::milliseconds automatic{10000};
        // A set the user asked for: the user may be typing a password.
        std::chrono::milliseconds interactive{120000};
        // How much longer than the wait above the bus call waits for its
        // answer: a set given up on may still be carried out within it (a
        // password typed late), which lateAnswer then hears of. An answer
        // later than that is never heard of.
        std::chrono::milliseconds lateAnswerWindow{300000};
    };

    // On the system bus.
    TimedatedClockSetter(SystemClock& clock, ClockSetter& fallback);
    // On the bus at busAddress (a D-Bus address such as "unix:path=/run/...").
    TimedatedClockSetter(SystemClock& clock, ClockSetter& fallback, const QString& busAddress,
                         Timeouts timeouts);
    ~TimedatedClockSetter() override;
    TimedatedClockSetter(const TimedatedClockSetter&) = delete;
    TimedatedClockSetter& operator=(const TimedatedClockSetter&) = delete;

    bool MayTry() override;
    bool SetClock(const ClockTime& utcTarget, const ClockSetRequest& request) override;

private:
    class LateAnswers;

    QDBusConnection Bus();
    bool Reachable(QDBusConnection& bus);
    bool NtpOn(QDBusConnection& bus);
    // Sends call through the request's gate and waits for the answer, at most
    // as long as the request's kind allows. complete adds the arguments just
    // before the call leaves; a set given up on is watched for lateAnswer.
    bool CallThroughGate(QDBusConnection& bus, QDBusMessage call, bool interactive,
                         const ClockSetRequest& request, const std::function<void(QDBusMessage&)>& complete,
                         const std::function<void(bool applied)>& lateAnswer);

    SystemClock& m_clock;
    ClockSetter& m_fallback;
    const QString m_busAddress;  // empty: the system bus
    const QString m_connectionName;
    const Timeouts m_timeouts;
    std::mutex m_mutex;
    bool m_connected = false;
    // The run that was last asked to switch NTP off; each run once.
    std::optional<uint64_t> m_ntpAskedFor;
    std::unique_ptr<LateAnswers> m_lateAnswers;
};
