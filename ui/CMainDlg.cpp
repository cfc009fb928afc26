#include "ui/CMainDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QWindow>

#include "config/Settings.h"
#include "core/SyncManager.h"
#include "desktop/HelpService.h"
#include "platform/DateTimeSettings.h"
#include "ui/CHistoryDlg.h"
#include "ui/CParamDlg.h"
#include "ui/CServerDlg.h"
#include "ui/ProgramIcon.h"
#include "ui/TrayIcon.h"
#include "ui/Version.h"
#include "ui_CMainDlg.h"

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

CMainDlg::CMainDlg(TrayIcon& trayIcon, SyncManager& manager, Services services, QWidget* parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CMainDlg>()),
      m_trayIcon(trayIcon),
      m_manager(manager),
      m_settings(services.settings),
      m_clock(services.clock),
      m_prompts(services.prompts),
      m_scheduler(services.scheduler),
      m_zones(services.zones),
      m_help(services.help),
      m_dateTime(services.dateTime),
      m_measure(std::move(services.measure)),
      m_status(QString::fromLatin1(kInitialStatus)) {
    m_ui->setupUi(this);
    // A small fixed dialog with a minimise box and no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    m_plainSize = size();
    m_notice = new QLabel(this);
    m_notice->setObjectName(QStringLiteral("IDC_NOTICE"));
    m_notice->setWordWrap(true);
    m_notice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_notice->setFrameShape(QFrame::StyledPanel);
    m_notice->setMargin(6);
    m_notice->hide();
    m_manager.SetStatusText(kInitialStatus);

    m_aboutBox = [this](const QString& title, const QString& text) { QMessageBox::about(this, title, text); };

    connect(m_ui->IDC_SYNC_NOW, &QPushButton::clicked, this, [this] { m_scheduler.StartManualRun(); });
    connect(m_ui->IDC_BREAK, &QPushButton::clicked, this, [this] { m_scheduler.BreakRun(); });
    connect(m_ui->IDC_SET_TIME_ZONE, &QPushButton::clicked, this, &CMainDlg::OnSetTimeZone);
    connect(m_ui->IDC_OPTIONS, &QPushButton::clicked, this, &CMainDlg::OnOptions);
    connect(m_ui->IDC_SERVER_CHOOSER, &QPushButton::clicked, this, &CMainDlg::OnServer);
    connect(m_ui->IDC_ABOUT, &QPushButton::clicked, this, &CMainDlg::OnAbout);
    connect(m_ui->IDC_HELP, &QPushButton::clicked, this, &CMainDlg::OnHelp);
    // Ctrl+H beside the button's own Alt+T.
    auto* historyKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this);
    connect(historyKey, &QShortcut::activated, this, &CMainDlg::OnHistory);
    connect(m_ui->IDC_HISTORY, &QPushButton::clicked, this, &CMainDlg::OnHistory);
    connect(&m_timer, &QTimer::timeout, this, &CMainDlg::OnTimerTick);
    connect(&m_trayIcon, &TrayIcon::Activated, this, &CMainDlg::OnTrayDoubleClick);
    connect(&m_trayIcon, &TrayIcon::ContextRequested, this, &CMainDlg::PopUpTrayMenu);

    BuildTrayMenu();
}

CMainDlg::~CMainDlg() {
    m_timer.stop();
    m_historyDlg.reset();
    if (m_created && !m_destroyed) {
        m_trayIcon.Remove();
    }
    m_trayIcon.SetContextMenu(nullptr);
}

void CMainDlg::BuildTrayMenu() {
    m_trayMenu = std::make_unique<QMenu>();
    QAction* open = m_trayMenu->addAction(QStringLiteral("&Open"));
    QAction* sync = m_trayMenu->addAction(QStringLiteral("&Synchronize now"));
    QAction* options = m_trayMenu->addAction(QStringLiteral("O&ptions"));
    QAction* history = m_trayMenu->addAction(QStringLiteral("&History"));
    QAction* exit = m_trayMenu->addAction(QStringLiteral("&Exit "));
    open->setObjectName(QStringLiteral("ID_OPEN"));
    sync->setObjectName(QStringLiteral("ID_SYNC_NOW"));
    options->setObjectName(QStringLiteral("ID_OPTIONS"));
    history->setObjectName(QStringLiteral("ID_HISTORY"));
    exit->setObjectName(QStringLiteral("ID_EXIT"));
    // The default item is shown bold.
    m_trayMenu->setDefaultAction(open);
    // Queued: the menu has closed before the command runs, as with a menu command.
    connect(
        open, &QAction::triggered, this, [this] { ShowMainWindow(true); }, Qt::QueuedConnection);
    connect(
        sync, &QAction::triggered, this,
        [this] {
            if (WindowExists()) {
                m_scheduler.StartManualRun();
            }
        },
        Qt::QueuedConnection);
    connect(options, &QAction::triggered, this, &CMainDlg::OnOptions, Qt::QueuedConnection);
    connect(history, &QAction::triggered, this, &CMainDlg::OnHistory, Qt::QueuedConnection);
    connect(exit, &QAction::triggered, this, &CMainDlg::ExitFromMenu, Qt::QueuedConnection);
}

