#include "ui/TrayTip.h"

#include <QMetaObject>

QString TrayTipText(const TrayTipParts& parts) {
    QString tip = QStringLiteral("Tidewell\n");
    if (parts.time.isEmpty()) {
        return tip + parts.status;
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
    return tip;
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
