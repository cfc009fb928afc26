#include "ui/TrayTip.h"

#include <QMetaObject>

namespace {

// "now", "in 5 min", "in 2 h 5 min": whole minutes, rounded up.
QString InHowLong(int64_t seconds) {
    if (seconds <= 0) {
        return QStringLiteral("now");
    }
    const int64_t minutes = (seconds + 59) / 60;
    if (minutes < 60) {
        return QStringLiteral("in %1 min").arg(minutes);
    }
    return QStringLiteral("in %1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

// The lines that follow the last attempt.
QString Coming(const TrayTipParts& parts) {
    QString text;
    if (parts.nextAttemptSeconds) {
        text += QStringLiteral("\nNext automatic attempt: ") + InHowLong(*parts.nextAttemptSeconds);
    }
    if (!parts.notice.isEmpty()) {
        text += QStringLiteral("\n") + parts.notice;
    }
    return text;
}

}  // namespace

QString TrayTipText(const TrayTipParts& parts) {
    QString tip = QStringLiteral("Tidewell\n");
    if (parts.time.isEmpty()) {
        return tip + parts.status + Coming(parts);
    }
    tip += QStringLiteral("Last attempt %1: ").arg(parts.time);
    switch (parts.outcome) {
        case AttemptOutcome::Success:
            tip += QStringLiteral("succeeded");
            break;
        case AttemptOutcome::Failure:
            tip += QStringLiteral("failed, ") + parts.status;
            break;
        case AttemptOutcome::Stopped:
            tip += QStringLiteral("stopped");
            break;
    }
    if (parts.offsetSeconds) {
        // The offset as the history gives it: positive when this clock was behind.
        const double offset = *parts.offsetSeconds;
        tip += QStringLiteral("\nOffset %1%2 s")
                   .arg(offset > 0 ? QStringLiteral("+") : QString())
                   .arg(offset, 0, 'f', 3);
    }
    if (parts.authenticated) {
        tip += QStringLiteral(" NTS");
    }
    return tip + Coming(parts);
}

LastAttemptFeed::LastAttemptFeed(AttemptRecorder* next, QObject* parent) : QObject(parent), m_next(next) {}

void LastAttemptFeed::Record(const AttemptRecord& record) {
    if (m_next != nullptr) {
        m_next->Record(record);
    }
    if (record.kind == AttemptKind::ServerTest) {
        return;
    }
    // Posting an event never waits for the user-interface thread.
    QMetaObject::invokeMethod(
        this, [this, record] { emit Synchronised(record); }, Qt::QueuedConnection);
}