void CMainDlg::Create() {
    if (m_created) {
        return;
    }
    m_created = true;

    m_manager.SetCurrentServer();
    m_server = FromUtf8(m_manager.CurrentServerTitle());

    if (m_showAtStart == 1) {
        m_visible = true;
    } else {
        HideWindow();
    }

    m_trayIcon.SetContextMenu(m_trayMenu.get());
    m_trayIcon.Attach();
    m_trayIcon.UpdateTrayIcon(TrayAction::Modify);

    setWindowIcon(ProgramIcon());
    setWindowTitle(QString::fromLatin1(kWindowTitle));
    m_ui->IDC_PICTURE->setPixmap(ProgramIcon().pixmap(48, 48));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = geometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }

    m_timeBefore = FromUtf8(m_manager.FormatTimeBefore());
    m_timeAfter = FromUtf8(m_manager.FormatTimeAfter());
    m_date = FromUtf8(m_manager.FormatSyncDate());
    m_status = FromUtf8(m_manager.StatusText());

    WarnWhenSyncTooOld();

    CopyTextsToControls();
    m_lastAttempt.status = m_status;
    m_trayIcon.SetTip(TrayTipText(m_lastAttempt));
    m_timer.start(kTimerPeriodMs);
    m_ui->IDC_SYNC_NOW->setFocus();
}

void CMainDlg::WarnWhenSyncTooOld() {
    const SYSTEMTIME syncDate = m_manager.GetLastAttempt().syncDate;
    if (!m_settings.IsSyncOverdue(syncDate, m_clock)) {
        return;
    }
    const QString text = QStringLiteral(
                             "Warning! More then %1 days past\nafter last successful synchronization.\n"
                             "Synchronize PC Clock now,\nset max period to zero for disable this message\n"
                             "ore exit the program.")
                             .arg(static_cast<int>(m_settings.nMaxDays));
    m_prompts.Show({"Tidewell: Warning", text.toStdString(), PromptIcon::Warning, PromptButtons::Ok});
}

void CMainDlg::OnTimerTick() {
    if (!WindowExists()) {
        return;
    }
    m_scheduler.OnTimerTick(*this);
}

void CMainDlg::RefreshDisplay() {
    m_timeBefore = FromUtf8(m_manager.FormatTimeBefore());
    m_timeAfter = FromUtf8(m_manager.FormatTimeAfter());
    m_date = FromUtf8(m_manager.FormatSyncDate());
    m_server = FromUtf8(m_manager.CurrentServerTitle());
    m_status = FromUtf8(m_manager.StatusText());
    CopyTextsToControls();
    m_lastAttempt.nextAttemptSeconds = m_scheduler.SecondsToNextAutomaticAttempt();
    m_lastAttempt.notice = FromUtf8(m_manager.Notice());
    m_trayIcon.SetTip(TrayTipText(m_lastAttempt));
}

void CMainDlg::CopyTextsToControls() {
    m_ui->IDC_TIME_BEFORE->setText(m_timeBefore);
    m_ui->IDC_TIME_AFTER->setText(m_timeAfter);
    m_ui->IDC_SYNC_DATE->setText(m_date);
    m_ui->IDC_STATUS->setText(m_status);
    // The field is narrower than the longer lines: the whole line shows on hover.
    m_ui->IDC_STATUS->setToolTip(m_status);
    m_ui->IDC_SERVER->setText(m_server);
    ShowNotice(FromUtf8(m_manager.Notice()));
    // Long status lines are read from their start.
    for (QLineEdit* field : {m_ui->IDC_TIME_BEFORE, m_ui->IDC_TIME_AFTER, m_ui->IDC_SYNC_DATE,
                             m_ui->IDC_STATUS, m_ui->IDC_SERVER}) {
        field->setCursorPosition(0);
    }
}

