#pragma once

#include <atomic>
#include <cstddef>

#include "platform/NetworkState.h"

// A network connection that is there or not as the test says (default: there).
class FakeNetworkState final : public NetworkState {
public:
    void SetConnected(bool connected) { m_connected = connected; }
    size_t QueryCount() const { return m_queries; }

    bool IsConnected() const override {
        ++m_queries;
        return m_connected;
    }

private:
    std::atomic<bool> m_connected{true};
    mutable std::atomic<size_t> m_queries{0};
};
