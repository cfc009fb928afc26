#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

struct ChronydOptions {
    // libfaketime's time format for the server's clock ("+2h",
    // "@2040-01-01 00:00:00"); empty for the machine's real clock.
    std::string fakeTime;
    // The stratum it serves while it has no source of its own.
    int stratum = 8;
    // How long it may take to answer its first request.
    std::chrono::milliseconds startTimeout{10000};
    // The UDP port to serve on; 0 for any free one. A fixed port (123 for
    // clients that know no other) must be checked free by the caller.
    uint16_t port = 0;
    // A certificate and its key in PEM files: with both, chronyd also serves
    // Network Time Security, its key establishment on a free TCP port.
    std::string ntsCertFile = {};
    std::string ntsKeyFile = {};
};

// A real chronyd for tests: serves time on 127.0.0.1 and a free UDP port (or the one asked for) from a
// configuration in a temporary folder, never touches this machine's clock (-x),
// has no command socket, and is ended by its PID when the object goes. It needs
// root (chronyd refuses to start otherwise; see RanAsNamespaceRoot) and the
// chrony package, and the faketime package for a shifted clock.
class Chronyd {
public:
    static constexpr const char* kHost = "127.0.0.1";

    // Empty when a Chronyd with these options can run here; otherwise the
    // reason it cannot (for GTEST_SKIP).
    static std::string Unavailable(const ChronydOptions& options = {});

    // For a test that needs root only to start chronyd, called first thing:
    //   if (Chronyd::RanAsNamespaceRoot()) return;
    // False where the test is to run in this process: as root, or already in
    // the namespace below (whose loopback it brings up). Otherwise runs this
    // very test again as root of a user and network namespace of its own
    // (`unshare --user --map-root-user --net`: loopback only, no right over
    // this machine), takes that run's outcome as this test's (passed, failed,
    // or skipped with its reason), and returns true. Where the machine
    // forbids such a namespace the test skips and says why.
    static bool RanAsNamespaceRoot();

    // Returns once chronyd answers SNTP requests; throws std::runtime_error
    // with its log when it does not start.
    explicit Chronyd(ChronydOptions options = {});
    ~Chronyd();
    Chronyd(const Chronyd&) = delete;
    Chronyd& operator=(const Chronyd&) = delete;

    uint16_t Port() const { return m_port; }
    // The key-establishment TCP port; 0 without NTS.
    uint16_t NtsPort() const { return m_ntsPort; }
    // The process started (faketime, when the clock is shifted); chronyd
    // runs in its process group.
    pid_t Pid() const { return m_pid; }
    const std::filesystem::path& Directory() const { return m_directory; }
    // What chronyd wrote to its standard output and error.
    std::string Log() const;
    // Ends the process group by its PID (SIGTERM, then SIGKILL) and waits for
    // it. Done by the destructor; harmless to repeat.
    void Stop();

private:
    bool StartOnce(std::string& failure);
    bool Answers() const;

    ChronydOptions m_options;
    std::filesystem::path m_directory;
    uint16_t m_port = 0;
    uint16_t m_ntsPort = 0;
    pid_t m_pid = -1;
};
