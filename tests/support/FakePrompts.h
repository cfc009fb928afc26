#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/Prompts.h"

// Records every box and answers as told: queued answers first, then the
// default answer (Ok, or Yes for a question). Thread-safe.
class FakePrompts final : public Prompts {
public:
    PromptAnswer Show(const PromptRequest& request, std::stop_token stop = {}) override;

    void QueueAnswer(PromptAnswer answer);
    // Boxes stay open until their stop token is requested (for tests of runs
    // that are stopped while a box is open).
    void HoldBoxesOpen(bool hold);
    std::vector<PromptRequest> Shown() const;
    // Runs while each box stands open (the user reading it), outside any lock.
    void WhileOpen(std::function<void(const PromptRequest&)> action);
    std::size_t Count() const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<PromptRequest> m_shown;
    std::deque<PromptAnswer> m_answers;
    bool m_hold = false;
    std::function<void(const PromptRequest&)> m_whileOpen;
};
