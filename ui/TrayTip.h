#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

#include "core/AttemptRecorder.h"

// What the tray icon's tooltip says about the synchronisations.
struct TrayTipParts {
    // When the last attempt ended, local time as it is to be shown; empty when
    // no attempt was made since the start (the stored status line then stands alone).
    QString time;
    AttemptOutcome outcome = AttemptOutcome::Failure;
    // The status line of the last attempt.
    QString status;
    std::optional<double> offsetSeconds;
    bool authenticated = false;
    // Seconds until the next automatic attempt (0: now); none when no
    // automatic attempt will come.
    std::optional<int64_t> nextAttemptSeconds;
    // What the user should know beyond the status line (the main window's notice).
    QString notice;
};

// The tooltip: the program's name, then the last attempt: its time, result,
// measured offset and " NTS" when the time was authenticated; the next
// automatic attempt, and the notice.
QString TrayTipText(const TrayTipParts& parts);

// Hands every attempt on to the history and tells the user-interface thread
// about each synchronisation (not the server tests), for the tray's tooltip.
// Record() may be called from any thread and never waits.
class LastAttemptFeed final : public QObject, public AttemptRecorder {
    Q_OBJECT
public:
    explicit LastAttemptFeed(AttemptRecorder* next, QObject* parent = nullptr);
    void Record(const AttemptRecord& record) override;

signals:
    // On the thread that made the feed.
    void Synchronised(const AttemptRecord& record);

private:
    AttemptRecorder* m_next;
};
