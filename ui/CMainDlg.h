#pragma once

#include <QDialog>
#include <QSize>
#include <QTimer>
#include <functional>
#include <memory>

#include "core/SyncScheduler.h"

class QLabel;
#include "ui/ServerMeasure.h"
#include "ui/TrayTip.h"

class CHistoryDlg;
class DateTimeSettings;
class Help;
class HistoryRecorder;
class Prompts;
class QMenu;
class QAction;
class Settings;
class SyncManager;
class SystemClock;
class TimeZoneStore;
class TrayIcon;

namespace Ui {
class CMainDlg;
}

// The main window: the record of the last attempt, the commands, and the
// one-second timer that drives the scheduler. It lives mostly hidden, with the
// icon in the notification area bringing it back (double-click) or offering
// the tray menu (right click). Closing it asks whether to exit; only the exit
// after synchronisation, with the window hidden, closes it without asking.
//
// The object is built before start-up; its window comes into being with
// Create(), which start-up calls once. "Destroying" the window hides it for
// good, takes the icon away, stops the timer and emits WindowDestroyed, which
// ends the program's message loop.
class CMainDlg : public QDialog, public MainWindowView {
    Q_OBJECT
public:
    static constexpr const char* kWindowTitle = "Tidewell";
    static constexpr const char* kInitialStatus = "Initial. There was not synchronization yet.";
    static constexpr int kTimerPeriodMs = 1000;
    // How long a window raised for a later start may take to become active
    // before the tray icon asks for attention instead.
    static constexpr int kActivationWaitMs = 1000;

    // Shows the about text; by default QMessageBox::about over this window.
    using AboutBox = std::function<void(const QString& title, const QString& text)>;

    // What the window works with besides the tray icon and the manager; each
    // must outlive the window.
    struct Services {
        Settings& settings;
        const SystemClock& clock;
        Prompts& prompts;
        SyncScheduler& scheduler;
        // The server tests of the chooser and the add-server dialog.
        ServerMeasure measure;
        TimeZoneStore& zones;
        Help& help;
        DateTimeSettings& dateTime;
    };

    // Sets the manager's status text to kInitialStatus: what the window shows
    // until start-up loads a stored record.
    CMainDlg(TrayIcon& trayIcon, SyncManager& manager, Services services, QWidget* parent = nullptr);
    ~CMainDlg() override;

    // 1: the window opens shown; 0: it opens hidden. Set by start-up before Create().
    void SetShowAtStart(int showAtStart) { m_showAtStart = showAtStart; }
    int ShowAtStart() const { return m_showAtStart; }

    // The window's initialisation: current server, visibility, the tray icon,
    // title and icon, the texts, the too-old warning, then the timer.
    void Create();

    // True: shows the window in front of the others (visible flag 1).
    // False: hides it (visible flag 0).
    void ShowMainWindow(bool show);

    // A later start of the program asked for the window, with the activation
    // token its launcher gave it (empty: none). Where the desktop does not
    // bring the window forward, the tray icon shows the attention state until
    // the window is activated.
    void RestoreFromSecondStart(const QString& activationToken = {});

    // A synchronisation has been made: the tray's tooltip tells of it.
    void ShowLastAttempt(const AttemptRecord& record);

    // MainWindowView
    bool IsWindowVisible() const override { return m_visible; }
    void RequestClose() override;
    void SetProgress(int percent) override;
    void RefreshDisplay() override;
    bool WindowExists() const override { return m_created && !m_destroyed; }

    bool TimerActive() const { return m_timer.isActive(); }
    // The tray menu, for the desktops that show it themselves and for tests.
    QMenu* TrayMenu() const { return m_trayMenu.get(); }
    // Opens the tray menu with its right edge at the given screen position.
    void PopUpTrayMenu(const QPoint& globalPosition);
    // The tray menu's "&Exit ": always asks.
    void ExitFromMenu();
    // The session ends (SIGTERM): the window is destroyed without a question.
    void EndWithoutAsking();

    void SetAboutBox(AboutBox aboutBox) { m_aboutBox = std::move(aboutBox); }
    // The history the "History" button, Ctrl+H and the tray menu's "&History"
    // open; none: they do nothing.
    void SetHistory(HistoryRecorder* history) { m_history = history; }
    // The History window once opened, else null.
    CHistoryDlg* HistoryWindow() const { return m_historyDlg.get(); }
    static QString AboutText();

    // The command buttons' handlers, as the buttons and the tray menu run them.
    void OnOptions();
    void OnServer();
    void OnAbout();
    void OnHelp();
    void OnSetTimeZone();
    void OnTrayDoubleClick();
    void OnHistory();

signals:
    // The window has been destroyed: the program's message loop ends.
    void WindowDestroyed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    void OnTimerTick();
    void HideWindow();
    void Destroy();
    void CopyTextsToControls();
    // Shows the manager's notice under the log, the window growing to hold
    // it; hides it when there is none.
    void ShowNotice(const QString& notice);
    void WarnWhenSyncTooOld();
    void BuildTrayMenu();
    void OnMinimised();

    std::unique_ptr<Ui::CMainDlg> m_ui;
    TrayIcon& m_trayIcon;
    SyncManager& m_manager;
    Settings& m_settings;
    const SystemClock& m_clock;
    Prompts& m_prompts;
    SyncScheduler& m_scheduler;
    TimeZoneStore& m_zones;
    Help& m_help;
    DateTimeSettings& m_dateTime;
    ServerMeasure m_measure;
    AboutBox m_aboutBox;
    std::unique_ptr<QMenu> m_trayMenu;
    HistoryRecorder* m_history = nullptr;
    std::unique_ptr<CHistoryDlg> m_historyDlg;
    // Owned by the window.
    QLabel* m_notice = nullptr;
    QSize m_plainSize;

    QString m_timeAfter;
    QString m_timeBefore;
    QString m_status;
    QString m_date;
    QString m_server;
    // The last attempt, for the tray's tooltip; before the first one of this
    // session, the stored status line.
    TrayTipParts m_lastAttempt;
    QTimer m_timer;
    // The window's own minimise requests are followed (where the desktop does
    // not report the minimised state back).
    bool m_followingStates = false;
    bool m_visible = false;
    bool m_exitFromMenu = false;
    // The exit question is open: a further close request waits for its answer
    // instead of asking again.
    bool m_asking = false;
    int m_showAtStart = 1;
    bool m_created = false;
    bool m_destroyed = false;
};
