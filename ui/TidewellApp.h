#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "config/SiteDefaults.h"

class AttemptRecorder;
class CMainDlg;
class DateTimeSettings;
class Prompts;
class ProfileStore;
class Settings;
class SingleInstance;
class SyncManager;
class SystemClock;
class TimeService;
class TimeZoneStore;

// The application: takes the program from its start to a running main window
// and runs the message loop until that window is destroyed.
//
// Start-up: one copy per user (a later start asks the running copy to bring
// its window back, and ends); the maker key; on a first start (no settings
// file yet) the system's zone is captured and the built-in servers and
// options are stored, then the user is asked to check the date and time
// settings, which are opened; on every other start everything stored is
// loaded; the administrator's settings apply (SiteDefaults: the first start's
// values, and the locked ones at every start); the system's own clock synchronisation is switched off; and
// the window opens shown, or hidden when the command line ends with "StartUp" (never on a first start).
class TidewellApp final : public QObject {
    Q_OBJECT
public:
    struct Services {
        ProfileStore& store;
        TimeZoneStore& zones;
        Prompts& prompts;
        TimeService& timeService;
        DateTimeSettings& dateTime;
        // The whole command line as the system reports it (ReadCommandLine()).
        std::string commandLine;
        // Where the copies of the program meet (SingleInstance::DefaultName()).
        QString instanceName;
        // Where the administrator's settings file is looked for, in order.
        std::vector<std::string> siteFolders = SiteDefaults::FoldersFromEnvironment();
        // Where a site file that cannot be used whole is noted, and the clock
        // that dates the note; without them it is only told on standard error.
        AttemptRecorder* history = nullptr;
        const SystemClock* clock = nullptr;
    };

    TidewellApp(Settings& settings, SyncManager& manager, CMainDlg& mainDlg, Services services,
                QObject* parent = nullptr);
    ~TidewellApp() override;

    // The start-up sequence. False when another copy runs: it has been asked to
    // restore its window, and this copy should end without a window of its own.
    bool InitInstance();
    // InitInstance, then the message loop until the main window is destroyed. The exit code.
    int Run();

    bool IsFirstStart() const { return m_firstStart; }

private:
    void UseSiteSettings();
    void PrepareFirstStart();

    Settings& m_settings;
    SyncManager& m_manager;
    CMainDlg& m_mainDlg;
    Services m_services;
    std::unique_ptr<SingleInstance> m_instance;
    bool m_firstStart = false;
};
