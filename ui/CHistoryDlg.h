#pragma once

#include <QDialog>
#include <QList>
#include <QPointF>
#include <QStringList>
#include <memory>
#include <vector>

#include "core/AttemptRecorder.h"
#include "history/Drift.h"

class Help;
class HistoryRecorder;
class HistoryTableModel;
class Prompts;
class QAbstractSeries;
class QChart;
class QChartView;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTableView;

// "History": every recorded attempt drawn as the measured offset over time,
// one colour per server, failures in a band of their own below the offsets;
// the attempts in a sortable table; the estimated drift of this computer's
// clock; export to CSV. A window of its own beside the main window, not modal.
// It reads the records through the history's writer thread and reads them
// again whenever a new one has been stored, so it follows the runs while it is open.
class CHistoryDlg : public QDialog {
    Q_OBJECT
public:
    // Above this many points a server's series is thinned (per time slot the
    // lowest and the highest offset are kept), so that drawing stays quick.
    static constexpr int kMaxPointsPerSeries = 1600;
    // The label of the failures' band on the offset axis.
    static constexpr const char* kFailureBandLabel = "failed";

    CHistoryDlg(HistoryRecorder& recorder, Prompts& prompts, Help& help, QWidget* parent = nullptr);
    ~CHistoryDlg() override;

    // Reads the records again (at once when no read is under way, else after it).
    void Reload();

    // Writes every record shown to path as CSV; false when it could not be
    // written, with the system's reason in error.
    bool ExportCsv(const QString& path, QString* error = nullptr) const;
    // Exports to path and tells the user where it wrote, or why it could not.
    void ExportTo(const QString& path);

    // The labels of the time axis for records from first to last (ms since
    // the epoch): times of day within a day, dates across days, never one
    // text twice.
    static QStringList TimeAxisLabels(qint64 firstMs, qint64 lastMs);

    // What is on screen, for tests and the benchmark.
    const std::vector<AttemptRecord>& Records() const { return m_records; }
    int OffsetPointCount() const;
    int FailureMarkCount() const;
    int ServerSeriesCount() const;
    QString DriftText() const;
    QStringList TimeLabelsShown() const;
    QStringList OffsetLabelsShown() const;
    QList<QPointF> OffsetPoints() const;
    QList<QPointF> FailureMarks() const;
    // The count labels ("×N") drawn beside failures kept as one record.
    QStringList FailureCountLabels() const;
    const DriftEstimate& Drift() const { return m_drift; }

signals:
    // The records of a read are on screen.
    void RecordsShown();

private:
    // The points of the chart's line series that which picks.
    QList<QPointF> PointsOf(bool (*which)(const QAbstractSeries*)) const;
    void Show(std::vector<AttemptRecord> records);
    void RebuildChart();
    void OnExport();
    void ShowFailureTip(const QPointF& point, bool state);

    HistoryRecorder& m_recorder;
    Prompts& m_prompts;
    Help& m_help;
    std::vector<AttemptRecord> m_records;
    DriftEstimate m_drift;
    bool m_loading = false;
    bool m_loadAgain = false;

    QStackedWidget* m_pages = nullptr;
    QChart* m_chart = nullptr;
    QChartView* m_chartView = nullptr;
    QTableView* m_table = nullptr;
    HistoryTableModel* m_model = nullptr;
    QLabel* m_driftLabel = nullptr;
    QLabel* m_countLabel = nullptr;
    QPushButton* m_exportButton = nullptr;
};
