#include "ui/CNewServerDlg.h"

#include <QApplication>

#include "config/Settings.h"
#include "ui_CNewServerDlg.h"

namespace {

void EraseAll(std::string& text, const std::string& pattern) {
    for (std::size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at)) {
        text.erase(at, pattern.size());
    }
}

}  // namespace

CNewServerDlg::CNewServerDlg(Settings& settings, ServerMeasure measure, QWidget* parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CNewServerDlg>()),
      m_settings(settings),
      m_measure(std::move(measure)) {
    m_ui->setupUi(this);
    setFixedSize(size());
    connect(m_ui->IDC_CHECK_SERVER, &QPushButton::clicked, this, &CNewServerDlg::OnCheckServer);
    connect(m_ui->IDOK, &QPushButton::clicked, this, &CNewServerDlg::accept);
    connect(m_ui->IDCANCEL, &QPushButton::clicked, this, &CNewServerDlg::reject);
    WriteFields();
}

CNewServerDlg::~CNewServerDlg() = default;

std::string CNewServerDlg::StripHttpPrefixes(std::string url) {
    EraseAll(url, "http://");
    EraseAll(url, "http:\\\\");
    return url;
}

void CNewServerDlg::ReadFields() {
    m_titleText = m_ui->IDC_TITLE->text().toStdString();
    m_urlText = m_ui->IDC_URL->text().toStdString();
    m_reportText = m_ui->IDC_REPORT->text().toStdString();
}

void CNewServerDlg::WriteFields() {
    m_ui->IDC_TITLE->setText(QString::fromStdString(m_titleText));
    m_ui->IDC_URL->setText(QString::fromStdString(m_urlText));
    m_ui->IDC_REPORT->setText(QString::fromStdString(m_reportText));
}

void CNewServerDlg::OnCheckServer() {
    ReadFields();
    m_urlText = StripHttpPrefixes(m_urlText);
    if (m_titleText.empty()) {
        m_titleText = "Undefined";
    }
    // The check waits for the server on this thread, up to the exchange's time-out.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const double delaySeconds = m_measure ? m_measure(m_titleText, m_urlText, {}) : 0.0;
    QApplication::restoreOverrideCursor();
    m_checkedDelay = delaySeconds;
    m_reportText = delaySeconds != 0.0 ? QString::asprintf("Net Delay: %5.3f", delaySeconds).toStdString()
                                       : std::string("Error. Check Internet Connection.");
    WriteFields();
}

void CNewServerDlg::accept() {
    ReadFields();
    m_urlText = StripHttpPrefixes(m_urlText);
    CServer server(m_titleText, m_urlText, 1);
    server.delay = m_checkedDelay;
    m_settings.servers.Add(server);
    QDialog::accept();
}
