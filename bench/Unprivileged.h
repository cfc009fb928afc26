#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Runs other programs for the benchmark so that they can never set the clock:
// as the user nobody when started by root, and in every case with no_new_privs,
// so that file capabilities on the program (cap_sys_time) are not granted.
struct UnprivilegedCommand {
    std::vector<std::string> arguments;    // the program's path first
    std::vector<std::string> environment;  // "NAME=value"; nothing else is passed
    std::string outputPath;                // standard output and error go here
    // In a network namespace of its own (only a loopback interface, down), so
    // that nothing the program sends reaches another machine. Needs root: the
    // program does not start without it.
    bool isolateNetwork = false;
};

class UnprivilegedProcess {
public:
    // The user the programs run as; empty when this process is not root and
    // they run as its own user.
    static std::string UserName();
    // Hands a folder to that user, so that the program may write in it.
    static bool GiveFolder(const std::string& path);

    // Starts the command; throws std::runtime_error when it cannot.
    explicit UnprivilegedProcess(const UnprivilegedCommand& command);
    // Ends the process if it still runs.
    ~UnprivilegedProcess();
    UnprivilegedProcess(const UnprivilegedProcess&) = delete;
    UnprivilegedProcess& operator=(const UnprivilegedProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    // True while it runs (not yet ended, or ended but not yet waited for).
    bool Running();
    // Waits for its end up to the time-out; the wait status, or empty if it
    // still runs.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // SIGTERM by its PID, then SIGKILL after the grace time; the wait status.
    int End(std::chrono::milliseconds grace = std::chrono::milliseconds(5000));

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
};

// "exited with 0", "killed by signal 15".
std::string DescribeWaitStatus(int status);
