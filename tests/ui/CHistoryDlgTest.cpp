#include "ui/CHistoryDlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableView>
#include <QTest>

#include "history/HistoryCsv.h"
#include "history/HistoryRecorder.h"
#include "tests/support/FakeHelp.h"
#include "tests/support/FakePrompts.h"
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

// A History window over recorder, shown, once it has shown what it read.
struct ShownWindow {
    explicit ShownWindow(HistoryRecorder& recorder) : window(recorder, prompts, help) {
        QSignalSpy shown(&window, &CHistoryDlg::RecordsShown);
        window.show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return shown.count() >= 1; }, 5000));
    }
    FakePrompts prompts;
    FakeHelp help;
    CHistoryDlg window;
};

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
        ShownWindow shownWindow(recorder);
        CHistoryDlg& window = shownWindow.window;
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
// value, not by text; the export writes what the window shows and says where,
// or why it could not.
TEST(CHistoryDlgTest, FollowsNewRecordsSortsByValueAndExports) {
    TempFolder folder;
    HistoryRecorder recorder(folder.Path() + "/history.sqlite");
    recorder.Record(Attempt(0, "a", AttemptOutcome::Success, 10.0));
    ShownWindow shownWindow(recorder);
    CHistoryDlg& window = shownWindow.window;
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
    const QString nowhere = QString::fromStdString(folder.Path() + "/no/such/folder/out.csv");
    EXPECT_FALSE(window.ExportCsv(nowhere));

    window.ExportTo(path);
    window.ExportTo(nowhere);
    const std::vector<PromptRequest> boxes = shownWindow.prompts.Shown();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].icon, PromptIcon::Information);
    EXPECT_EQ(boxes[0].text, "3 records of the history were exported to\n" + path.toStdString());
    EXPECT_EQ(boxes[1].icon, PromptIcon::Warning);
    EXPECT_EQ(boxes[1].text, "The history could not be exported to\n" + nowhere.toStdString() +
                                 "\n\nNo such file or directory");
}

// Times of day within a day (to the second over minutes), dates across days,
// the year too across years; never the same text twice along the axis.
TEST(CHistoryDlgTest, TheTimeAxisFitsItsSpan) {
    struct Row {
        const char* name;
        QDateTime first;
        QDateTime last;
        QStringList labels;
    };
    const QDate day(2026, 12, 8);
    const Row rows[] = {
        {"one attempt",
         QDateTime(day, QTime(17, 5, 30)),
         QDateTime(day, QTime(17, 5, 30)),
         {"17:05:00", "17:05:10", "17:05:20", "17:05:30", "17:05:40", "17:05:50", "17:06:00"}},
        {"minutes",
         QDateTime(day, QTime(17, 5, 12)),
         QDateTime(day, QTime(17, 30, 12)),
         {"17:05:00", "17:10:00", "17:15:00", "17:20:00", "17:25:00", "17:30:00", "17:35:00"}},
        {"hours",
         QDateTime(day, QTime(8, 10)),
         QDateTime(day, QTime(17, 5)),
         {"08:00", "10:00", "12:00", "14:00", "16:00", "18:00"}},
        {"days",
         QDateTime(QDate(2026, 12, 1), QTime(10, 0)),
         QDateTime(day, QTime(17, 0)),
         {"01 Dec", "03 Dec", "05 Dec", "07 Dec", "09 Dec"}},
        {"across years",
         QDateTime(QDate(2025, 11, 20), QTime(10, 0)),
         QDateTime(day, QTime(17, 0)),
         {"01 Nov 2025", "01 Jan 2026", "01 Mar 2026", "01 May 2026", "01 Jul 2026", "01 Sep 2026",
          "01 Nov 2026", "01 Jan 2027"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QStringList labels =
            CHistoryDlg::TimeAxisLabels(row.first.toMSecsSinceEpoch(), row.last.toMSecsSinceEpoch());
        EXPECT_EQ(labels, row.labels);
        EXPECT_EQ(QSet<QString>(labels.begin(), labels.end()).size(), labels.size());
    }
}

// Before the first attempt the window says what will appear; then the
// failures stand in a band of their own below the offsets, failures in a row
// with their number. F1 opens the window's help.
TEST(CHistoryDlgTest, FailuresStandApartWithTheirCountAndTheEmptyWindowSaysWhatWillAppear) {
    TempFolder folder;
    HistoryRecorder recorder(folder.Path() + "/history.sqlite");
    ShownWindow shownWindow(recorder);
    CHistoryDlg& window = shownWindow.window;
    auto* pages = window.findChild<QStackedWidget*>();
    ASSERT_NE(pages, nullptr);
    EXPECT_EQ(pages->currentWidget()->objectName(), "IDC_HISTORY_EMPTY");
    EXPECT_TRUE(static_cast<QLabel*>(pages->currentWidget())->text().startsWith("No synchronisation yet."));

    // A notice is no attempt: in the table only, and a chart of it alone is empty.
    AttemptRecord notice = Attempt(-60, "", AttemptOutcome::Failure, 0);
    notice.kind = AttemptKind::Notice;
    recorder.Record(notice);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.Records().size() == 1; }, 5000));
    EXPECT_EQ(window.FailureMarkCount(), 0);

    recorder.Record(Attempt(0, "a", AttemptOutcome::Success, 0.0004));
    recorder.Record(Attempt(60, "b", AttemptOutcome::Failure, 0));
    recorder.Record(Attempt(120, "a", AttemptOutcome::Success, -0.0003));
    for (int i = 0; i < 3; ++i) {
        recorder.Record(Attempt(180 + i, "b", AttemptOutcome::Failure, 0));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.Records().size() == 5; }, 5000));
    EXPECT_NE(pages->currentWidget()->objectName(), "IDC_HISTORY_EMPTY");
    EXPECT_EQ(window.OffsetPointCount(), 2);
    EXPECT_EQ(window.FailureMarkCount(), 2);
    EXPECT_EQ(window.FailureCountLabels(), QStringList{"\u00d73"});
    EXPECT_EQ(window.OffsetLabelsShown().front(), CHistoryDlg::kFailureBandLabel);
    for (const QPointF& mark : window.FailureMarks()) {
        EXPECT_LT(mark.y(), -0.0003 - 0.0001) << "below every offset, not on the zero line";
    }

    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_F1);
    EXPECT_EQ(shownWindow.help.Pages(), std::vector<HelpPage>{HelpPage::History});
}
