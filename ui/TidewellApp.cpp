#include "ui/TidewellApp.h"

#include <QEventLoop>
#include <cstdio>

#include "config/CRegError.h"
#include "config/ProfileStore.h"
#include "config/Settings.h"
#include "core/AttemptRecorder.h"
#include "core/SyncManager.h"
#include "desktop/SingleInstance.h"
#include "platform/CommandLine.h"
#include "platform/DateTimeSettings.h"
#include "platform/SystemClock.h"
#include "platform/TimeService.h"
#include "timezone/TimeZoneCheck.h"
#include "ui/CMainDlg.h"

TidewellApp::TidewellApp(Settings& settings, SyncManager& manager, CMainDlg& mainDlg, Services services,
                         QObject* parent)
    : QObject(parent),
      m_settings(settings),
      m_manager(manager),
      m_mainDlg(mainDlg),
      m_services(std::move(services)) {}

TidewellApp::~TidewellApp() = default;

bool TidewellApp::InitInstance() {
    // One copy per user: a running copy is asked for its window, and this one steps back.
    m_instance = std::make_unique<SingleInstance>(m_services.instanceName);
    if (!m_instance->TryBecomePrimary()) {
        // The token lets a Wayland compositor raise the running copy's window.
        SingleInstance::AskPrimaryToRestore(m_services.instanceName, qgetenv("XDG_ACTIVATION_TOKEN"));
        m_instance.reset();
        return false;
    }
    connect(m_instance.get(), &SingleInstance::RestoreRequested, &m_mainDlg,
            &CMainDlg::RestoreFromSecondStart);

    m_services.store.RegisterMakerKey(ProfileStore::kMakerKey);
    UseSiteSettings();

    // No settings file yet: the program runs for the first time for this
    // user. A file that is there, however little of it can be read, holds
    // what the user chose and must not be overwritten by a first start.
    m_firstStart = !m_services.store.HasFile();
    if (m_firstStart) {
        PrepareFirstStart();
    } else {
        LastAttempt last;
        m_settings.LoadAll(last);
        m_manager.SetLastAttempt(last);
    }

    m_services.timeService.SwitchOffSync();

    const bool show = m_firstStart || !IsStartUpCommandLine(m_services.commandLine);
    m_mainDlg.SetShowAtStart(show ? 1 : 0);
    m_mainDlg.Create();
    if (show) {
        m_mainDlg.SetShowAtStart(1);
        m_mainDlg.ShowMainWindow(true);
    }
    return true;
}

void TidewellApp::UseSiteSettings() {
    SiteDefaults site = SiteDefaults::Read(m_services.siteFolders);
    // What cannot be used is left out, never a reason not to start: the
    // administrator learns of it from standard error and the history.
    if (!site.Problems().empty()) {
        std::string text = "Administrator's settings " + site.Path() + ":";
        for (const std::string& problem : site.Problems()) {
            std::fprintf(stderr, "tidewell: %s: %s\n", site.Path().c_str(), problem.c_str());
            text += (&problem == &site.Problems().front() ? " " : "; ") + problem;
        }
        if (m_services.history && m_services.clock) {
            AttemptRecord notice;
            notice.timeUtc = m_services.clock->Now();
            notice.kind = AttemptKind::Notice;
            notice.outcome = AttemptOutcome::Failure;
            notice.statusText = text + ".";
            m_services.history->Record(notice);
        }
    }
    m_settings.UseSite(std::move(site));
}

void TidewellApp::PrepareFirstStart() {
    // Whatever goes wrong here, the user is still sent to check the zone.
    try {
        m_settings.ApplySiteDefaults();
        CheckTimeZone(m_services.zones, m_services.prompts, m_settings.startZone);
        m_settings.startZoneName = m_services.zones.zoneName();
        m_settings.SaveFirstStart();
    } catch (const CRegError&) {
    } catch (...) {
    }
    m_services.prompts.Show({"Tidewell",
                             "Tidewell needs right settings of system date and time zone.\n"
                             "Check your Time Zone Settings, please!",
                             PromptIcon::Information, PromptButtons::Ok});
    m_services.dateTime.Open();
}

int TidewellApp::Run() {
    if (!InitInstance()) {
        return 0;
    }
    if (!m_mainDlg.WindowExists()) {
        return 0;
    }
    QEventLoop loop;
    connect(&m_mainDlg, &CMainDlg::WindowDestroyed, &loop, [&loop] { loop.exit(0); });
    return loop.exec();
}
