#include "ui/MeasureRun.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stop_token>

struct MeasureRun::State {
    std::mutex mutex;
    std::condition_variable workersChanged;
    QObject* receiver = nullptr;  // null once the run has been destroyed
    OnResult onResult;
    OnEnded onEnded;
    std::vector<Host> hosts;
    std::size_t next = 0;  // the next host to take up
    std::size_t busyWorkers = 0;
    std::stop_source stop;

    // On a worker, under the lock: queues a call for the receiver's thread. It
    // runs only if the run still exists by then (checked on that thread, where
    // the run is destroyed).
    void PostLocked(std::function<void(State&)> call, const std::shared_ptr<State>& self) {
        if (receiver == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(
            receiver,
            [self, call = std::move(call)] {
                if (self->receiver != nullptr) {
                    call(*self);
                }
            },
            Qt::QueuedConnection);
    }
};

MeasureRun::MeasureRun(QObject* receiver, ServerMeasure measure, std::vector<Host> hosts,
                       std::size_t parallel, OnResult onResult, OnEnded onEnded)
    : m_state(std::make_shared<State>()) {
    m_state->receiver = receiver;
    m_state->onResult = std::move(onResult);
    m_state->onEnded = std::move(onEnded);
    m_state->hosts = std::move(hosts);
    if (!measure) {
        measure = [](const std::string&, const std::string&, std::stop_token) { return 0.0; };
    }
    const std::size_t workers = std::max<std::size_t>(1, std::min(parallel, m_state->hosts.size()));
    m_state->busyWorkers = workers;
    for (std::size_t i = 0; i < workers; ++i) {
        m_workers.emplace_back(&MeasureRun::Work, m_state, measure);
    }
}

MeasureRun::~MeasureRun() {
    std::unique_lock lock(m_state->mutex);
    m_state->receiver = nullptr;
    m_state->stop.request_stop();
    const bool finished =
        m_state->workersChanged.wait_for(lock, kLeaveAfter, [this] { return m_state->busyWorkers == 0; });
    lock.unlock();
    for (std::thread& worker : m_workers) {
        if (finished) {
            worker.join();
        } else {
            // A measurement that does not heed the stop (a slow name lookup
            // without cancellation) ends on its own.
            worker.detach();
        }
    }
}

void MeasureRun::Stop() {
    m_state->stop.request_stop();
}

bool MeasureRun::StopRequested() const {
    return m_state->stop.stop_requested();
}

void MeasureRun::Work(std::shared_ptr<State> state, ServerMeasure measure) {
    const std::stop_token stop = state->stop.get_token();
    for (;;) {
        Host host;
        {
            std::lock_guard lock(state->mutex);
            if (stop.stop_requested() || state->next >= state->hosts.size()) {
                break;
            }
            host = state->hosts[state->next++];
        }
        const double delaySeconds = measure(host.title, host.host, stop);
        if (stop.stop_requested()) {
            break;
        }
        std::lock_guard lock(state->mutex);
        state->PostLocked([index = host.index, delaySeconds](State& s) { s.onResult(index, delaySeconds); },
                          state);
    }
    {
        std::lock_guard lock(state->mutex);
        if (--state->busyWorkers == 0) {
            state->PostLocked([](State& s) { s.onEnded(); }, state);
        }
    }
    state->workersChanged.notify_all();
}

std::string DelayFigure(double delaySeconds) {
    int decimals = 3;
    while (decimals < 9 && delaySeconds > 0 && delaySeconds < 0.5 * std::pow(10.0, -decimals)) {
        ++decimals;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%5.*f", decimals, delaySeconds);
    return text;
}
