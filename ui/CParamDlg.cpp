#include "ui/CParamDlg.h"

#include <QButtonGroup>
#include <QShortcut>

#include "config/OptionRanges.h"
#include "config/Settings.h"
#include "config/SiteDefaults.h"
#include "desktop/HelpService.h"
#include "timezone/DstInfo.h"
#include "ui/CDSTDlg.h"
#include "ui/TrayIcon.h"
#include "ui_CParamDlg.h"

namespace {

int Flag(bool set) {
    return set ? 1 : 0;
}

}  // namespace

CParamDlg::CParamDlg(Settings& settings, TrayIcon& trayIcon, TimeZoneStore& zones, Prompts& prompts,
                     Help& help, QWidget* parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CParamDlg>()),
      m_settings(settings),
      m_trayIcon(trayIcon),
      m_zones(zones),
      m_prompts(prompts),
      m_help(help),
      m_periodGroup(new QButtonGroup(this)),
      m_signGroup(new QButtonGroup(this)),
      m_exchange(prompts) {
    m_ui->setupUi(this);
    setFixedSize(size());

    m_periodGroup->addButton(m_ui->IDC_PERIOD_DAILY, SyncPeriod::kDaily);
    m_periodGroup->addButton(m_ui->IDC_PERIOD_STARTUP, SyncPeriod::kAtStartUp);
    m_periodGroup->addButton(m_ui->IDC_PERIOD_HOURLY, SyncPeriod::kHourly);
    m_periodGroup->addButton(m_ui->IDC_PERIOD_MANUAL, SyncPeriod::kOnlyManual);
    m_signGroup->addButton(m_ui->IDC_AHEAD, 0);
    m_signGroup->addButton(m_ui->IDC_BACKWARD, 1);

    // The order in which the values are taken over.
    const auto radioGroup = [](QButtonGroup* group, int& value) {
        return std::pair{[group, &value] {
                             if (QAbstractButton* button = group->button(value)) {
                                 button->setChecked(true);
                             }
                         },
                         [group, &value] {
                             if (group->checkedId() >= 0) {
                                 value = group->checkedId();
                             }
                         }};
    };
    const auto checkBox = [](QCheckBox* box, int& value) {
        return std::pair{[box, &value] { box->setChecked(value == 1); },
                         [box, &value] { value = Flag(box->isChecked()); }};
    };
    auto [periodLoad, periodSave] = radioGroup(m_periodGroup, m_period);
    m_exchange.Add(periodLoad, periodSave);
    auto [iconLoad, iconSave] = checkBox(m_ui->IDC_SHOW_ICON, m_showIcon);
    m_exchange.Add(iconLoad, iconSave);
    auto [exitLoad, exitSave] = checkBox(m_ui->IDC_EXIT_AFTER, m_exitAfter);
    m_exchange.Add(exitLoad, exitSave);
    using namespace OptionRanges;
    m_exchange.Add(m_ui->IDC_MINUTES, m_minutes, kOffsetMinutes.min, kOffsetMinutes.max);
    m_exchange.Add(m_ui->IDC_MAX_DAYS, m_maxDays, kMaxDays.min, kMaxDays.max);
    m_exchange.Add(m_ui->IDC_SECONDS, m_seconds, kOffsetSeconds.min, kOffsetSeconds.max);
    m_exchange.Add(m_ui->IDC_TIMEOUT, m_timeOutSeconds, kTimeOut.min, kTimeOut.max);
    m_exchange.Add(m_ui->IDC_MAX_DIFF, m_maxDiffMinutes, kMaxDiff.min, kMaxDiff.max);
    auto [signLoad, signSave] = radioGroup(m_signGroup, m_sign);
    m_exchange.Add(signLoad, signSave);
    auto [onlyNtsLoad, onlyNtsSave] = checkBox(m_ui->IDC_ONLY_NTS, m_onlyNts);
    m_exchange.Add(onlyNtsLoad, onlyNtsSave);
    auto [confirmLoad, confirmSave] = checkBox(m_ui->IDC_CONFIRM_LARGE, m_confirmLarge);
    m_exchange.Add(confirmLoad, confirmSave);
    m_exchange.Add([this] { m_ui->IDC_DST_INFO->setPlainText(m_dstText); }, [] {});

    connect(m_periodGroup, &QButtonGroup::idClicked, this, &CParamDlg::OnPeriodClicked);
    connect(m_ui->IDC_EXIT_AFTER, &QCheckBox::clicked, this, &CParamDlg::OnExitAfterClicked);
    connect(m_ui->IDC_RESTORE_DEFAULT, &QPushButton::clicked, this, &CParamDlg::OnRestoreDefault);
    connect(m_ui->IDC_EDIT_DST, &QPushButton::clicked, this, &CParamDlg::OnEditDst);
    connect(m_ui->IDC_HELP, &QPushButton::clicked, this, &CParamDlg::OnHelp);
    connect(m_ui->IDOK, &QPushButton::clicked, this, &CParamDlg::accept);
    connect(m_ui->IDCANCEL, &QPushButton::clicked, this, &CParamDlg::reject);
    auto* helpKey = new QShortcut(QKeySequence::HelpContents, this);
    connect(helpKey, &QShortcut::activated, this, &CParamDlg::OnHelp);
    // The frame has no title of its own; its text above says what it holds.
    m_ui->IDC_OFFSET_FRAME->setAccessibleName(QStringLiteral("Time offset"));

    LockSiteOptions();
    FromSettings();
    RefreshDstText();
    m_exchange.Load();
}