void CMainDlg::ShowNotice(const QString& notice) {
    if (notice == m_notice->text() && m_notice->isHidden() == notice.isEmpty()) {
        return;
    }
    m_notice->setText(notice);
    if (notice.isEmpty()) {
        m_notice->hide();
        setFixedSize(m_plainSize);
        return;
    }
    constexpr int kMargin = 12;
    const int width = m_plainSize.width() - 2 * kMargin;
    const int height = m_notice->heightForWidth(width);
    m_notice->setGeometry(kMargin, m_plainSize.height(), width, height);
    setFixedSize(m_plainSize.width(), m_plainSize.height() + height + kMargin);
    m_notice->show();
}

void CMainDlg::SetProgress(int percent) {
    m_ui->IDC_PROGRESS->setValue(percent);
}

void CMainDlg::ShowMainWindow(bool show) {
    if (!WindowExists()) {
        return;
    }
    if (!show) {
        HideWindow();
        return;
    }
    m_visible = true;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    showNormal();
    raise();
}

void CMainDlg::HideWindow() {
    m_visible = false;
    m_trayIcon.SetAttention(false);
    // Without a notification area a hidden window could only come back through
    // a second start; minimised it stays in the task bar as well.
    if (m_trayIcon.Available()) {
        hide();
    } else {
        showMinimized();
    }
}

void CMainDlg::RestoreFromSecondStart(const QString& activationToken) {
    if (!WindowExists()) {
        return;
    }
    // On Wayland the activation takes the token from the environment and
    // clears it, whether the window is activated as it is shown or after;
    // elsewhere it is not read, and no later child inherits it.
    if (!activationToken.isEmpty()) {
        qputenv("XDG_ACTIVATION_TOKEN", activationToken.toLatin1());
    }
    // The window the user asked for counts as shown: the exit after
    // synchronisation must not close it under the user's eyes.
    ShowMainWindow(true);
    activateWindow();
    qunsetenv("XDG_ACTIVATION_TOKEN");
    // A desktop that refuses to pass the focus says nothing: the window is
    // looked at again a little later.
    QTimer::singleShot(kActivationWaitMs, this, [this] {
        if (WindowExists() && m_visible && isVisible() && !isActiveWindow()) {
            m_trayIcon.SetAttention(true);
            QApplication::alert(this);
        }
    });
}

void CMainDlg::ShowLastAttempt(const AttemptRecord& record) {
    const SYSTEMTIME local = m_clock.ToLocal(record.timeUtc);
    m_lastAttempt.time = QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", local.wYear, local.wMonth,
                                           local.wDay, local.wHour, local.wMinute, local.wSecond);
    m_lastAttempt.outcome = record.outcome;
    m_lastAttempt.status = FromUtf8(record.statusText);
    m_lastAttempt.offsetSeconds = record.offsetSeconds;
    m_lastAttempt.authenticated = record.authenticated;
    m_trayIcon.SetTip(TrayTipText(m_lastAttempt));
}

void CMainDlg::OnTrayDoubleClick() {
    ShowMainWindow(true);
    activateWindow();
    setFocus();
}

void CMainDlg::PopUpTrayMenu(const QPoint& globalPosition) {
    if (!WindowExists() || m_trayMenu->isVisible()) {
        // The desktop has already opened the menu it was given.
        return;
    }
    const int width = m_trayMenu->sizeHint().width();
    m_trayMenu->popup(globalPosition - QPoint(width, 0));
}

void CMainDlg::ExitFromMenu() {
    m_exitFromMenu = true;
    RequestClose();
    m_exitFromMenu = false;
}

void CMainDlg::EndWithoutAsking() {
    if (WindowExists()) {
        Destroy();
    }
}

void CMainDlg::RequestClose() {
    if (!WindowExists()) {
        return;
    }
    // close() hands the request to closeEvent at once and returns when it has been handled.
    close();
}

