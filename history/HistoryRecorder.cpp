#include "history/HistoryRecorder.h"

#include <QMetaObject>
#include <future>

HistoryRecorder::HistoryRecorder(std::string path, HistoryStore::Limits limits, QObject* parent)
    : QObject(parent), m_path(std::move(path)), m_limits(limits), m_thread([this] { Work(); }) {}

HistoryRecorder::~HistoryRecorder() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void HistoryRecorder::Enqueue(Task task, bool mayDrop) {
    {
        std::lock_guard lock(m_mutex);
        if (mayDrop && m_tasks.size() >= kMaxQueued) {
            ++m_dropped;
            return;
        }
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
}

void HistoryRecorder::Record(const AttemptRecord& record) {
    Enqueue(
        [this, record](HistoryStore& store) {
            if (store.Append(record)) {
                emit Recorded();
            } else {
                ++m_dropped;
            }
        },
        true);
}

void HistoryRecorder::Load(QObject* receiver, Loaded done) {
    QPointer<QObject> guard(receiver);
    Enqueue(
        [this, guard, done = std::move(done)](HistoryStore& store) mutable {
            std::vector<AttemptRecord> records = store.LoadAll();
            // Handed over through this object, which lives on the thread that
            // made it; the receiver is looked at only there.
            QMetaObject::invokeMethod(
                this,
                [guard, done = std::move(done), records = std::move(records)]() mutable {
                    if (!guard.isNull()) {
                        done(std::move(records));
                    }
                },
                Qt::QueuedConnection);
        },
        false);
}

void HistoryRecorder::Flush() {
    std::promise<void> handled;
    std::future<void> done = handled.get_future();
    Enqueue([&handled](HistoryStore&) { handled.set_value(); }, false);
    done.wait();
}

bool HistoryRecorder::Flush(std::chrono::milliseconds limit) {
    // Shared: a writer still stuck when the wait ends sets it later.
    auto handled = std::make_shared<std::promise<void>>();
    std::future<void> done = handled->get_future();
    Enqueue([handled](HistoryStore&) { handled->set_value(); }, false);
    return done.wait_for(limit) == std::future_status::ready;
}

void HistoryRecorder::Work() {
    // The connection is made and used on this thread only.
    HistoryStore store(m_path, m_limits);
    store.Open();
    for (;;) {
        Task task;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_tasks.empty()) {
                return;
            }
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task(store);
    }
}
