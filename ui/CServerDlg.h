#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "config/CRegArray.h"
#include "config/CServer.h"
#include "platform/Prompts.h"
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
//
// The tests run on a worker thread, one server at a time in list order, so the
// window stays live; each result comes back to this thread as it arrives.
// While they run, the button that started them reads "Stop" and stops them;
// closing the dialog stops them too.
class CServerDlg : public QDialog {
    Q_OBJECT
public:
    // Sets the synchronisation manager's current server from nStartingServ.
    using SetCurrentServer = std::function<void()>;

    CServerDlg(Settings& settings, Prompts& prompts, Help& help, ServerMeasure measure,
               SetCurrentServer setCurrentServer, QWidget* parent = nullptr);
    // Stops a test still running; waits a moment for it and otherwise leaves
    // the worker to finish on its own, without reaching this dialog.
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
    struct Run;
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
    std::shared_ptr<Run> m_run;
    std::thread m_worker;
    RunKind m_runKind = RunKind::TestOne;
    bool m_stopping = false;
    int m_successCount = 0;
};
