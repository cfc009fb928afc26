#pragma once

#include <QDialog>
#include <array>
#include <memory>
#include <string>

#include "timezone/DstEditorModel.h"

class Help;
class QLineEdit;
class QThread;

namespace Ui {
class CDSTDlg;
}

// "DST (daylight saving time)": rewrites the daylight-saving rules of the
// system's zone, or puts back the zone of the first start. The system's zone
// is read when the dialog is built (a zone that cannot be read is reported
// then, and the fields start at 0).
//
// Changing the zone may wait for an administrator's password: it runs on a
// thread of its own while the window says it is waiting, refuses a second
// change and cannot be closed; the dialog closes when the change is done.
class CDSTDlg : public QDialog {
    Q_OBJECT
public:
    CDSTDlg(TimeZoneStore& zones, Prompts& prompts, Help& help, const TIME_ZONE_INFORMATION& startZone,
            const std::string& startZoneName = {}, QWidget* parent = nullptr);
    ~CDSTDlg() override;

    // Takes the fields over and applies the rules; stays open on a refused field.
    void accept() override;
    // Closes without a change, except while one is being made.
    void reject() override;

    bool IsWaiting() const { return m_worker != nullptr; }

private:
    void OnRestoreFromFirstStart();
    void OnHelp();
    void StartChange(const DstZoneChange& change);
    void OnChangeDone();
    QLineEdit* Field(DstField field) const;

    std::unique_ptr<Ui::CDSTDlg> m_ui;
    DstEditorModel m_model;
    Help& m_help;
    std::array<QLineEdit*, kDstFieldCount> m_fields{};
    QThread* m_worker = nullptr;
    DstZoneChange m_change;
    bool m_changeDone = false;  // written by the worker, read once it has finished
};
