#include "tests/support/FakePrompts.h"

#include <condition_variable>

PromptAnswer FakePrompts::Show(const PromptRequest& request, std::stop_token stop) {
    bool hold = false;
    std::function<void(const PromptRequest&)> whileOpen;
    PromptAnswer answer =
        request.buttons == PromptButtons::YesNo || request.buttons == PromptButtons::YesNoCancel
            ? PromptAnswer::Yes
            : PromptAnswer::Ok;
    {
        std::lock_guard lock(m_mutex);
        m_shown.push_back(request);
        if (!m_answers.empty()) {
            answer = m_answers.front();
            m_answers.pop_front();
        }
        hold = m_hold;
        whileOpen = m_whileOpen;
    }
    if (whileOpen) {
        whileOpen(request);
    }
    if (hold) {
        std::mutex waitMutex;
        std::condition_variable_any cv;
        std::unique_lock lock(waitMutex);
        cv.wait(lock, stop, [] { return false; });
        return PromptAnswer::Closed;
    }
    return answer;
}

void FakePrompts::WhileOpen(std::function<void(const PromptRequest&)> action) {
    std::lock_guard lock(m_mutex);
    m_whileOpen = std::move(action);
}

void FakePrompts::QueueAnswer(PromptAnswer answer) {
    std::lock_guard lock(m_mutex);
    m_answers.push_back(answer);
}

void FakePrompts::HoldBoxesOpen(bool hold) {
    std::lock_guard lock(m_mutex);
    m_hold = hold;
}

std::vector<PromptRequest> FakePrompts::Shown() const {
    std::lock_guard lock(m_mutex);
    return m_shown;
}

std::size_t FakePrompts::Count() const {
    std::lock_guard lock(m_mutex);
    return m_shown.size();
}

void FakePrompts::Clear() {
    std::lock_guard lock(m_mutex);
    m_shown.clear();
    m_answers.clear();
}
