#include "ui/CDSTDlg.h"

#include <QShortcut>

#include "ui/HelpService.h"
#include "ui_CDSTDlg.h"

CDSTDlg::CDSTDlg(TimeZoneStore& zones, Prompts& prompts, Help& help, const TIME_ZONE_INFORMATION& startZone,
                 QWidget* parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CDSTDlg>()),
      m_model(zones, prompts, startZone),
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

CDSTDlg::~CDSTDlg() = default;

QLineEdit* CDSTDlg::Field(DstField field) const {
    return m_fields[static_cast<std::size_t>(field)];
}

void CDSTDlg::accept() {
    DstFieldTexts texts;
    for (std::size_t i = 0; i < kDstFieldCount; ++i) {
        texts[i] = m_fields[i]->text().toStdString();
    }
    const DstEditorModel::OkResult result = m_model.Ok(texts);
    if (!result.close) {
        if (result.focus) {
            QLineEdit* field = Field(*result.focus);
            field->setFocus(Qt::OtherFocusReason);
            field->selectAll();
        }
        return;
    }
    QDialog::accept();
}

void CDSTDlg::OnRestoreFromFirstStart() {
    m_model.RestoreFromFirstStart();
    QDialog::accept();
}

void CDSTDlg::OnHelp() {
    m_help.ShowHelp(HelpPage::DstDlg);
}
