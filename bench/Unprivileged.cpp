#include "bench/Unprivileged.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

constexpr const char* kUser = "nobody";

struct Identity {
    uid_t uid;
    gid_t gid;
};

std::optional<Identity> Nobody() {
    const passwd* entry = getpwnam(kUser);
    if (entry == nullptr) {
        return std::nullopt;
    }
    return Identity{entry->pw_uid, entry->pw_gid};
}

}  // namespace

std::string UnprivilegedProcess::UserName() {
    return geteuid() == 0 ? kUser : "";
}

bool UnprivilegedProcess::GiveFolder(const std::string& path) {
    if (geteuid() != 0) {
        return true;
    }
    const auto nobody = Nobody();
    return nobody && chown(path.c_str(), nobody->uid, nobody->gid) == 0 && chmod(path.c_str(), 0700) == 0;
}

UnprivilegedProcess::UnprivilegedProcess(const UnprivilegedCommand& command) {
    if (command.arguments.empty()) {
        throw std::runtime_error("no program to start");
    }
    std::optional<Identity> identity;
    if (geteuid() == 0) {
        identity = Nobody();
        if (!identity) {
            throw std::runtime_error(std::string("there is no user ") + kUser);
        }
    }
    // Everything the child needs is made before the fork: after it, only calls
    // that are safe in a child of a threaded process.
    std::vector<std::string> arguments = command.arguments;
    std::vector<std::string> environment = command.environment;
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    const int output = open(command.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) {
        throw std::runtime_error("cannot open " + command.outputPath + ": " + std::strerror(errno));
    }
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);

    m_pid = fork();
    if (m_pid == 0) {
        // dup2 clears close-on-exec on the copies.
        if (input < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) {
            _exit(126);
        }
        if (command.isolateNetwork && unshare(CLONE_NEWNET) != 0) {
            _exit(126);
        }
        if (identity && (setgroups(0, nullptr) != 0 || setgid(identity->gid) != 0 ||
                         setuid(identity->uid) != 0 || setuid(0) == 0)) {
            _exit(126);
        }
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
            _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    const int forkError = errno;
    close(output);
    if (input >= 0) {
        close(input);
    }
    if (m_pid < 0) {
        throw std::runtime_error(std::string("cannot fork: ") + std::strerror(forkError));
    }
}

UnprivilegedProcess::~UnprivilegedProcess() {
    if (m_pid > 0 && !m_status) {
        End();
    }
}

bool UnprivilegedProcess::Running() {
    return !Wait(std::chrono::milliseconds(0)).has_value();
}

std::optional<int> UnprivilegedProcess::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_status) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = status;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_status;
}

int UnprivilegedProcess::End(std::chrono::milliseconds grace) {
    if (m_status) {
        return *m_status;
    }
    kill(m_pid, SIGTERM);
    if (!Wait(grace)) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_status = status;
    }
    return *m_status;
}

std::string DescribeWaitStatus(int status) {
    if (WIFEXITED(status)) {
        return "exited with " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("ended by signal ") + std::to_string(WTERMSIG(status));
    }
    return "status " + std::to_string(status);
}
