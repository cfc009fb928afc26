#pragma once

#include <QObject>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ui/ServerMeasure.h"

// A measured delay as the dialogs' reports show it: "%5.3f", or as many more
// decimals (up to nine) as a delay below half a millisecond needs to show
// digits, so that it never reads "0.000", which looks like the failure value 0.
std::string DelayFigure(double delaySeconds);

// Measures a number of servers on worker threads for a dialog, at most
// `parallel` at a time, taking them up in the order given. Each result comes
// back to the receiver's thread as it arrives (so not necessarily in that
// order), then, once every worker has stopped, the end. A stop reaches the
// measurements in progress through their stop token; nothing is taken up
// after it.
//
// Destroying the run stops it and waits only a moment for the workers: one
// that has not returned by then ends on its own, reaching nothing but the
// run's shared state and its copy of the measurement. No result or end is
// delivered after the destruction.
class MeasureRun {
public:
    struct Host {
        std::size_t index;  // handed back with the result
        std::string title;
        std::string host;
    };
    using OnResult = std::function<void(std::size_t index, double delaySeconds)>;
    using OnEnded = std::function<void()>;

    // The longest a destruction waits for the workers.
    static constexpr std::chrono::milliseconds kLeaveAfter{150};

    MeasureRun(QObject* receiver, ServerMeasure measure, std::vector<Host> hosts, std::size_t parallel,
               OnResult onResult, OnEnded onEnded);
    ~MeasureRun();
    MeasureRun(const MeasureRun&) = delete;
    MeasureRun& operator=(const MeasureRun&) = delete;

    void Stop();
    bool StopRequested() const;

private:
    struct State;
    static void Work(std::shared_ptr<State> state, ServerMeasure measure);

    std::shared_ptr<State> m_state;
    std::vector<std::thread> m_workers;
};
