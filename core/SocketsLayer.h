#pragma once

#include <cstdint>
#include <mutex>

// The start and release of the sockets layer around network work, counted so
// that the worker and a dialog may hold it at the same time. POSIX sockets need
// no start, so every start succeeds and grants version 1.1, unless a test has
// told it otherwise. Versions are 16-bit: major in the low byte, minor in the
// high byte. Safe to use from several threads.
class SocketsLayer {
public:
    static constexpr uint16_t kVersion11 = 0x0101;
    // What a start refused by a test reports unless told otherwise: the network
    // subsystem is not ready.
    static constexpr int kErrorNotReady = 10091;
    // What a release without a start reports.
    static constexpr int kErrorNotInitialised = 10093;

    // 0 on success, with the granted version; every success needs one
    // Cleanup, also when the granted version does not suit the caller. A
    // nonzero error code on failure, with nothing to release.
    int Startup(uint16_t requestedVersion, uint16_t& grantedVersion);
    // Releases one start: 0, or nonzero when no start is held.
    int Cleanup();
    // Starts not yet released.
    int StartCount() const;

    // Test seams: every later start fails with errorCode (0: they succeed
    // again), or grants this version.
    void FailStarts(int errorCode = kErrorNotReady);
    void GrantVersion(uint16_t version);

private:
    mutable std::mutex m_mutex;
    int m_count = 0;
    int m_failWith = 0;
    uint16_t m_granted = kVersion11;
};
