// Tidewell: keeps the computer's clock right from time servers. The one place
// where the real clock, network, settings file and desktop are wired together.

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "config/ProfileStore.h"
#include "config/Settings.h"
#include "core/SocketsLayer.h"
#include "core/SyncManager.h"
#include "core/SyncScheduler.h"
#include "core/Synchroniser.h"
#include "desktop/HelpService.h"
#include "desktop/QtPrompts.h"
#include "desktop/SingleInstance.h"
#include "desktop/TerminationWatch.h"
#include "desktop/TimedatedClockSetter.h"
#include "desktop/TimedatedTimeService.h"
#include "desktop/TimedatedZoneStore.h"
#include "history/HistoryRecorder.h"
#include "platform/ClockSetter.h"
#include "platform/CommandLine.h"
#include "platform/DateTimeSettings.h"
#include "platform/InternetProbe.h"
#include "platform/LinuxTimeZoneStore.h"
#include "platform/NetworkState.h"
#include "platform/SystemClock.h"
#include "ui/CMainDlg.h"
#include "ui/TidewellApp.h"
#include "ui/TrayIcon.h"
#include "ui/TrayTip.h"

namespace {

constexpr const char* kEndedText = "Stopped: the program ended.";

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tidewell"));
    QApplication::setOrganizationName(QString::fromLatin1(ProfileStore::kMakerKey));
    QApplication::setDesktopFileName(QStringLiteral("tidewell"));
    // The window hides to the notification area; only its destruction ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    QtPrompts prompts;
    LinuxSystemClock clock;
    // The system's time authority decides who may set the clock; without it
    // only a process that already holds the right (root) sets it itself.
    DirectClockSetter directSetter(clock);
    TimedatedClockSetter clockSetter(clock, directSetter);
    SocketsLayer sockets;
    CurlInternetProbe probe;
    LinuxNetworkState network;
    const std::unique_ptr<LinuxTimeZoneStore> zoneFiles = LinuxTimeZoneStore::ForThisProcess(clock);
    TimedatedZoneStore zones(*zoneFiles);
    HelpService help;
    DesktopDateTimeSettings dateTime;
    TimedatedTimeService timeService;

    // Nothing is read from the store before start-up registers the maker key.
    ProfileStore store(ProfileStore::DefaultConfigFolder());
    // The program-wide objects, each once. Settings comes before the others
    // because each of them holds on to it.
    Settings settings(store);
    TrayIcon trayIcon([&settings] { return settings.bShowIcon != 0; });
    SyncManager manager(settings, clock, prompts);
    // Every attempt goes to the history, written on a thread of its own.
    HistoryRecorder history(HistoryStore::DefaultPath());
    // On its way the tray's tooltip learns of each synchronisation.
    LastAttemptFeed lastAttempt(&history);
    manager.SetRecorder(&lastAttempt);
    Synchroniser synchroniser(manager, clock, clockSetter, sockets, probe);
    SyncScheduler scheduler(manager, synchroniser, settings, clock, network);
    // The dialogs' server tests: interactive, the clock untouched, each kept in the history.
    const ServerMeasure measure = [&synchroniser](const std::string& title, const std::string& host,
                                                  std::stop_token stop) {
        return synchroniser.TestServer(title, host, std::move(stop));
    };
    CMainDlg mainDlg(trayIcon, manager,
                     {settings, clock, prompts, scheduler, measure, zones, help, dateTime});
    mainDlg.SetHistory(&history);
    QObject::connect(&lastAttempt, &LastAttemptFeed::Synchronised, &mainDlg, &CMainDlg::ShowLastAttempt);
    TidewellApp theApp(
        settings, manager, mainDlg,
        {store, zones, prompts, timeService, dateTime, ReadCommandLine(), SingleInstance::DefaultName(),
         SiteDefaults::FoldersFromEnvironment(), &history, &clock});

    // The end of the session, or a stop from outside, ends the program as Exit
    // does, and at once: a message box or dialog open at the time holds a loop
    // of its own that would keep the program waiting for an answer.
    TerminationWatch termination;
    QObject::connect(&termination, &TerminationWatch::Requested, &mainDlg, [&] {
        mainDlg.EndWithoutAsking();
        prompts.Shutdown();
        std::fflush(nullptr);
        std::_Exit(0);
    });

    const int exitCode = theApp.Run();

    // A synchronisation still running ends with the process: nothing waits for
    // its network call, and everything it may still touch stays alive until
    // then. Every setting has already reached the disk; the history's queue is
    // written out now, its run recorded as cut short (a stalled disk is waited
    // for only briefly).
    manager.AbandonRun(kEndedText);
    history.Flush(std::chrono::seconds(3));
    prompts.Shutdown();
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
