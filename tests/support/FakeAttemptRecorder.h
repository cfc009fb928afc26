#pragma once

#include <mutex>
#include <vector>

#include "core/AttemptRecorder.h"

// Keeps every record it is handed, from any thread.
class FakeAttemptRecorder final : public AttemptRecorder {
public:
    void Record(const AttemptRecord& record) override {
        std::lock_guard lock(m_mutex);
        m_records.push_back(record);
    }
    std::vector<AttemptRecord> Records() const {
        std::lock_guard lock(m_mutex);
        return m_records;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<AttemptRecord> m_records;
};
