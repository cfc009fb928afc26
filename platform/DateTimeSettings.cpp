#include "platform/DateTimeSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ranges>
#include <sstream>

extern char** environ;

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool BelongsTo(const DesktopCommand& command, const std::vector<std::string>& currentDesktops) {
    for (const std::string& desktop : currentDesktops) {
        if (std::ranges::find(command.desktops, desktop) != command.desktops.end()) {
            return true;
        }
    }
    return false;
}

}  // namespace

const std::vector<DesktopCommand>& DateTimeSettingsCommands() {
    static const std::vector<DesktopCommand> commands = {
        {"gnome-control-center", {"datetime"}, {"GNOME"}},
        {"systemsettings", {"kcm_clock"}, {"KDE"}},
        {"kcmshell6", {"kcm_clock"}, {"KDE"}},
        {"systemsettings5", {"clock"}, {"KDE"}},
        {"kcmshell5", {"clock"}, {"KDE"}},
        {"cinnamon-settings", {"datetime"}, {"X-Cinnamon"}},
        {"budgie-control-center", {"datetime"}, {"Budgie"}},
        {"unity-control-center", {"datetime"}, {"Unity"}},
        {"lxqt-admin-time", {}, {"LXQt"}},
        {"time-admin", {}, {"XFCE", "MATE"}},
    };
    return commands;
}

std::string FindOnPath(const std::string& program, const std::string& path) {
    if (program.empty() || program.find('/') != std::string::npos) {
        return {};
    }
    for (const std::string& folder : Split(path, ':')) {
        if (folder.empty()) {
            continue;
        }
        const std::string candidate = folder + "/" + program;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

bool StartDetached(const std::string& executable, const std::vector<std::string>& arguments) {
    // Everything the new processes need is made before fork: after it, in a
    // program with threads, only async-signal-safe calls are allowed.
    std::vector<std::string> words;
    words.push_back(executable.substr(executable.rfind('/') + 1));
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    // The grandchild reports a failed exec through this pipe; a successful exec
    // closes it, and the parent reads end-of-file.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        ::close(report[0]);
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::execve(executable.c_str(), argv.data(), environ);
            const int error = errno;
            [[maybe_unused]] const ssize_t written = ::write(report[1], &error, sizeof error);
            ::_exit(127);
        }
        ::_exit(grandchild < 0 ? 1 : 0);
    }
    ::close(report[1]);
    int childStatus = 0;
    while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    int execError = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    return WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0 && got == 0;
}

DesktopDateTimeSettings::DesktopDateTimeSettings(std::string path, std::string currentDesktop)
    : m_path(std::move(path)), m_currentDesktop(std::move(currentDesktop)) {}

std::optional<FoundCommand> DesktopDateTimeSettings::Find() const {
    const std::string path = m_path ? *m_path : EnvironmentValue("PATH");
    const std::vector<std::string> currentDesktops =
        Split(m_currentDesktop ? *m_currentDesktop : EnvironmentValue("XDG_CURRENT_DESKTOP"), ':');

    std::optional<FoundCommand> firstFound;
    for (const DesktopCommand& command : DateTimeSettingsCommands()) {
        std::string executable = FindOnPath(command.program, path);
        if (executable.empty()) {
            continue;
        }
        FoundCommand found{std::move(executable), command.arguments};
        if (BelongsTo(command, currentDesktops)) {
            return found;
        }
        if (!firstFound) {
            firstFound = std::move(found);
        }
    }
    return firstFound;
}

void DesktopDateTimeSettings::Open() {
    if (const std::optional<FoundCommand> command = Find()) {
        StartDetached(command->executable, command->arguments);
    }
}
