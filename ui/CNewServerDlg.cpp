#include "ui/CNewServerDlg.h"

#include <algorithm>

#include "config/Settings.h"
#include "core/NtsCodec.h"
#include "platform/Prompts.h"
#include "ui_CNewServerDlg.h"

namespace {

constexpr const char* kFailed = "Error. Check Internet Connection.";
constexpr const char* kOfferOnlyNts =
    "This is the first NTS server of the list.\n"
    "Synchronize only with NTS servers from now on (\"Only authenticated time (NTS)\" in the Options)?\n"
    "Without it, when the NTS servers fail, the clock may be set from a server without NTS.";

void EraseAll(std::string& text, const std::string& pattern) {
    for (std::size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at)) {
        text.erase(at, pattern.size());
    }
}

}  // namespace

CNewServerDlg::CNewServerDlg(Settings& settings, ServerMeasure measure, QWidget* parent, Prompts* prompts)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CNewServerDlg>()),
      m_settings(settings),
      m_prompts(prompts),
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
    if (m_run) {
        m_run->Stop();
        // Until the check has let go, nothing starts anew.
        m_ui->IDC_CHECK_SERVER->setEnabled(false);
        return;
    }
    ReadFields();
    m_urlText = StripHttpPrefixes(m_urlText);
    if (m_titleText.empty()) {
        m_titleText = "Undefined";
    }
    WriteFields();
    m_run = std::make_unique<MeasureRun>(
        this, m_measure, std::vector<MeasureRun::Host>{{0, m_titleText, m_urlText}}, 1,
        [this](std::size_t, double delaySeconds) { OnCheckResult(delaySeconds); },
        [this] { OnCheckEnded(); });
    SetChecking(true);
}

void CNewServerDlg::OnCheckResult(double delaySeconds) {
    m_checkedDelay = delaySeconds;
    m_reportText = delaySeconds != 0.0 ? "Net Delay: " + DelayFigure(delaySeconds) + NtsMark(m_urlText)
                                       : std::string(kFailed);
    m_ui->IDC_REPORT->setText(QString::fromStdString(m_reportText));
}

void CNewServerDlg::OnCheckEnded() {
    const bool stopped = m_run->StopRequested();
    m_run.reset();
    if (stopped) {
        m_reportText = "Testing stopped.";
        m_ui->IDC_REPORT->setText(QString::fromStdString(m_reportText));
    }
    SetChecking(false);
    emit CheckFinished();
}

void CNewServerDlg::SetChecking(bool checking) {
    m_ui->IDC_CHECK_SERVER->setText(checking ? QStringLiteral("Sto&p") : QStringLiteral("Check &Server"));
    m_ui->IDC_CHECK_SERVER->setEnabled(true);
    // The fields and the delay that "Add" would take must match the check.
    m_ui->IDC_TITLE->setReadOnly(checking);
    m_ui->IDC_URL->setReadOnly(checking);
    m_ui->IDOK->setEnabled(!checking);
    if (checking) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
    }
}

void CNewServerDlg::accept() {
    if (m_run) {
        return;
    }
    ReadFields();
    m_urlText = StripHttpPrefixes(m_urlText);
    CServer server(m_titleText, m_urlText, 1);
    server.delay = m_checkedDelay;
    const bool firstNts =
        IsNtsHost(m_urlText) && std::none_of(m_settings.servers.begin(), m_settings.servers.end(),
                                             [](const CServer& s) { return IsNtsHost(s.host); });
    m_settings.servers.Add(server);
    if (firstNts && m_settings.bOnlyNts == 0 && !m_settings.IsLocked(OptionRanges::kOnlyNts.name) &&
        m_prompts != nullptr &&
        m_prompts->Show({"Tidewell", kOfferOnlyNts, PromptIcon::Question, PromptButtons::YesNo}) ==
            PromptAnswer::Yes) {
        m_settings.bOnlyNts = 1;
    }
    QDialog::accept();
}

void CNewServerDlg::reject() {
    if (m_run) {
        m_run->Stop();
    }
    QDialog::reject();
}
