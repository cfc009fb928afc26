#include "ui/CDSTDlg.h"

#include <QShortcut>
#include <QThread>

#include "desktop/HelpService.h"
#include "ui_CDSTDlg.h"

CDSTDlg::CDSTDlg(TimeZoneStore& zones, Prompts& prompts, Help& help, const TIME_ZONE_INFORMATION& startZone,
                 const std::string& startZoneName, QWidget* parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CDSTDlg>()),
      m_model(zones, prompts, startZone, startZoneName),
      m_help(help) {
    m_ui->setupUi(this);
    setFixedSize(size());
    m_fields = {m_ui->IDC_BIAS,
                m_ui->IDC_STANDARD_NAME,
                m_ui->IDC_STANDARD_MONTH,
                m_ui->IDC_STANDARD_WEEK,
                m_ui->IDC_STANDARD_WEEKDAY,
                m_ui->IDC_STANDARD_HOUR,
                m_ui->IDC_STANDARD_MINUTE,
                m_ui->IDC_STANDARD_BIAS,
                m_ui->IDC_DAYLIGHT_NAME,
                m_ui->IDC_DAYLIGHT_MONTH,
                m_ui->IDC_DAYLIGHT_WEEK,
                m_ui->IDC_DAYLIGHT_WEEKDAY,
                m_ui->IDC_DAYLIGHT_HOUR,
                m_ui->IDC_DAYLIGHT_MINUTE,
                m_ui->IDC_DAYLIGHT_BIAS};
    const DstFieldTexts texts = m_model.Texts();
    for (std::size_t i = 0; i < kDstFieldCount; ++i) {
        m_fields[i]->setText(QString::fromStdString(texts[i]));
        m_fields[i]->setCursorPosition(0);
    }

    connect(m_ui->IDOK, &QPushButton::clicked, this, &CDSTDlg::accept);
    connect(m_ui->IDCANCEL, &QPushButton::clicked, this, &CDSTDlg::reject);
    connect(m_ui->IDC_RESTORE_FIRST_START, &QPushButton::clicked, this, &CDSTDlg::OnRestoreFromFirstStart);
    connect(m_ui->IDC_HELP, &QPushButton::clicked, this, &CDSTDlg::OnHelp);
    auto* helpKey = new QShortcut(QKeySequence::HelpContents, this);
    connect(helpKey, &QShortcut::activated, this, &CDSTDlg::OnHelp);
}

CDSTDlg::~CDSTDlg() {
    // Only the program's end destroys a dialog that still waits; the change
    // then runs to its end before the model it uses goes.
    if (m_worker) {
        m_worker->wait();
    }
}

QLineEdit* CDSTDlg::Field(DstField field) const {
    return m_fields[static_cast<std::size_t>(field)];
}

void CDSTDlg::accept() {
    if (IsWaiting()) {
        return;
    }
    DstFieldTexts texts;
    for (std::size_t i = 0; i < kDstFieldCount; ++i) {
        texts[i] = m_fields[i]->text().toStdString();
    }
    const DstEditorModel::OkResult result = m_model.TakeOverForOk(texts);
    if (!result.close) {
        if (result.focus) {
            QLineEdit* field = Field(*result.focus);
            field->setFocus(Qt::OtherFocusReason);
            field->selectAll();
        }
        return;
    }
    if (!result.change) {
        QDialog::accept();
        return;
    }
    StartChange(*result.change);
}

void CDSTDlg::reject() {
    if (!IsWaiting()) {
        QDialog::reject();
    }
}

void CDSTDlg::OnRestoreFromFirstStart() {
    if (!IsWaiting()) {
        StartChange(m_model.RestoreChange());
    }
}

void CDSTDlg::StartChange(const DstZoneChange& change) {
    m_change = change;
    m_changeDone = false;
    for (QWidget* button : {static_cast<QWidget*>(m_ui->IDOK), static_cast<QWidget*>(m_ui->IDCANCEL),
                            static_cast<QWidget*>(m_ui->IDC_RESTORE_FIRST_START)}) {
        button->setEnabled(false);
    }
    m_ui->IDC_WAITING->setVisible(true);
    setCursor(Qt::BusyCursor);
    m_worker = QThread::create([this] { m_changeDone = m_model.Apply(m_change); });
    connect(m_worker, &QThread::finished, this, &CDSTDlg::OnChangeDone);
    m_worker->start();
}

void CDSTDlg::OnChangeDone() {
    m_worker->deleteLater();
    m_worker = nullptr;
    unsetCursor();
    m_ui->IDC_WAITING->setVisible(false);
    m_model.Finish(m_change, m_changeDone);
    QDialog::accept();
}

void CDSTDlg::OnHelp() {
    m_help.ShowHelp(HelpPage::DstDlg);
}
