#include "ui/CServerDlg.h"

#include <QShortcut>
#include <QTreeWidget>
#include <utility>

#include "config/Settings.h"
#include "config/SiteDefaults.h"
#include "core/NtsCodec.h"
#include "desktop/HelpService.h"
#include "ui/CNewServerDlg.h"
#include "ui/MeasureRun.h"
#include "ui_CServerDlg.h"

namespace {

constexpr const char* kFailed = "Error. Check Internet Connection.";

}  // namespace

CServerDlg::CServerDlg(Settings& settings, Prompts& prompts, Help& help, ServerMeasure measure,
                       SetCurrentServer setCurrentServer, QWidget* parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CServerDlg>()),
      m_settings(settings),
      m_prompts(prompts),
      m_help(help),
      m_measure(std::move(measure)),
      m_setCurrentServer(std::move(setCurrentServer)) {
    m_ui->setupUi(this);
    setFixedSize(size());

    QTreeWidget* list = m_ui->IDC_SERVER_LIST;
    list->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Status"), QStringLiteral("Delay(sec.)")});
    list->setColumnWidth(0, 248);
    list->setColumnWidth(1, 70);
    list->setColumnWidth(2, 70);

    connect(list, &QTreeWidget::itemSelectionChanged, this, &CServerDlg::OnSelectionChanged);
    connect(m_ui->IDC_ADD_NEW, &QPushButton::clicked, this, &CServerDlg::OnAddNew);
    connect(m_ui->IDC_DELETE_SELECTED, &QPushButton::clicked, this, &CServerDlg::OnDeleteSelected);
    connect(m_ui->IDC_FIND_BEST, &QPushButton::clicked, this, &CServerDlg::OnFindBest);
    connect(m_ui->IDC_RESTORE_DEFAULT, &QPushButton::clicked, this, &CServerDlg::OnRestoreDefault);
    connect(m_ui->IDC_TEST, &QPushButton::clicked, this, &CServerDlg::OnTest);
    connect(m_ui->IDOK, &QPushButton::clicked, this, &CServerDlg::accept);
    connect(m_ui->IDCANCEL, &QPushButton::clicked, this, &CServerDlg::reject);
    auto* helpKey = new QShortcut(QKeySequence::HelpContents, this);
    connect(helpKey, &QShortcut::activated, this, &CServerDlg::OnHelp);

    // A list the administrator has locked is measured and chosen from, never changed.
    if (m_settings.IsLocked(SiteDefaults::kServers)) {
        for (QPushButton* button :
             {m_ui->IDC_ADD_NEW, m_ui->IDC_DELETE_SELECTED, m_ui->IDC_RESTORE_DEFAULT}) {
            button->setEnabled(false);
            button->setToolTip(QString::fromLatin1(SiteDefaults::kLockedTip));
        }
    }

    RefillList();
    m_selectedIndex = m_settings.nStartingServ;
    SelectRow(m_selectedIndex);
    m_reportText.clear();
    ShowCurrentServer();
    UpdateData();
}

CServerDlg::~CServerDlg() = default;

void CServerDlg::RefillList() {
    m_workingList.RemoveAll();
    m_workingList.Append(m_settings.servers);
    m_fillingList = true;
    QTreeWidget* list = m_ui->IDC_SERVER_LIST;
    list->clear();
    for (const CServer& server : m_workingList) {
        auto* row = new QTreeWidgetItem({QString::fromStdString(server.title),
                                         QString::fromStdString(server.KindText()),
                                         QString::fromStdString(server.DelayText())});
        // The column's short form; the whole figure on hover.
        if (server.delay != 0.0) {
            row->setToolTip(2, QString::asprintf("%.6f sec.", server.delay));
        }
        list->addTopLevelItem(row);
    }
    m_fillingList = false;
}

void CServerDlg::ShowCurrentServer() {
    if (m_selectedIndex >= 0 && static_cast<std::size_t>(m_selectedIndex) < m_workingList.GetSize()) {
        m_currentServerText = m_workingList[static_cast<std::size_t>(m_selectedIndex)].title;
    } else {
        m_currentServerText.clear();
    }
}

void CServerDlg::UpdateData() {
    m_ui->IDC_REPORT->setText(QString::fromStdString(m_reportText));
    m_ui->IDC_CURRENT_SERVER->setText(QString::fromStdString(m_currentServerText));
}

