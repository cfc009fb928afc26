#include "platform/DateTimeSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A folder of fake desktop programs; each one started writes its name, its
// arguments and its parent's process id into `<folder>/started`.
class FakePrograms {
public:
    FakePrograms() {
        std::string pattern = (fs::temp_directory_path() / "tidewell-path-XXXXXX").string();
        m_folder = ::mkdtemp(pattern.data());
    }
    ~FakePrograms() { fs::remove_all(m_folder); }

    void Add(const std::string& name, const std::string& before = "",
             fs::perms perms = fs::perms::owner_all) {
        const fs::path file = m_folder / name;
        std::ofstream(file) << "#!/bin/sh\n"
                            << before << "\necho \"$(basename \"$0\") $* $PPID\" > \"" << Started().string()
                            << ".tmp\" && mv \"" << Started().string() << ".tmp\" \"" << Started().string()
                            << "\"\n";
        fs::permissions(file, perms);
    }

    std::string Path() const { return "/nonexistent-folder::" + m_folder.string(); }
    fs::path Started() const { return m_folder / "started"; }

    // What the started program wrote, once it has; empty when nothing came within the time.
    std::string WaitForStart(std::chrono::milliseconds limit = 5s) const {
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            if (fs::exists(Started())) {
                std::ifstream in(Started());
                std::stringstream text;
                text << in.rdbuf();
                return text.str();
            }
            std::this_thread::sleep_for(10ms);
        }
        return {};
    }

    const fs::path& Folder() const { return m_folder; }

private:
    fs::path m_folder;
};

}  // namespace

TEST(DateTimeSettingsTest, PrefersTheCurrentDesktopsSettingsThenTheFirstInstalled) {
    struct Row {
        std::vector<std::string> installed;
        std::string desktop;
        std::string expected;  // program name and arguments; empty: nothing found
    };
    const Row rows[] = {
        {{"gnome-control-center", "systemsettings"}, "", "gnome-control-center datetime"},
        {{"gnome-control-center", "systemsettings"}, "KDE", "systemsettings kcm_clock"},
        {{"gnome-control-center", "systemsettings"}, "ubuntu:GNOME", "gnome-control-center datetime"},
        {{"kcmshell5", "kcmshell6"}, "", "kcmshell6 kcm_clock"},
        {{"kcmshell5"}, "GNOME", "kcmshell5 clock"},
        {{"cinnamon-settings", "time-admin"}, "XFCE", "time-admin"},
        {{"unrelated-tool"}, "GNOME", ""},
        {{}, "", ""},
    };
    for (const Row& row : rows) {
        FakePrograms programs;
        for (const std::string& name : row.installed) {
            programs.Add(name);
        }
        const std::optional<FoundCommand> found =
            DesktopDateTimeSettings(programs.Path(), row.desktop).Find();
        std::string got;
        if (found) {
            EXPECT_EQ(fs::path(found->executable).parent_path(), programs.Folder());
            got = fs::path(found->executable).filename().string();
            for (const std::string& argument : found->arguments) {
                got += " " + argument;
            }
        }
        EXPECT_EQ(got, row.expected) << row.desktop << " with " << row.installed.size() << " installed";
    }
}

TEST(DateTimeSettingsTest, SkipsWhatCannotBeRunAndTheCurrentFolder) {
    FakePrograms programs;
    programs.Add("gnome-control-center", "", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directory(programs.Folder() / "systemsettings");
    programs.Add("kcmshell5");
    EXPECT_EQ(FindOnPath("kcmshell5", programs.Path()), (programs.Folder() / "kcmshell5").string());
    EXPECT_EQ(FindOnPath("gnome-control-center", programs.Path()), "");
    EXPECT_EQ(FindOnPath("systemsettings", programs.Path()), "");
    EXPECT_EQ(FindOnPath("kcmshell5", ":/nonexistent"), "");

    const fs::path before = fs::current_path();
    fs::current_path(programs.Folder());
    EXPECT_EQ(FindOnPath("kcmshell5", ""), "");
    EXPECT_EQ(FindOnPath("kcmshell5", ".:" + programs.Folder().string()), "./kcmshell5");
    fs::current_path(before);
}

TEST(DateTimeSettingsTest, OpenStartsTheSettingsDetachedWithoutWaiting) {
    FakePrograms programs;
    programs.Add("gnome-control-center", "sleep 1");
    DesktopDateTimeSettings settings(programs.Path(), "GNOME");

    const auto start = std::chrono::steady_clock::now();
    settings.Open();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);

    std::istringstream started(programs.WaitForStart());
    std::string name, argument;
    pid_t parent = 0;
    started >> name >> argument >> parent;
    EXPECT_EQ(name, "gnome-control-center");
    EXPECT_EQ(argument, "datetime");
    // Not our child: nothing here has to wait for it to end.
    EXPECT_NE(parent, ::getpid());
    EXPECT_GT(parent, 0);
}

TEST(DateTimeSettingsTest, NothingInstalledOpensNothing) {
    FakePrograms programs;
    DesktopDateTimeSettings settings(programs.Path(), "GNOME");
    settings.Open();
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(fs::is_empty(programs.Folder()));
    EXPECT_FALSE(StartDetached((programs.Folder() / "missing").string(), {}));
}
