#pragma once

// The whole program as app/main.cpp builds it, with every outside service
// replaced: a frozen clock, recorded message boxes, a settings folder of its
// own, a notification area that records what it is told.

#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/ProfileStore.h"
#include "config/Settings.h"
#include "core/SocketsLayer.h"
#include "core/SyncManager.h"
#include "core/SyncScheduler.h"
#include "core/Synchroniser.h"
#include "tests/support/FakeAttemptRecorder.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeClockSetter.h"
#include "tests/support/FakeDesktop.h"
#include "tests/support/FakeHelp.h"
#include "tests/support/FakeInternetProbe.h"
#include "tests/support/FakeNetworkState.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/FakeTimeZoneStore.h"
#include "ui/CMainDlg.h"
#include "ui/TidewellApp.h"
#include "ui/TrayIcon.h"

// A notification area that records every action; present or not as told.
class RecordingTrayPlatform final : public TrayPlatform {
public:
    RecordingTrayPlatform(std::vector<TrayAction>& log, bool available)
        : m_log(log), m_available(available) {}
    bool Available() const override { return m_available; }
    void Notify(TrayAction action, const QIcon&, const QString&) override { m_log.push_back(action); }

private:
    std::vector<TrayAction>& m_log;
    bool m_available;
};

// 2026-03-10 12:00:00 UTC, a Tuesday; local time is UTC in these tests.
inline ClockTime TestNow() {
    return ClockFromSystemTime({2026, 3, 2, 10, 12, 0, 0, 0});
}

// The Central European zone as the system reports it.
inline TIME_ZONE_INFORMATION TestZone() {
    TIME_ZONE_INFORMATION zone{};
    zone.Bias = -60;
    zone.StandardName[0] = u'C';
    zone.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
    zone.DaylightDate = {0, 3, 0, 5, 2, 0, 0, 0};
    zone.DaylightBias = -60;
    return zone;
}

struct TestProgramOptions {
    // The settings folder (a later start uses the same one) and the socket of the single instance.
    std::string configFolder;
    QString instanceName;
    std::string commandLine = "/usr/bin/tidewell";
    bool trayAvailable = true;
    ExchangeOptions exchange{123, 5000};
    ClockTime now = TestNow();
    // Set: the clock follows the real one, this many seconds ahead of it, in
    // place of standing still at `now` (for runs against real servers).
    std::optional<double> followRealClockSeconds;
    // Where the administrator's settings are looked for: by default nowhere.
    std::vector<std::string> siteFolders;
};

struct TestProgram {
    explicit TestProgram(const TestProgramOptions& options)
        : clock(options.followRealClockSeconds ? FakeClock::FollowingRealTime(*options.followRealClockSeconds)
                                               : FakeClock(options.now)),
          zones(TIME_ZONE_ID_STANDARD, TestZone()),
          store(options.configFolder),
          settings(store),
          trayIcon([this] { return settings.bShowIcon != 0; },
                   std::make_unique<RecordingTrayPlatform>(trayLog, options.trayAvailable)),
          manager(settings, clock, prompts, "C"),
          synchroniser(manager, clock, clockSetter, sockets, probe, options.exchange),
          scheduler(manager, synchroniser, settings, clock, network),
          mainDlg(trayIcon, manager,
                  {settings, clock, prompts, scheduler,
                   [this](const std::string& title, const std::string& host, std::stop_token stop) {
                       return synchroniser.TestServer(title, host, std::move(stop));
                   },
                   zones, help, dateTime}),
          app(settings, manager, mainDlg,
              {store, zones, prompts, timeService, dateTime, options.commandLine, options.instanceName,
               options.siteFolders, &history, &clock}) {
        mainDlg.SetAboutBox([this](const QString& title, const QString& text) {
            aboutTitles.push_back(title);
            aboutTexts.push_back(text);
        });
    }

    QLineEdit* Field(const char* name) const {
        return mainDlg.findChild<QLineEdit*>(QString::fromLatin1(name));
    }
    QString FieldText(const char* name) const { return Field(name)->text(); }
    QPushButton* Button(const char* name) const {
        return mainDlg.findChild<QPushButton*>(QString::fromLatin1(name));
    }

    // The outside world.
    FakeClock clock;
    FakePrompts prompts;
    FakeClockSetter clockSetter{clock};
    SocketsLayer sockets;
    FakeInternetProbe probe;
    FakeNetworkState network;
    FakeTimeZoneStore zones;
    FakeHelp help;
    FakeDateTimeSettings dateTime;
    FakeTimeService timeService;
    std::vector<TrayAction> trayLog;
    std::vector<QString> aboutTitles;
    std::vector<QString> aboutTexts;
    FakeAttemptRecorder history;

    // The program.
    ProfileStore store;
    Settings settings;
    TrayIcon trayIcon;
    SyncManager manager;
    Synchroniser synchroniser;
    SyncScheduler scheduler;
    CMainDlg mainDlg;
    TidewellApp app;
};
