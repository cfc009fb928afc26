#pragma once

#include <QDialog>
#include <array>
#include <memory>

#include "timezone/DstEditorModel.h"

class Help;
class QLineEdit;

namespace Ui {
class CDSTDlg;
}

// "DST (daylight saving time)": rewrites the daylight-saving rules of the
// system's zone, or puts back the zone of the first start. The system's zone
// is read when the dialog is built (a zone that cannot be read is reported
// then, and the fields start at 0).
class CDSTDlg : public QDialog {
    Q_OBJECT
public:
    CDSTDlg(TimeZoneStore& zones, Prompts& prompts, Help& help, const TIME_ZONE_INFORMATION& startZone,
            QWidget* parent = nullptr);
    ~CDSTDlg() override;

    // Takes the fields over and applies the rules; stays open on a refused field.
    void accept() override;

private:
    void OnRestoreFromFirstStart();
    void OnHelp();
    QLineEdit* Field(DstField field) const;

    std::unique_ptr<Ui::CDSTDlg> m_ui;
    DstEditorModel m_model;
    Help& m_help;
    std::array<QLineEdit*, kDstFieldCount> m_fields{};
};
