#include "ui/CServerDlg.h"

#include <QShortcut>
#include <QTreeWidget>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "config/Settings.h"
#include "ui/CNewServerDlg.h"
#include "ui/HelpService.h"
#include "ui_CServerDlg.h"

namespace {

constexpr const char* kFailed = "Error. Check Internet Connection.";
// How long a closing dialog waits for a stopped test before leaving it to end alone.
constexpr std::chrono::seconds kStopWait{2};

}  // namespace

// One "Test" or "Find the best" under way, shared by the dialog and its worker.
// The worker outlives the dialog when its measurement does not return at once:
// it then reaches nothing but this.
struct CServerDlg::Run {
    std::mutex mutex;
    CServerDlg* receiver = nullptr;  // null once the dialog has gone
    bool finished = false;           // the worker will touch nothing more
    std::condition_variable finishedChanged;
    std::stop_source stop;

    // On the worker: queues a call for the dialog's thread, unless the dialog has gone.
    template <class F>
    void Post(F call) {
        std::lock_guard lock(mutex);
        if (receiver != nullptr) {
            CServerDlg* dialog = receiver;
            QMetaObject::invokeMethod(
                dialog, [dialog, call = std::move(call)] { call(*dialog); }, Qt::QueuedConnection);
        }
    }

    static void Work(std::shared_ptr<Run> run, ServerMeasure measure,
                     std::vector<std::pair<std::size_t, CServer>> servers) {
        const std::stop_token stop = run->stop.get_token();
        for (const auto& [index, server] : servers) {
            if (stop.stop_requested()) {
                break;
            }
            const double delaySeconds = measure(server.title, server.host, stop);
            if (stop.stop_requested()) {
                break;
            }
            run->Post(
                [index, delaySeconds](CServerDlg& dialog) { dialog.OnServerMeasured(index, delaySeconds); });
        }
        run->Post([](CServerDlg& dialog) { dialog.OnRunEnded(); });
        {
            std::lock_guard lock(run->mutex);
            run->finished = true;
        }
        run->finishedChanged.notify_all();
    }
};

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

    RefillList();
    m_selectedIndex = m_settings.nStartingServ;
    SelectRow(m_selectedIndex);
    m_reportText.clear();
    ShowCurrentServer();
    UpdateData();
}

CServerDlg::~CServerDlg() {
    if (!m_run) {
        return;
    }
    std::unique_lock lock(m_run->mutex);
    m_run->receiver = nullptr;
    m_run->stop.request_stop();
    const bool finished =
        m_run->finishedChanged.wait_for(lock, kStopWait, [this] { return m_run->finished; });
    lock.unlock();
    if (finished) {
        m_worker.join();
    } else {
        // A measurement that does not heed the stop (a box waiting for this
        // thread, a slow network) ends on its own and reaches only the Run.
        m_worker.detach();
    }
}

void CServerDlg::RefillList() {
    m_workingList.RemoveAll();
    m_workingList.Append(m_settings.servers);
    m_fillingList = true;
    QTreeWidget* list = m_ui->IDC_SERVER_LIST;
    list->clear();
    for (const CServer& server : m_workingList) {
        list->addTopLevelItem(new QTreeWidgetItem({QString::fromStdString(server.title),
                                                   QString::fromStdString(server.KindText()),
                                                   QString::fromStdString(server.DelayText())}));
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
    CNewServerDlg addServer(m_settings, m_measure, this);
    if (addServer.exec() == QDialog::Accepted) {
        RefillList();
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
    m_reportText = "Automatic testing...";
    UpdateData();
    m_successCount = 0;
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < m_workingList.GetSize(); ++i) {
        indices.push_back(i);
    }
    StartRun(RunKind::FindBest, std::move(indices));
}

void CServerDlg::OnHelp() {
    m_help.ShowHelp(HelpPage::Servers);
}

void CServerDlg::StartRun(RunKind kind, std::vector<std::size_t> indices) {
    std::vector<std::pair<std::size_t, CServer>> hosts;
    for (std::size_t index : indices) {
        hosts.emplace_back(index, m_workingList[index]);
    }
    m_run = std::make_shared<Run>();
    m_run->receiver = this;
    m_runKind = kind;
    m_stopping = false;
    const ServerMeasure measure =
        m_measure
            ? m_measure
            : ServerMeasure([](const std::string&, const std::string&, std::stop_token) { return 0.0; });
    m_worker = std::thread(&Run::Work, m_run, measure, std::move(hosts));
    SetRunning(true);
}

void CServerDlg::StopRun() {
    if (!m_run || m_stopping) {
        return;
    }
    m_stopping = true;
    m_run->stop.request_stop();
    // The worker ends at its next look at the request; until then nothing starts anew.
    (m_runKind == RunKind::FindBest ? m_ui->IDC_FIND_BEST : m_ui->IDC_TEST)->setEnabled(false);
}

void CServerDlg::SetRunning(bool running) {
    QPushButton* started = m_runKind == RunKind::FindBest ? m_ui->IDC_FIND_BEST : m_ui->IDC_TEST;
    QPushButton* other = m_runKind == RunKind::FindBest ? m_ui->IDC_TEST : m_ui->IDC_FIND_BEST;
    started->setText(running ? QStringLiteral("Stop")
                             : (m_runKind == RunKind::FindBest ? QStringLiteral("Find the best")
                                                               : QStringLiteral("Test")));
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
    CServer& server = m_workingList[index];
    if (m_runKind == RunKind::TestOne) {
        if (delaySeconds != 0.0) {
            m_reportText = QString::asprintf("Net Delay: %5.3f", delaySeconds).toStdString();
            server.delay = delaySeconds;
        } else {
            m_reportText = kFailed;
        }
        // The rows are not rebuilt: the list shows the new delay after a refill.
    } else {
        server.delay = delaySeconds;
        m_reportText = server.title + "  || Delay: " + server.DelayText() + " sec.";
        if (delaySeconds != 0.0) {
            ++m_successCount;
        }
    }
    UpdateData();
    m_ui->IDC_REPORT->repaint();
}

void CServerDlg::OnRunEnded() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
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
    for (std::size_t i = 0; i < m_workingList.GetSize(); ++i) {
        const double delay = m_workingList[i].delay;
        if (delay != 0.0 && delay < bestSeconds) {
            bestSeconds = delay;
            bestIndex = i;
        }
    }
    m_selectedIndex = static_cast<int>(bestIndex);
    const int count = static_cast<int>(m_workingList.GetSize());
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
