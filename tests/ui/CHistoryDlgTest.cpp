#include "ui/CHistoryDlg.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include "history/HistoryCsv.h"
#include "history/HistoryRecorder.h"
#include "tests/support/TempFolder.h"

namespace {

AttemptRecord Attempt(int second, const std::string& host, AttemptOutcome outcome, double offset) {
    AttemptRecord r;
    r.timeUtc = {1796565930 + second, 0};
    r.serverTitle = "Title " + host;
    r.serverHost = host;
    r.outcome = outcome;
    r.cause = outcome == AttemptOutcome::Failure ? FailureCause::Server : FailureCause::None;
    if (outcome == AttemptOutcome::Success) {
        r.offsetSeconds = offset;
        r.delaySeconds = 0.01;
        r.correctionSeconds = offset;
    }
    return r;
}

// The window once it has shown the records it read.
void WaitShown(QSignalSpy& shown) {
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown.count() >= 1; }, 5000));
}

}  // namespace

// One point per measured offset, in one series per server; one mark per
// failure record (failures in a row are one) or stopped run; one table row per
// record. A long history is thinned for the chart, never for the table.
TEST(CHistoryDlgTest, ShowsEveryAttemptAsAPointARowAndTheDrift) {
    struct Row {
        const char* name;
        int successes;  // shared out between the servers
        int servers;
        int failures;
        int points;
        QString drift;
        double offsetSign = 1;  // -1: alternating signs
    };
    const Row rows[] = {
        {"empty", 0, 0, 0, 0, "Drift of this clock: not enough data"},
        // 1.2 ms gained every minute: 20 ppm fast.
        {"two servers and failures", 7, 2, 3, 7,
         "Drift of this clock: 20.00 \u00b1 0.00 ppm (runs fast, from 6 measurements)"},
        // Per time slot the lowest and the highest offset stay.
        {"thinned", 4500, 1, 0, CHistoryDlg::kMaxPointsPerSeries, "", -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        HistoryRecorder recorder(folder.Path() + "/history.sqlite");
        for (int i = 0; i < row.successes; ++i) {
            const double sign = row.offsetSign < 0 && i % 2 == 1 ? -1 : 1;
            recorder.Record(Attempt(i * 60, "host" + std::to_string(i % row.servers), AttemptOutcome::Success,
                                    sign * -0.0012));
            if (i % 500 == 499) {
                recorder.Flush();  // the queue holds a burst of 1000
            }
        }
        for (int i = 0; i < row.failures; ++i) {
            recorder.Record(Attempt(100000 + i, "host0", AttemptOutcome::Failure, 0));
        }
        CHistoryDlg window(recorder);
        QSignalSpy shown(&window, &CHistoryDlg::RecordsShown);
        WaitShown(shown);
        const int failureRecords = row.failures > 0 ? 1 : 0;
        EXPECT_EQ(window.Records().size(), static_cast<size_t>(row.successes + failureRecords));
        const QAbstractItemModel* model = window.findChild<QTableView*>("IDC_HISTORY_TABLE")->model();
        EXPECT_EQ(model->rowCount(), row.successes + failureRecords);
        if (row.failures > 0) {  // the newest row, on top
            EXPECT_EQ(model->index(0, 4).data().toString(), QString("failure \u00d7%1").arg(row.failures));
            EXPECT_EQ(model->index(0, 10).data().toString(), "the server did not answer usably");
        }
        EXPECT_EQ(window.OffsetPointCount(), row.points);
        EXPECT_EQ(window.FailureMarkCount(), failureRecords);
        EXPECT_EQ(window.ServerSeriesCount(), row.servers);
        if (!row.drift.isEmpty()) {
            EXPECT_EQ(window.DriftText(), row.drift);
        }
    }
}

// A record stored while the window is open appears; the table sorts by
// value, not by text; the export writes what the window shows.
TEST(CHistoryDlgTest, FollowsNewRecordsSortsByValueAndExports) {
    TempFolder folder;
    HistoryRecorder recorder(folder.Path() + "/history.sqlite");
    recorder.Record(Attempt(0, "a", AttemptOutcome::Success, 10.0));
    CHistoryDlg window(recorder);
    window.show();
    QSignalSpy shown(&window, &CHistoryDlg::RecordsShown);
    WaitShown(shown);
    recorder.Record(Attempt(60, "a", AttemptOutcome::Success, 9.0));
    recorder.Record(Attempt(120, "a", AttemptOutcome::Success, -2.0));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.Records().size() == 3; }, 5000));
    EXPECT_EQ(window.OffsetPointCount(), 3);

    auto* table = window.findChild<QTableView*>("IDC_HISTORY_TABLE");
    table->sortByColumn(5, Qt::AscendingOrder);  // Offset
    const QAbstractItemModel* model = table->model();
    EXPECT_EQ(model->headerData(5, Qt::Horizontal).toString(), "Offset (s)");
    EXPECT_EQ(model->index(0, 5).data().toString(), "-2.000000");
    EXPECT_EQ(model->index(2, 5).data().toString(), "10.000000");

    const QString path = QString::fromStdString(folder.Path() + "/out.csv");
    ASSERT_TRUE(window.ExportCsv(path));
    EXPECT_EQ(TempFolder::ReadFile(path.toStdString()), HistoryCsv(window.Records()));
    EXPECT_FALSE(window.ExportCsv(QString::fromStdString(folder.Path() + "/no/such/folder/out.csv")));
}
