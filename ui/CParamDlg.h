#pragma once

#include <QDialog>
#include <memory>

#include "ui/ValueExchange.h"

class Help;
class QButtonGroup;
class Settings;
class TimeZoneStore;
class TrayIcon;

namespace Ui {
class CParamDlg;
}

// "Options": edits the options of Settings. OK stores them (SaveOptions) and
// brings the tray icon in line; Cancel stores nothing. "Restore Default" puts
// the defaults into Settings at once (in memory; not undone by Cancel). "Edit
// DST" opens the DST editor and then shows the zone's report afresh. The
// controls of an option the administrator has locked are disabled.
class CParamDlg : public QDialog {
    Q_OBJECT
public:
    CParamDlg(Settings& settings, TrayIcon& trayIcon, TimeZoneStore& zones, Prompts& prompts, Help& help,
              QWidget* parent = nullptr);
    ~CParamDlg() override;

    void accept() override;

private:
    void LockSiteOptions();
    void FromSettings();
    void ApplyHourlyRule();
    void OnPeriodClicked();
    void OnExitAfterClicked();
    void OnRestoreDefault();
    void OnEditDst();
    void OnHelp();
    void RefreshDstText();

    std::unique_ptr<Ui::CParamDlg> m_ui;
    Settings& m_settings;
    TrayIcon& m_trayIcon;
    TimeZoneStore& m_zones;
    Prompts& m_prompts;
    Help& m_help;
    QButtonGroup* m_periodGroup;
    QButtonGroup* m_signGroup;
    ValueExchange m_exchange;

    int m_period = 0;        // a SyncPeriod
    int m_showIcon = 1;      // 0 or 1
    int m_exitAfter = 1;     // 0 or 1
    int m_onlyNts = 0;       // 0 or 1
    int m_confirmLarge = 1;  // 0 or 1
    int m_rememberedExitAfter = 1;
    bool m_hourlyRuleHeld = false;  // the last run of the hourly rule found the period hourly
    int m_minutes = 0;              // of the shift, as typed: may be negative
    int m_seconds = 0;              // of the shift, as typed: may be negative
    int m_sign = 0;                 // 0 ahead (+), 1 backward (-)
    int m_maxDays = 14;             // days
    int m_timeOutSeconds = 20;
    int m_maxDiffMinutes = 61;
    QString m_dstText;
};
