#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "core/AttemptRecorder.h"
#include "history/Drift.h"

class HistoryRecorder;
class HistoryTableModel;
class QChart;
class QChartView;
class QLabel;
class QPushButton;
class QTableView;

// "History": every recorded attempt drawn as the measured offset over time,
// one colour per server, failures marked on the zero line; the attempts in a
// sortable table; the estimated drift of this computer's clock; export to
// CSV. A window of its own beside the main window, not modal. It reads the
// records through the history's writer thread and reads them again whenever
// a new one has been stored, so it follows the runs while it is open.
class CHistoryDlg : public QDialog {
    Q_OBJECT
public:
    // Above this many points a server's series is thinned (per time slot the
    // lowest and the highest offset are kept), so that drawing stays quick.
    static constexpr int kMaxPointsPerSeries = 1600;

    explicit CHistoryDlg(HistoryRecorder& recorder, QWidget* parent = nullptr);
    ~CHistoryDlg() override;

    // Reads the records again (at once when no read is under way, else after it).
    void Reload();

    // Writes every record shown to path as CSV; false when it could not be written.
    bool ExportCsv(const QString& path) const;

    // What is on screen, for tests and the benchmark.
    const std::vector<AttemptRecord>& Records() const { return m_records; }
    int OffsetPointCount() const;
    int FailureMarkCount() const;
    int ServerSeriesCount() const;
    QString DriftText() const;
    const DriftEstimate& Drift() const { return m_drift; }

signals:
    // The records of a read are on screen.
    void RecordsShown();

private:
    void Show(std::vector<AttemptRecord> records);
    void RebuildChart();
    void OnExport();

    HistoryRecorder& m_recorder;
    std::vector<AttemptRecord> m_records;
    DriftEstimate m_drift;
    bool m_loading = false;
    bool m_loadAgain = false;

    QChart* m_chart = nullptr;
    QChartView* m_chartView = nullptr;
    QTableView* m_table = nullptr;
    HistoryTableModel* m_model = nullptr;
    QLabel* m_driftLabel = nullptr;
    QLabel* m_countLabel = nullptr;
    QPushButton* m_exportButton = nullptr;
};
