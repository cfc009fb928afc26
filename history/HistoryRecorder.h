#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/AttemptRecorder.h"
#include "history/HistoryStore.h"

// The history's writer: records handed to Record() are queued and written on
// a thread of its own, one transaction each, so that neither a run nor the
// user-interface thread ever waits for the disk. When the disk is full or the
// folder cannot be written, the record is dropped and the run goes on; when
// the queue is full (the disk is stalled), newer records are dropped too.
// Reads for the History window go through the same thread, after every record
// queued before them.
class HistoryRecorder final : public QObject, public AttemptRecorder {
    Q_OBJECT
public:
    static constexpr std::size_t kMaxQueued = 1000;

    explicit HistoryRecorder(std::string path, HistoryStore::Limits limits = {}, QObject* parent = nullptr);
    // Writes what is still queued, then ends the thread.
    ~HistoryRecorder() override;

    // Never waits, never fails.
    void Record(const AttemptRecord& record) override;

    using Loaded = std::function<void(std::vector<AttemptRecord> records)>;
    // Reads every record kept; `done` runs on the thread that made this
    // recorder (the user-interface thread), unless the receiver is gone by then.
    void Load(QObject* receiver, Loaded done);

    // Returns once everything queued before the call has been handled (tests, benchmark).
    void Flush();
    // The same, waiting at most limit: false when the queue was not through by then.
    bool Flush(std::chrono::milliseconds limit);

    // Records that did not reach the database.
    uint64_t Dropped() const { return m_dropped.load(); }
    const std::string& Path() const { return m_path; }

signals:
    // A record has been stored (emitted on the writer thread).
    void Recorded();

private:
    using Task = std::function<void(HistoryStore&)>;

    void Enqueue(Task task, bool mayDrop);
    void Work();

    const std::string m_path;
    const HistoryStore::Limits m_limits;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;
    bool m_stopping = false;
    std::atomic<uint64_t> m_dropped{0};
    std::thread m_thread;
};
