#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/CRegArray.h"
#include "config/CServer.h"
#include "platform/Prompts.h"
#include "ui/MeasureRun.h"
#include "ui/ServerMeasure.h"

class Help;
class Settings;

namespace Ui {
class CServerDlg;
}

// "Time Server Choosing": the server list with each server's origin and last
// delay; tests one server or all of them ("Find the best"), adds, deletes and
// restores servers and chooses the one runs start with. It works on a copy of
// Settings::servers: OK stores that copy and the choice and tells the
// synchronisation manager; Cancel stores nothing (what "Find the best",
// "Restore default" and "Add New" put into Settings stays there in memory).
// A list the administrator has locked cannot be added to, deleted from or
// restored; testing its servers and choosing the starting one stay.
//
// The tests run off this thread, so the window stays live. "Find the best"
// asks all servers at once (at most kMaxParallel at a time) and reports them
// in list order, each as soon as it and every server before it have answered
// or failed. While a test runs, the button that started it reads "Stop" and
// stops it at once; closing the dialog stops it too.
class CServerDlg : public QDialog {
    Q_OBJECT
public:
    // Sets the synchronisation manager's current server from nStartingServ.
    using SetCurrentServer = std::function<void()>;

    // Servers asked at the same time by "Find the best": the built-in list fits in one round.
    static constexpr std::size_t kMaxParallel = 32;

    CServerDlg(Settings& settings, Prompts& prompts, Help& help, ServerMeasure measure,
               SetCurrentServer setCurrentServer, QWidget* parent = nullptr);
    // Stops a test still running; see MeasureRun for how long it waits.
    ~CServerDlg() override;

    int SelectedIndex() const { return m_selectedIndex; }
    const CRegArray<CServer>& WorkingList() const { return m_workingList; }
    bool Testing() const { return m_run != nullptr; }

    void accept() override;
    void reject() override;

signals:
    // A "Test" or "Find the best" has ended, finished or stopped, and its
    // outcome is on screen.
    void TestingFinished();

private:
    enum class RunKind { TestOne, FindBest };

    void RefillList();
    void ShowCurrentServer();
    void UpdateData();
    void SelectRow(int row);
    void OnSelectionChanged();
    void OnAddNew();
    void OnDeleteSelected();
    void OnFindBest();
    void OnRestoreDefault();
    void OnTest();
    void OnHelp();

    void StartRun(RunKind kind, std::vector<std::size_t> indices);
    void StopRun();
    void SetRunning(bool running);
    void OnServerMeasured(std::size_t index, double delaySeconds);
    void ReportInListOrder();
    void OnRunEnded();
    void FinishFindBest();

    std::unique_ptr<Ui::CServerDlg> m_ui;
    Settings& m_settings;
    Prompts& m_prompts;
    Help& m_help;
    ServerMeasure m_measure;
    SetCurrentServer m_setCurrentServer;

    CRegArray<CServer> m_workingList{"", ""};
    std::string m_reportText;
    std::string m_currentServerText;
    int m_selectedIndex = 0;
    bool m_fillingList = false;  // selection changes made by the dialog itself

    // The test under way, if any.
    std::unique_ptr<MeasureRun> m_run;
    RunKind m_runKind = RunKind::TestOne;
    // "Find the best": each server's result once it has come, and the first not yet reported.
    std::vector<std::optional<double>> m_results;
    std::size_t m_nextToReport = 0;
    bool m_stopping = false;
    int m_successCount = 0;
    std::vector<bool> m_asked;  // per row of the list: measured by the current run
};
