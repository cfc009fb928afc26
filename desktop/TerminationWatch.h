#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

// Turns SIGTERM and SIGINT (the session ending, a service manager stopping
// the program, Ctrl+C in a terminal) into a signal on the user-interface
// thread, so that the program can end as its own Exit does. One at a time;
// the previous handlers come back when it is destroyed.
class TerminationWatch final : public QObject {
    Q_OBJECT
public:
    explicit TerminationWatch(QObject* parent = nullptr);
    ~TerminationWatch() override;

signals:
    void Requested();

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};
