#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "ui/MeasureRun.h"
#include "ui/ServerMeasure.h"

class Prompts;
class Settings;

namespace Ui {
class CNewServerDlg;
}

// "Add New Server": a title and a host of the user's own, checked on request
// ("Check Server") and appended to the server list in memory ("Add"). Storing
// the list is left to the server chooser's OK.
//
// The check runs off this thread; meanwhile its button reads "Stop" and stops
// it at once, and "Add" waits for it. Closing the dialog stops it too.
//
// Adding the list's first "nts://" server while "Only authenticated time
// (NTS)" is off offers to turn it on (with prompts given); the answer is set
// in memory, and stored with the list by the server chooser's OK.
class CNewServerDlg : public QDialog {
    Q_OBJECT
public:
    CNewServerDlg(Settings& settings, ServerMeasure measure, QWidget* parent = nullptr,
                  Prompts* prompts = nullptr);
    ~CNewServerDlg() override;

    // Removes every "http://", then every "http:\\", wherever they stand; case matters.
    static std::string StripHttpPrefixes(std::string url);

    // Seconds measured by the last check; 0.0 before any and after a failed one.
    double CheckedDelay() const { return m_checkedDelay; }

    bool Checking() const { return m_run != nullptr; }

    // "Add": appends the server as a user's server with the last check's delay, unchecked.
    void accept() override;
    void reject() override;

signals:
    // A check has ended, finished or stopped, and its outcome is on screen.
    void CheckFinished();

private:
    void OnCheckServer();
    void OnCheckResult(double delaySeconds);
    void OnCheckEnded();
    void SetChecking(bool checking);
    void ReadFields();
    void WriteFields();

    std::unique_ptr<Ui::CNewServerDlg> m_ui;
    Settings& m_settings;
    Prompts* m_prompts;
    ServerMeasure m_measure;
    std::string m_reportText;
    std::string m_titleText;
    std::string m_urlText;
    double m_checkedDelay = 0.0;
    std::unique_ptr<MeasureRun> m_run;
};
