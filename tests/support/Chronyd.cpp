#include "tests/support/Chronyd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::string FindProgram(const std::string& name) {
    std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::stringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) {
            continue;
        }
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// A UDP port on 127.0.0.1 that nobody holds at this moment.
uint16_t FreePort(int type) {
    const int handle = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (handle >= 0 && bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (handle >= 0) {
        close(handle);
    }
    return port;
}

bool Exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// Set in the environment of a test run again inside the namespace.
constexpr const char* kInNamespace = "TIDEWELL_TEST_IN_NAMESPACE";

// A new network namespace starts with its loopback down.
void BringLoopbackUp() {
    const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (handle >= 0 && ioctl(handle, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ioctl(handle, SIOCSIFFLAGS, &request);
    }
    if (handle >= 0) {
        close(handle);
    }
}

void Skip(const std::string& reason) {
    GTEST_SKIP() << reason;
}

// Runs arguments with standard output and error into one text; the exit code,
// or -1 when it did not start or did not exit.
int RunCapturing(std::vector<std::string> arguments, std::string& output) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char buffer[4096];
    ssize_t n = 0;
    while (spawned == 0 && ((n = read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
        output.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    close(fds[0]);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace

bool Chronyd::RanAsNamespaceRoot() {
    if (geteuid() == 0) {
        if (std::getenv(kInNamespace) != nullptr) {
            BringLoopbackUp();
        }
        return false;
    }
    const std::string unshare = FindProgram("unshare");
    if (unshare.empty()) {
        Skip(
            "chronyd runs only as root, and unshare (Debian package util-linux) is missing to run it as "
            "root of a user namespace");
        return true;
    }
    std::string self(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", self.data(), self.size());
    self.resize(static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    // Read only by a process that is root: here it reaches the run inside.
    setenv(kInNamespace, "1", 1);
    std::string output;
    const int code = RunCapturing(
        {unshare, "--user", "--map-root-user", "--net", "--", self,
         std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name(), "--gtest_color=no"},
        output);
    std::cout << output << std::flush;
    if (code != 0 && output.starts_with("unshare: ")) {
        Skip("chronyd runs only as root, and this machine makes no user and network namespace for it: " +
             output.substr(0, output.find('\n')));
    } else if (code != 0) {
        ADD_FAILURE() << "failed as root of a user and network namespace (output above)";
    } else if (const auto skipped = output.find(": Skipped\n"); skipped != std::string::npos) {
        const std::string rest = output.substr(skipped + 10);
        Skip("as root of a user and network namespace: " + rest.substr(0, rest.find("\n\n")));
    } else if (output.find("[  PASSED  ] 1 test") == std::string::npos) {
        ADD_FAILURE() << "the run as root of a user and network namespace ran no test (output above)";
    }
    return true;
}

std::string Chronyd::Unavailable(const ChronydOptions& options) {
    if (FindProgram("chronyd").empty()) {
        return "chronyd is not installed (Debian package chrony)";
    }
    if (!options.fakeTime.empty() && FindProgram("faketime").empty()) {
        return "faketime is not installed (Debian package faketime)";
    }
    if (geteuid() != 0) {
        return "chronyd runs only as root";
    }
    return {};
}

Chronyd::Chronyd(ChronydOptions options) : m_options(std::move(options)) {
    const std::string unavailable = Unavailable(m_options);
    if (!unavailable.empty()) {
        throw std::runtime_error("Chronyd: " + unavailable);
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tidewell-chronyd-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("Chronyd: cannot create a temporary folder");
    }
    m_directory = pattern;
    // The port is free when chosen but not reserved: another process may take
    // it before chronyd binds it, so a failed start tries another.
    std::string failure;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (StartOnce(failure)) {
            return;
        }
        Stop();
    }
    const std::string log = Log();
    std::filesystem::remove_all(m_directory);
    throw std::runtime_error("Chronyd: " + failure + "\n" + log);
}

Chronyd::~Chronyd() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

bool Chronyd::StartOnce(std::string& failure) {
    m_port = m_options.port != 0 ? m_options.port : FreePort(SOCK_DGRAM);
    const std::filesystem::path config = m_directory / "chronyd.conf";
    {
        std::ofstream out(config);
        out << "port " << m_port << "\n"
            << "bindaddress 127.0.0.1\n"
            << "allow 127.0.0.1\n"
            // Serve time without a source of its own.
            << "local stratum " << m_options.stratum
            << "\n"
            // No command port and no command socket: nothing shared with the
            // machine's own chronyd or another test's.
            << "cmdport 0\n"
            << "bindcmdaddress /\n"
            << "pidfile " << (m_directory / "chronyd.pid").string() << "\n"
            << "driftfile " << (m_directory / "chronyd.drift").string() << "\n";
        if (!m_options.ntsCertFile.empty() && !m_options.ntsKeyFile.empty()) {
            m_ntsPort = FreePort(SOCK_STREAM);
            // The key establishment in chronyd's own process: no helpers to end.
            out << "ntsservercert " << m_options.ntsCertFile << "\n"
                << "ntsserverkey " << m_options.ntsKeyFile << "\n"
                << "ntsport " << m_ntsPort << "\n"
                << "ntsprocesses 0\n"
                << "ntsdumpdir " << m_directory.string() << "\n";
        }
    }
    const std::string log = (m_directory / "chronyd.log").string();

    std::vector<std::string> arguments;
    if (!m_options.fakeTime.empty()) {
        arguments = {FindProgram("faketime"), "-f", m_options.fakeTime};
    }
    // -x: never touch the clock; -d: stay in the foreground, log to stderr;
    // -u root: keep the files in our folder writable; -4: no IPv6 socket, which
    // would otherwise take the port on every IPv6 address.
    arguments.insert(arguments.end(),
                     {FindProgram("chronyd"), "-4", "-x", "-d", "-u", "root", "-f", config.string()});
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that Stop reaches chronyd behind faketime too.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int spawned = posix_spawn(&m_pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        m_pid = -1;
        failure = std::string("cannot start ") + argv[0] + ": " + std::strerror(spawned);
        return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + m_options.startTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Answers()) {
            return true;
        }
        if (Exited(m_pid)) {
            m_pid = -1;
            failure = "chronyd ended before it answered";
            return false;
        }
    }
    failure = "chronyd did not answer within " + std::to_string(m_options.startTimeout.count()) + " ms";
    return false;
}

bool Chronyd::Answers() const {
    const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        return false;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(m_port);
    uint8_t request[48] = {0x1B};
    request[47] = 1;  // a nonzero transmit timestamp, which chronyd asks of a client
    bool answered = false;
    if (connect(handle, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
        send(handle, request, sizeof request, 0) == static_cast<ssize_t>(sizeof request)) {
        pollfd entry{handle, POLLIN, 0};
        uint8_t reply[128];
        answered = poll(&entry, 1, 100) > 0 && recv(handle, reply, sizeof reply, 0) >= 48;
    }
    close(handle);
    if (!answered) {
        // A refused request comes back at once: do not spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return answered;
}

std::string Chronyd::Log() const {
    std::ifstream in(m_directory / "chronyd.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Chronyd::Stop() {
    if (m_pid <= 0) {
        return;
    }
    kill(-m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Exited(m_pid)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(-m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
}
