#pragma once

#include <optional>
#include <string>
#include <vector>

// The desktop's own date, time and time-zone settings, opened for the user
// (the main window's "Set Time Zone and Date" and the first start).
class DateTimeSettings {
public:
    virtual ~DateTimeSettings() = default;
    // Opens the settings without waiting for them; when the desktop has none,
    // or they cannot be started, nothing happens.
    virtual void Open() = 0;
};

// One way of opening the date and time settings, and the desktops it belongs to
// as $XDG_CURRENT_DESKTOP names them.
struct DesktopCommand {
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> desktops;
};

// Every known way, in the order they are tried when none belongs to the current desktop.
const std::vector<DesktopCommand>& DateTimeSettingsCommands();

// A command found on the PATH, with the program's full path.
struct FoundCommand {
    std::string executable;
    std::vector<std::string> arguments;
};

// The first regular, executable file named `program` in the colon-separated
// `path`. Empty entries (the current folder) are not searched: a folder the
// user happens to be in must not supply the program. Empty when none is found.
std::string FindOnPath(const std::string& program, const std::string& path);

// Starts `executable` with `arguments` in a session of its own, not as a child
// of this process, so nothing waits for it or has to reap it. True when the
// program was started (it has replaced the new process).
bool StartDetached(const std::string& executable, const std::vector<std::string>& arguments);

class DesktopDateTimeSettings final : public DateTimeSettings {
public:
    // Looks on $PATH, preferring the current desktop's ($XDG_CURRENT_DESKTOP), both read at each Open.
    DesktopDateTimeSettings() = default;
    // Looks on `path`, preferring `currentDesktop` (a colon-separated list, as in $XDG_CURRENT_DESKTOP).
    DesktopDateTimeSettings(std::string path, std::string currentDesktop);

    void Open() override;

    // What Open starts: the first command of the current desktop found on the
    // path, otherwise the first of all found; nullopt when none is installed.
    std::optional<FoundCommand> Find() const;

private:
    std::optional<std::string> m_path;
    std::optional<std::string> m_currentDesktop;
};