void CServerDlg::SelectRow(int row) {
    m_fillingList = true;
    QTreeWidget* list = m_ui->IDC_SERVER_LIST;
    if (QTreeWidgetItem* item = list->topLevelItem(row)) {
        list->setCurrentItem(item);
        list->scrollToItem(item);
    } else {
        list->clearSelection();
    }
    m_fillingList = false;
}

void CServerDlg::OnSelectionChanged() {
    if (m_fillingList) {
        return;
    }
    // Mouse and keyboard alike: the highlighted row is the one Delete and Test act on.
    const QList<QTreeWidgetItem*> selected = m_ui->IDC_SERVER_LIST->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    m_selectedIndex = m_ui->IDC_SERVER_LIST->indexOfTopLevelItem(selected.front());
    ShowCurrentServer();
    UpdateData();
}

void CServerDlg::OnAddNew() {
    CNewServerDlg addServer(m_settings, m_measure, this, &m_prompts);
    if (addServer.exec() == QDialog::Accepted) {
        RefillList();
        // The new server is the list's last row: it is chosen and shown.
        m_selectedIndex = static_cast<int>(m_workingList.GetSize()) - 1;
        SelectRow(m_selectedIndex);
        ShowCurrentServer();
        UpdateData();
    }
}

void CServerDlg::OnDeleteSelected() {
    const int count = static_cast<int>(m_workingList.GetSize());
    if (count <= 1) {
        m_prompts.Show(
            {"Tidewell", "At least one server must be present!", PromptIcon::None, PromptButtons::Ok});
        return;
    }
    if (m_selectedIndex < 0 || m_selectedIndex >= count) {
        return;
    }
    m_workingList.RemoveAt(static_cast<std::size_t>(m_selectedIndex));
    m_fillingList = true;
    delete m_ui->IDC_SERVER_LIST->takeTopLevelItem(m_selectedIndex);
    m_fillingList = false;
    if (m_selectedIndex > 0) {
        --m_selectedIndex;
    }
    SelectRow(m_selectedIndex);
    ShowCurrentServer();
    UpdateData();
}

void CServerDlg::OnRestoreDefault() {
    m_settings.RestoreDefaultServers();
    RefillList();
    m_selectedIndex = 0;
    // The field names the server OK would store.
    ShowCurrentServer();
    UpdateData();
}

void CServerDlg::OnTest() {
    if (m_run) {
        StopRun();
        return;
    }
    if (m_selectedIndex < 0 || static_cast<std::size_t>(m_selectedIndex) >= m_workingList.GetSize()) {
        return;
    }
    StartRun(RunKind::TestOne, {static_cast<std::size_t>(m_selectedIndex)});
}

void CServerDlg::OnFindBest() {
    if (m_run) {
        StopRun();
        return;
    }
    // With only authenticated time chosen, a plain server cannot be the best.
    const bool onlyNts = m_settings.bOnlyNts != 0;
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < m_workingList.GetSize(); ++i) {
        if (!onlyNts || IsNtsHost(m_workingList[i].host)) {
            indices.push_back(i);
        }
    }
    if (indices.empty()) {
        m_reportText = "Only authenticated time (NTS) is chosen, and the list holds no nts:// server.";
        UpdateData();
        return;
    }
    m_reportText = "Automatic testing...";
    UpdateData();
    m_successCount = 0;
    StartRun(RunKind::FindBest, std::move(indices));
}

void CServerDlg::OnHelp() {
    m_help.ShowHelp(HelpPage::Servers);
}

void CServerDlg::StartRun(RunKind kind, std::vector<std::size_t> indices) {
    std::vector<MeasureRun::Host> hosts;
    for (std::size_t index : indices) {
        hosts.push_back({index, m_workingList[index].title, m_workingList[index].host});
    }
    m_runKind = kind;
    m_stopping = false;
    m_results.assign(m_workingList.GetSize(), std::nullopt);
    m_asked.assign(m_workingList.GetSize(), false);
    for (std::size_t index : indices) {
        m_asked[index] = true;
    }
    m_nextToReport = 0;
    const std::size_t parallel = kind == RunKind::FindBest ? kMaxParallel : 1;
    m_run = std::make_unique<MeasureRun>(
        this, m_measure, std::move(hosts), parallel,
        [this](std::size_t index, double delaySeconds) { OnServerMeasured(index, delaySeconds); },
        [this] { OnRunEnded(); });
    SetRunning(true);
}

void CServerDlg::StopRun() {
    if (!m_run || m_stopping) {
        return;
    }
    m_stopping = true;
    m_run->Stop();
    // The worker ends at its next look at the request; until then nothing starts anew.
    (m_runKind == RunKind::FindBest ? m_ui->IDC_FIND_BEST : m_ui->IDC_TEST)->setEnabled(false);
}

