#include "core/SocketsLayer.h"

int SocketsLayer::Startup(uint16_t /*requestedVersion*/, uint16_t& grantedVersion) {
    std::lock_guard lock(m_mutex);
    if (m_failWith != 0) {
        return m_failWith;
    }
    ++m_count;
    grantedVersion = m_granted;
    return 0;
}

int SocketsLayer::Cleanup() {
    std::lock_guard lock(m_mutex);
    if (m_count == 0) {
        return kErrorNotInitialised;
    }
    --m_count;
    return 0;
}

int SocketsLayer::StartCount() const {
    std::lock_guard lock(m_mutex);
    return m_count;
}

void SocketsLayer::FailStarts(int errorCode) {
    std::lock_guard lock(m_mutex);
    m_failWith = errorCode;
}

void SocketsLayer::GrantVersion(uint16_t version) {
    std::lock_guard lock(m_mutex);
    m_granted = version;
}