void CParamDlg::LockSiteOptions() {
    const auto lock = [this](const OptionRange& option, std::initializer_list<QWidget*> controls) {
        if (!m_settings.IsLocked(option.name)) {
            return;
        }
        for (QWidget* control : controls) {
            control->setEnabled(false);
            control->setToolTip(QString::fromLatin1(SiteDefaults::kLockedTip));
        }
    };
    using namespace OptionRanges;
    lock(kSynPeriod, {m_ui->IDC_PERIOD_GROUP, m_ui->IDC_PERIOD_DAILY, m_ui->IDC_PERIOD_STARTUP,
                      m_ui->IDC_PERIOD_HOURLY, m_ui->IDC_PERIOD_MANUAL});
    lock(kShowIcon, {m_ui->IDC_SHOW_ICON});
    lock(kExitAfter, {m_ui->IDC_EXIT_AFTER});
    lock(kOffset,
         {m_ui->IDC_OFFSET_FRAME, m_ui->IDC_AHEAD, m_ui->IDC_BACKWARD, m_ui->IDC_MINUTES, m_ui->IDC_SECONDS});
    lock(kMaxDays, {m_ui->IDC_MAX_DAYS});
    lock(kTimeOut, {m_ui->IDC_TIMEOUT});
    lock(kMaxDiff, {m_ui->IDC_MAX_DIFF});
    lock(kOnlyNts, {m_ui->IDC_ONLY_NTS});
    lock(kConfirmLarge, {m_ui->IDC_CONFIRM_LARGE});
}

CParamDlg::~CParamDlg() = default;

void CParamDlg::FromSettings() {
    m_period = m_settings.nSynPeriod;
    const int offsetSeconds = m_settings.nOffset;
    m_sign = offsetSeconds < 0 ? 1 : 0;
    // In 64 bits: the most negative stored offset has no 32-bit magnitude.
    const long long magnitude = offsetSeconds < 0 ? -static_cast<long long>(offsetSeconds) : offsetSeconds;
    m_minutes = static_cast<int>(magnitude / 60);
    m_seconds = static_cast<int>(magnitude % 60);
    m_maxDays = m_settings.nMaxDays;
    m_showIcon = m_settings.bShowIcon;
    m_exitAfter = m_settings.bExitAfter;
    m_rememberedExitAfter = m_exitAfter;
    m_timeOutSeconds = m_settings.nTimeOut;
    m_maxDiffMinutes = m_settings.nMaxDiff;
    m_onlyNts = m_settings.bOnlyNts;
    m_confirmLarge = m_settings.bConfirmLarge;
    m_hourlyRuleHeld = false;
    ApplyHourlyRule();
    m_exchange.Load();
}

void CParamDlg::ApplyHourlyRule() {
    if (m_period == SyncPeriod::kHourly) {
        // Remembered only on the way into hourly: clicking "Hourly" again must
        // not replace the user's choice by the cleared box.
        if (!m_hourlyRuleHeld) {
            m_rememberedExitAfter = m_exitAfter;
        }
        m_exitAfter = 0;
        m_hourlyRuleHeld = true;
        m_ui->IDC_EXIT_AFTER->setEnabled(false);
    } else {
        m_exitAfter = m_rememberedExitAfter;
        m_hourlyRuleHeld = false;
        m_ui->IDC_EXIT_AFTER->setEnabled(!m_settings.IsLocked(OptionRanges::kExitAfter.name));
    }
}

void CParamDlg::OnPeriodClicked() {
    m_exchange.Save();  // a refused field has had its message; the rule applies anyway
    ApplyHourlyRule();
    m_exchange.Load();
}

void CParamDlg::OnExitAfterClicked() {
    m_exchange.Save();
    m_rememberedExitAfter = m_exitAfter;
}

void CParamDlg::OnRestoreDefault() {
    m_settings.SetDefaults();
    FromSettings();
}

void CParamDlg::RefreshDstText() {
    // The report ends its lines with CR LF; the text box wants bare line feeds.
    m_dstText =
        QString::fromStdString(GetDSTInfoText(m_zones)).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

void CParamDlg::OnEditDst() {
    {
        CDSTDlg editor(m_zones, m_prompts, m_help, m_settings.startZone, m_settings.startZoneName, this);
        editor.exec();
    }
    RefreshDstText();
    m_exchange.Load();
}

void CParamDlg::OnHelp() {
    m_help.ShowHelp(HelpPage::Options);
}

void CParamDlg::accept() {
    if (!m_exchange.Save()) {
        return;
    }
    // A locked value stays the administrator's, whatever a rule of the dialog did to its field.
    const auto set = [this](const OptionRange& option, std::atomic<int32_t>& field, int value) {
        if (!m_settings.IsLocked(option.name)) {
            field = value;
        }
    };
    using namespace OptionRanges;
    set(kSynPeriod, m_settings.nSynPeriod, m_period);
    const int offsetSeconds = m_minutes * 60 + m_seconds;
    set(kOffset, m_settings.nOffset, m_sign == 1 ? -offsetSeconds : offsetSeconds);
    set(kMaxDays, m_settings.nMaxDays, m_maxDays);
    set(kShowIcon, m_settings.bShowIcon, m_showIcon);
    set(kExitAfter, m_settings.bExitAfter, m_exitAfter);
    set(kTimeOut, m_settings.nTimeOut, m_timeOutSeconds);
    set(kMaxDiff, m_settings.nMaxDiff, m_maxDiffMinutes);
    set(kOnlyNts, m_settings.bOnlyNts, m_onlyNts);
    set(kConfirmLarge, m_settings.bConfirmLarge, m_confirmLarge);
    m_settings.SaveOptions();
    m_trayIcon.UpdateTrayIcon(TrayAction::Modify);
    QDialog::accept();
}