void CServerDlg::SetRunning(bool running) {
    QPushButton* started = m_runKind == RunKind::FindBest ? m_ui->IDC_FIND_BEST : m_ui->IDC_TEST;
    QPushButton* other = m_runKind == RunKind::FindBest ? m_ui->IDC_TEST : m_ui->IDC_FIND_BEST;
    started->setText(running ? QStringLiteral("Sto&p")
                             : (m_runKind == RunKind::FindBest ? QStringLiteral("&Find the best")
                                                               : QStringLiteral("&Test")));
    started->setEnabled(true);
    other->setEnabled(!running);
    // Nothing may change the list or store it while results for its rows are due.
    m_ui->IDC_ADD_NEW->setEnabled(!running);
    m_ui->IDC_DELETE_SELECTED->setEnabled(!running);
    m_ui->IDC_RESTORE_DEFAULT->setEnabled(!running);
    m_ui->IDOK->setEnabled(!running);
    if (running) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
    }
}

void CServerDlg::OnServerMeasured(std::size_t index, double delaySeconds) {
    if (m_stopping || index >= m_workingList.GetSize()) {
        return;
    }
    if (m_runKind == RunKind::TestOne) {
        CServer& server = m_workingList[index];
        if (delaySeconds != 0.0) {
            m_reportText = "Net Delay: " + DelayFigure(delaySeconds) + NtsMark(server.host);
            server.delay = delaySeconds;
        } else {
            m_reportText = kFailed;
        }
        // The rows are not rebuilt: the list shows the new delay after a refill.
        UpdateData();
        m_ui->IDC_REPORT->repaint();
        return;
    }
    m_results[index] = delaySeconds;
    ReportInListOrder();
}

void CServerDlg::ReportInListOrder() {
    for (;;) {
        // Rows the run does not measure are passed over.
        while (m_nextToReport < m_results.size() && !m_asked[m_nextToReport]) {
            ++m_nextToReport;
        }
        if (m_nextToReport >= m_results.size() || !m_results[m_nextToReport].has_value()) {
            break;
        }
        CServer& server = m_workingList[m_nextToReport];
        const double delaySeconds = *m_results[m_nextToReport];
        server.delay = delaySeconds;
        m_reportText = server.title + "  || Delay: " + server.DelayText() + " sec.";
        if (delaySeconds != 0.0) {
            ++m_successCount;
        }
        ++m_nextToReport;
        // Every line is shown, also those released together by a slow server before them.
        UpdateData();
        m_ui->IDC_REPORT->repaint();
    }
}

void CServerDlg::OnRunEnded() {
    m_run.reset();
    const bool stopped = m_stopping;
    m_stopping = false;
    if (stopped) {
        m_reportText = "Testing stopped.";
        UpdateData();
    } else if (m_runKind == RunKind::FindBest) {
        FinishFindBest();
    }
    SetRunning(false);
    emit TestingFinished();
}

void CServerDlg::FinishFindBest() {
    double bestSeconds = 1000000.0;
    std::size_t bestIndex = 0;
    int count = 0;
    for (std::size_t i = 0; i < m_workingList.GetSize(); ++i) {
        if (i >= m_asked.size() || !m_asked[i]) {
            continue;
        }
        ++count;
        const double delay = m_workingList[i].delay;
        if (delay != 0.0 && delay < bestSeconds) {
            bestSeconds = delay;
            bestIndex = i;
        }
    }
    m_selectedIndex = static_cast<int>(bestIndex);
    if (m_successCount >= 1) {
        m_reportText =
            QString::asprintf("Tested success: %d, faild: %d, the best delay: %5.3f for %s", m_successCount,
                              count - m_successCount, bestSeconds, m_workingList[bestIndex].title.c_str())
                .toStdString();
    } else {
        m_reportText = kFailed;
    }
    m_settings.SetServers(m_workingList);
    RefillList();
    ShowCurrentServer();
    UpdateData();
}

void CServerDlg::accept() {
    if (m_run) {
        return;
    }
    m_settings.SetServers(m_workingList);
    m_settings.nStartingServ = m_selectedIndex;
    m_settings.SaveOptions();
    m_settings.SaveServers();
    if (m_setCurrentServer) {
        m_setCurrentServer();
    }
    QDialog::accept();
}

void CServerDlg::reject() {
    StopRun();
    QDialog::reject();
}