void CMainDlg::closeEvent(QCloseEvent* event) {
    // The window is never closed by Qt itself: it is either hidden or destroyed here.
    event->ignore();
    if (!WindowExists() || m_asking) {
        return;
    }
    if (m_settings.bExitAfter != 0 && !m_visible && !m_exitFromMenu) {
        m_timer.stop();
        Destroy();
        return;
    }
    m_asking = true;
    const PromptAnswer answer = m_prompts.Show(
        {"Tidewell", "Usually you do not need exit this program. Continue?\nYes - Exit, No - Minimize.",
         PromptIcon::Information, PromptButtons::YesNo});
    m_asking = false;
    if (answer == PromptAnswer::Yes) {
        Destroy();
    } else {
        HideWindow();
    }
}

void CMainDlg::Destroy() {
    if (m_destroyed) {
        return;
    }
    m_destroyed = true;
    m_timer.stop();
    m_trayMenu->hide();
    if (m_historyDlg) {
        m_historyDlg->hide();
    }
    hide();
    m_trayIcon.Remove();
    emit WindowDestroyed();
}

void CMainDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        m_trayIcon.SetAttention(false);
    }
    if (event->type() != QEvent::WindowStateChange || !WindowExists()) {
        return;
    }
    if (!isMinimized()) {
        // Brought back from the task bar (where a window without a notification
        // area waits): it is shown again. A change that was no return from the
        // minimised state (Wayland reports none) leaves the flag alone.
        const auto* change = static_cast<QWindowStateChangeEvent*>(event);
        if (isVisible() && (change->oldState() & Qt::WindowMinimized) != 0) {
            m_visible = true;
        }
        return;
    }
    OnMinimised();
}

void CMainDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Wayland never reports that the desktop minimised a window, but the
    // window's own minimise button (drawn by Qt there) changes the state of
    // the window itself, which is followed here.
    if (!m_followingStates && windowHandle() != nullptr) {
        m_followingStates = true;
        connect(windowHandle(), &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
            if (state == Qt::WindowMinimized && WindowExists() && isVisible()) {
                OnMinimised();
            }
        });
    }
}

void CMainDlg::OnMinimised() {
    if (!m_trayIcon.Available()) {
        // Without a notification area the minimised window stays in the task bar.
        m_visible = false;
        return;
    }
    m_visible = false;
    // Hidden once the window system has finished minimising it; a window shown
    // again in the meantime stays.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_visible && WindowExists()) {
                hide();
            }
        },
        Qt::QueuedConnection);
}

void CMainDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        OnHelp();
    }
    if (event->key() == Qt::Key_Escape) {
        // Escape neither closes nor hides the main window.
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CMainDlg::reject() {
    // Only the close request ends or hides this window.
}

void CMainDlg::OnOptions() {
    if (!WindowExists()) {
        return;
    }
    CParamDlg dialog(m_settings, m_trayIcon, m_zones, m_prompts, m_help, this);
    dialog.exec();
}

void CMainDlg::OnServer() {
    if (!WindowExists()) {
        return;
    }
    CServerDlg dialog(
        m_settings, m_prompts, m_help, m_measure, [this] { m_manager.SetCurrentServer(); }, this);
    dialog.exec();
}

void CMainDlg::OnHistory() {
    if (!WindowExists() || m_history == nullptr) {
        return;
    }
    // One window, kept while the program runs; opening it again brings it forward.
    if (!m_historyDlg) {
        m_historyDlg = std::make_unique<CHistoryDlg>(*m_history, m_prompts, m_help);
        m_historyDlg->setWindowIcon(ProgramIcon());
    } else if (!m_historyDlg->isVisible()) {
        m_historyDlg->Reload();
    }
    m_historyDlg->show();
    m_historyDlg->raise();
    m_historyDlg->activateWindow();
}

QString CMainDlg::AboutText() {
    return QStringLiteral("%1\u00ae\tVersion\t %2\n\n")
               .arg(QString::fromLatin1(kWindowTitle), QString::fromLatin1(kTidewellVersion)) +
           QStringLiteral(
               "Keeps the computer's clock right with SNTP time servers.\n"
               "Synchronizes daily, at start up, hourly or on request,\n"
               "and looks after the daylight saving rules of the time zone.\n\n"
               "Copyright \u00a9 Quorvane");
}

void CMainDlg::OnAbout() {
    m_aboutBox(QStringLiteral("About %1").arg(QString::fromLatin1(kWindowTitle)), AboutText());
}

void CMainDlg::OnHelp() {
    m_help.ShowHelp(HelpPage::Index);
}

void CMainDlg::OnSetTimeZone() {
    m_dateTime.Open();
}
