#include "ui/CHistoryDlg.h"

#include <QAbstractTableModel>
#include <QAreaSeries>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableView>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "desktop/HelpService.h"
#include "history/HistoryCsv.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"
#include "platform/Prompts.h"

namespace {

// Distinct colours for the servers, in the order they first appear.
const QColor kServerColours[] = {
    QColor(0x1f, 0x77, 0xb4), QColor(0x2c, 0xa0, 0x2c), QColor(0xff, 0x7f, 0x0e), QColor(0x94, 0x67, 0xbd),
    QColor(0x8c, 0x56, 0x4b), QColor(0xe3, 0x77, 0xc2), QColor(0x17, 0xbe, 0xcf), QColor(0xbc, 0xbd, 0x22),
    QColor(0x7f, 0x7f, 0x7f), QColor(0x39, 0x3b, 0x79), QColor(0x63, 0x79, 0x39), QColor(0x84, 0x3c, 0x39),
};
const QColor kFailureColour(0xd6, 0x27, 0x28);

qint64 MillisecondsOf(const ClockTime& t) {
    return t.seconds * 1000 + t.nanoseconds / 1000000;
}

QString SecondsText(const std::optional<double>& value) {
    return value ? QString::number(*value, 'f', 6) : QString();
}

QString LocalTimeText(const ClockTime& t) {
    return QDateTime::fromMSecsSinceEpoch(MillisecondsOf(t)).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// "failure ×12" for failures in a row kept as one record.
QString OutcomeText(const AttemptRecord& r) {
    const QString name = QString::fromLatin1(AttemptOutcomeName(r.outcome));
    return r.count > 1 ? name + QStringLiteral(" \u00d7%1").arg(r.count) : name;
}

// The status, and why the attempt failed where that is known.
QString StatusText(const AttemptRecord& r) {
    const QString status = QString::fromStdString(r.statusText);
    const QString cause = QString::fromLatin1(FailureCauseText(r.cause));
    if (r.outcome == AttemptOutcome::Success || cause.isEmpty()) {
        return r.confirmedBy.empty() ? status
                                     : status + QStringLiteral(" (confirmed by ") +
                                           QString::fromStdString(r.confirmedBy) + QLatin1Char(')');
    }
    return status.isEmpty() ? cause : status + QStringLiteral(" (") + cause + QLatin1Char(')');
}

QString FoldedText(const AttemptRecord& r) {
    if (r.count <= 1) {
        return {};
    }
    return QStringLiteral("%1 failures in a row, from %2 to %3")
        .arg(r.count)
        .arg(LocalTimeText(r.firstTimeUtc.value_or(r.timeUtc)), LocalTimeText(r.timeUtc));
}

// A marker painted straight onto the chart, far lighter than one item per point.
QImage Marker(const QColor& colour, bool cross) {
    QImage image(9, 9, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    if (cross) {
        painter.setPen(QPen(colour, 2));
        painter.drawLine(1, 1, 7, 7);
        painter.drawLine(1, 7, 7, 1);
    } else {
        painter.setPen(colour.darker(130));
        painter.setBrush(colour);
        painter.drawEllipse(1, 1, 6, 6);
    }
    return image;
}

// At most maxPoints of points, ordered by x: per slot of time the lowest and
// the highest value, so that no excursion disappears.
QList<QPointF> Thinned(const QList<QPointF>& points, int maxPoints) {
    if (points.size() <= maxPoints) {
        return points;
    }
    const int slotCount = maxPoints / 2;
    const double first = points.front().x();
    const double span = std::max(points.back().x() - first, 1.0);
    QList<QPointF> kept;
    kept.reserve(maxPoints);
    int i = 0;
    for (int slot = 0; slot < slotCount && i < points.size(); ++slot) {
        const double end = first + span * (slot + 1) / slotCount;
        const QPointF* low = nullptr;
        const QPointF* high = nullptr;
        for (; i < points.size() && (points[i].x() <= end || slot == slotCount - 1); ++i) {
            if (low == nullptr || points[i].y() < low->y()) {
                low = &points[i];
            }
            if (high == nullptr || points[i].y() > high->y()) {
                high = &points[i];
            }
        }
        if (low != nullptr) {
            kept.push_back(low->x() <= high->x() ? *low : *high);
            if (low != high) {
                kept.push_back(low->x() <= high->x() ? *high : *low);
            }
        }
    }
    return kept;
}

// Points only, no line between them: the offsets are single measurements.
void Dots(QLineSeries* series, const QColor& colour, bool cross) {
    // No line, but the pen keeps the colour: the legend takes it from there.
    QPen pen(colour);
    pen.setStyle(Qt::NoPen);
    series->setPen(pen);
    series->setPointsVisible(true);
    series->setMarkerSize(9);
    series->setLightMarker(Marker(colour, cross));
}

bool IsFailures(const QAbstractSeries* series) {
    return series->objectName() == QLatin1String("failures");
}

bool IsOffsets(const QAbstractSeries* series) {
    return !IsFailures(series) && series->objectName() != QLatin1String("failureBand");
}

// A failure, or an attempt that measured nothing: drawn in the failures' band.
bool IsFailureMark(const AttemptRecord& r) {
    return r.outcome != AttemptOutcome::Success || !r.offsetSeconds;
}

struct AxisTick {
    qint64 ms;
    QString label;
};

// The ticks of the time axis: at whole local seconds, minutes, hours, days or
// months, few enough to be read, from at or before first to at or after last.
std::vector<AxisTick> TimeTicks(qint64 first, qint64 last) {
    if (last - first < 60000) {
        const qint64 middle = first + (last - first) / 2;
        first = middle - 30000;
        last = middle + 30000;
    }
    const qint64 span = last - first;
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(first);
    const QDateTime to = QDateTime::fromMSecsSinceEpoch(last);
    enum class Unit { Second, Day, Month };
    struct Step {
        Unit unit;
        int size;
    };
    std::vector<Step> steps;
    QString format;
    if (span <= 3600000) {
        format = QStringLiteral("HH:mm:ss");
        for (int size : {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800}) {
            steps.push_back({Unit::Second, size});
        }
    } else if (span <= 86400000) {
        format = QStringLiteral("HH:mm");
        for (int size : {60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200}) {
            steps.push_back({Unit::Second, size});
        }
    } else {
        format =
            from.date().year() == to.date().year() ? QStringLiteral("dd MMM") : QStringLiteral("dd MMM yyyy");
        for (int size : {1, 2, 7, 14}) {
            steps.push_back({Unit::Day, size});
        }
        for (int size : {1, 2, 3, 6, 12, 24, 60, 120}) {
            steps.push_back({Unit::Month, size});
        }
    }
    constexpr int kMaxTicks = 8;
    std::vector<AxisTick> ticks;
    for (const Step& step : steps) {
        ticks.clear();
        QDateTime tick;
        switch (step.unit) {
            case Unit::Second: {
                const int second = from.time().msecsSinceStartOfDay() / 1000;
                tick = QDateTime(from.date(),
                                 QTime::fromMSecsSinceStartOfDay((second - second % step.size) * 1000));
                break;
            }
            case Unit::Day:
                tick = QDateTime(from.date(), QTime(0, 0));
                break;
            case Unit::Month: {
                const int month =
                    (from.date().month() - 1) / std::min(step.size, 12) * std::min(step.size, 12) + 1;
                tick = QDateTime(QDate(from.date().year(), month, 1), QTime(0, 0));
                break;
            }
        }
        while (static_cast<int>(ticks.size()) <= kMaxTicks) {
            const QString label = tick.toString(format);
            // A clock put back (daylight saving ends) shows an hour twice: once is enough.
            if (ticks.empty() || ticks.back().label != label) {
                ticks.push_back({tick.toMSecsSinceEpoch(), label});
            }
            if (tick.toMSecsSinceEpoch() >= last) {
                break;
            }
            switch (step.unit) {
                case Unit::Second:
                    tick = tick.addSecs(step.size);
                    break;
                case Unit::Day:
                    tick = QDateTime(tick.date().addDays(step.size), QTime(0, 0));
                    break;
                case Unit::Month:
                    tick = QDateTime(tick.date().addMonths(step.size), QTime(0, 0));
                    break;
            }
        }
        if (static_cast<int>(ticks.size()) <= kMaxTicks && ticks.back().ms >= last) {
            break;
        }
    }
    return ticks;
}

// Round figures from at or below low to at or above high, about four steps.
std::vector<double> OffsetTicks(double low, double high, int* decimals) {
    const double span = std::max(high - low, 0.001);
    const double rough = span / 4;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power * 10;
    for (double factor : {1.0, 2.0, 5.0}) {
        if (power * factor >= rough) {
            step = power * factor;
            break;
        }
    }
    *decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    std::vector<double> ticks;
    const double first = std::floor(low / step + 1e-9);
    const double last = std::ceil(high / step - 1e-9);
    for (double i = first; i <= last; ++i) {
        ticks.push_back(std::abs(i) < 0.5 ? 0.0 : i * step);
    }
    if (ticks.size() < 2) {
        ticks.push_back(ticks.back() + step);
    }
    return ticks;
}

}  // namespace

// The attempts as rows, sorted by the raw values (a permutation of the
// records, so that sorting 100,000 rows stays quick).
class HistoryTableModel final : public QAbstractTableModel {
public:
    enum Column {
        Time,
        Server,
        Host,
        Kind,
        Outcome,
        Offset,
        Delay,
        Correction,
        Shift,
        Authenticated,
        Status,
        Count
    };

    explicit HistoryTableModel(QObject* parent) : QAbstractTableModel(parent) {}

    void SetRecords(const std::vector<AttemptRecord>* records) {
        beginResetModel();
        m_records = records;
        m_order.resize(records->size());
        for (std::size_t i = 0; i < m_order.size(); ++i) {
            m_order[i] = i;
        }
        Order();
        endResetModel();
    }

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_order.size());
    }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : Count; }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
            return {};
        }
        static const char* const kTitles[] = {"Time",      "Server",        "Host",      "Kind",
                                              "Outcome",   "Offset (s)",    "Delay (s)", "Correction (s)",
                                              "Shift (s)", "Authenticated", "Status"};
        return section >= 0 && section < Count ? QString::fromLatin1(kTitles[section]) : QVariant();
    }

    void sort(int column, Qt::SortOrder order) override {
        emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        m_sortColumn = column;
        m_sortOrder = order;
        Order();
        emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= static_cast<int>(m_order.size())) {
            return {};
        }
        const AttemptRecord& r = (*m_records)[m_order[static_cast<std::size_t>(index.row())]];
        if (role == Qt::TextAlignmentRole && index.column() >= Offset && index.column() <= Shift) {
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        }
        if (role == Qt::ForegroundRole && index.column() == Outcome && r.outcome != AttemptOutcome::Success) {
            return kFailureColour;
        }
        if (role == Qt::ToolTipRole && (index.column() == Outcome || index.column() == Status)) {
            const QString folded = FoldedText(r);
            return folded.isEmpty() ? QVariant() : QVariant(folded);
        }
        if (role != Qt::DisplayRole) {
            return {};
        }
        switch (index.column()) {
            case Time:
                return LocalTimeText(r.timeUtc);
            case Server:
                return QString::fromStdString(r.serverTitle);
            case Host:
                return QString::fromStdString(r.serverHost);
            case Kind:
                return QString::fromLatin1(AttemptKindName(r.kind));
            case Outcome:
                return OutcomeText(r);
            case Offset:
                return SecondsText(r.offsetSeconds);
            case Delay:
                return SecondsText(r.delaySeconds);
            case Correction:
                return SecondsText(r.correctionSeconds);
            case Shift:
                return r.shiftSeconds != 0 ? SecondsText(r.shiftSeconds) : QString();
            case Authenticated:
                return r.authenticated ? QStringLiteral("yes") : QStringLiteral("no");
            case Status:
                return StatusText(r);
            default:
                return {};
        }
    }

private:
    // Nothing measured sorts below every number.
    static double Number(const std::optional<double>& value) {
        return value.value_or(-std::numeric_limits<double>::infinity());
    }

    void Order() {
        if (m_records == nullptr) {
            return;
        }
        const std::vector<AttemptRecord>& records = *m_records;
        const auto by = [&](auto key) {
            std::stable_sort(m_order.begin(), m_order.end(), [&](std::size_t a, std::size_t b) {
                return m_sortOrder == Qt::AscendingOrder ? key(records[a]) < key(records[b])
                                                         : key(records[b]) < key(records[a]);
            });
        };
        switch (m_sortColumn) {
            case Time:
                return by([](const AttemptRecord& r) { return r.timeUtc; });
            case Server:
                return by([](const AttemptRecord& r) { return r.serverTitle; });
            case Host:
                return by([](const AttemptRecord& r) { return r.serverHost; });
            case Kind:
                return by([](const AttemptRecord& r) { return r.kind; });
            case Outcome:
                return by([](const AttemptRecord& r) { return r.outcome; });
            case Offset:
                return by([](const AttemptRecord& r) { return Number(r.offsetSeconds); });
            case Delay:
                return by([](const AttemptRecord& r) { return Number(r.delaySeconds); });
            case Correction:
                return by([](const AttemptRecord& r) { return Number(r.correctionSeconds); });
            case Shift:
                return by([](const AttemptRecord& r) { return r.shiftSeconds; });
            case Authenticated:
                return by([](const AttemptRecord& r) { return r.authenticated; });
            case Status:
                return by([](const AttemptRecord& r) { return r.statusText; });
            default:
                return;
        }
    }

    const std::vector<AttemptRecord>* m_records = nullptr;
    std::vector<std::size_t> m_order;
    int m_sortColumn = Time;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
};

CHistoryDlg::CHistoryDlg(HistoryRecorder& recorder, Prompts& prompts, Help& help, QWidget* parent)
    : QDialog(parent), m_recorder(recorder), m_prompts(prompts), m_help(help) {
    setObjectName(QStringLiteral("IDD_HISTORY"));
    setWindowTitle(QStringLiteral("Tidewell: History"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    resize(900, 640);

    m_chart = new QChart;
    m_chart->setTitle(QStringLiteral("Measured offset (positive: this clock was behind)"));
    m_chart->legend()->setAlignment(Qt::AlignBottom);
    m_chartView = new QChartView(m_chart);
    m_chartView->setObjectName(QStringLiteral("IDC_HISTORY_CHART"));
    m_chartView->setAccessibleName(QStringLiteral("Offset chart"));
    m_chartView->setRenderHint(QPainter::Antialiasing);
    m_chartView->setMinimumHeight(260);

    m_model = new HistoryTableModel(this);
    m_table = new QTableView;
    m_table->setObjectName(QStringLiteral("IDC_HISTORY_TABLE"));
    m_table->setAccessibleName(QStringLiteral("Attempts"));
    m_table->setModel(m_model);
    m_table->setSortingEnabled(true);
    m_table->sortByColumn(HistoryTableModel::Time, Qt::DescendingOrder);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->setVisible(false);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    m_table->horizontalHeader()->setStretchLastSection(true);
    // Column widths from the rows in view and a few hundred more, not from every row.
    m_table->verticalHeader()->setResizeContentsPrecision(200);
    m_table->horizontalHeader()->setResizeContentsPrecision(200);
    m_table->setWordWrap(false);

    auto* splitter = new QSplitter(Qt::Vertical);
    splitter->addWidget(m_chartView);
    splitter->addWidget(m_table);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);

    auto* empty = new QLabel(QStringLiteral(
        "No synchronisation yet.\n\nEach synchronisation and server test will appear here as it "
        "happens: its measured offset in the chart, failures in a band of their own below, and a "
        "row in the table."));
    empty->setObjectName(QStringLiteral("IDC_HISTORY_EMPTY"));
    empty->setAlignment(Qt::AlignCenter);
    empty->setWordWrap(true);
    empty->setMargin(24);
    m_pages = new QStackedWidget;
    m_pages->addWidget(splitter);
    m_pages->addWidget(empty);

    m_driftLabel = new QLabel;
    m_driftLabel->setObjectName(QStringLiteral("IDC_HISTORY_DRIFT"));
    m_driftLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_countLabel = new QLabel(QStringLiteral("Reading the history..."));
    m_countLabel->setObjectName(QStringLiteral("IDC_HISTORY_COUNT"));
    m_exportButton = new QPushButton(QStringLiteral("Export CSV..."));
    m_exportButton->setObjectName(QStringLiteral("IDC_HISTORY_EXPORT"));
    m_exportButton->setAutoDefault(false);
    auto* close = new QPushButton(QStringLiteral("Close"));
    close->setObjectName(QStringLiteral("IDC_HISTORY_CLOSE"));
    close->setAutoDefault(false);
    connect(m_exportButton, &QPushButton::clicked, this, &CHistoryDlg::OnExport);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    auto* helpKey = new QShortcut(QKeySequence::HelpContents, this);
    connect(helpKey, &QShortcut::activated, this, [this] { m_help.ShowHelp(HelpPage::History); });

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_driftLabel, 1);
    bottom->addWidget(m_countLabel);
    bottom->addWidget(m_exportButton);
    bottom->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pages, 1);
    layout->addLayout(bottom);

    // A record stored while the window is open is shown at once; a hidden
    // window reads everything again when it is opened.
    connect(
        &m_recorder, &HistoryRecorder::Recorded, this,
        [this] {
            if (isVisible()) {
                Reload();
            }
        },
        Qt::QueuedConnection);
    Reload();
}

CHistoryDlg::~CHistoryDlg() = default;

void CHistoryDlg::Reload() {
    if (m_loading) {
        m_loadAgain = true;
        return;
    }
    m_loading = true;
    m_recorder.Load(this, [this](std::vector<AttemptRecord> records) { Show(std::move(records)); });
}

void CHistoryDlg::Show(std::vector<AttemptRecord> records) {
    m_loading = false;
    m_records = std::move(records);
    m_drift = EstimateDrift(m_records);
    const bool first = m_model->rowCount({}) == 0;
    m_model->SetRecords(&m_records);
    if (first) {
        m_table->resizeColumnsToContents();
    }
    RebuildChart();
    m_driftLabel->setText(DriftText());
    int64_t attempts = 0;
    for (const AttemptRecord& r : m_records) {
        attempts += std::max<int64_t>(r.count, 1);
    }
    m_countLabel->setText(QStringLiteral("%1 attempts").arg(attempts));
    m_exportButton->setEnabled(!m_records.empty());
    m_pages->setCurrentIndex(m_records.empty() ? 1 : 0);
    emit RecordsShown();
    if (m_loadAgain) {
        m_loadAgain = false;
        Reload();
    }
}

QString CHistoryDlg::DriftText() const {
    if (!m_drift.enough) {
        return QStringLiteral("Drift of this clock: not enough data");
    }
    return QStringLiteral("Drift of this clock: %1 \u00b1 %2 ppm (%3, from %4 measurements)")
        .arg(m_drift.ppm, 0, 'f', 2)
        .arg(m_drift.uncertaintyPpm, 0, 'f', 2)
        .arg(m_drift.ppm >= 0 ? QStringLiteral("runs fast") : QStringLiteral("runs slow"))
        .arg(m_drift.points);
}

void CHistoryDlg::RebuildChart() {
    m_chart->removeAllSeries();
    for (QAbstractAxis* axis : m_chart->axes()) {
        m_chart->removeAxis(axis);
        delete axis;
    }
    if (m_records.empty()) {
        return;
    }

    // One series per server, keyed by host, in the order of first appearance;
    // failures by how many in a row each record stands for.
    std::map<std::string, int> seriesOfHost;
    std::vector<std::pair<QString, QList<QPointF>>> servers;
    std::map<int64_t, QList<QPointF>> failuresByCount;
    double low = 0;
    double high = 0;
    qint64 first = std::numeric_limits<qint64>::max();
    qint64 last = std::numeric_limits<qint64>::min();
    for (const AttemptRecord& r : m_records) {
        // A notice measured nothing and was no attempt: it stays in the table only.
        if (r.kind == AttemptKind::Notice) {
            continue;
        }
        const qint64 ms = MillisecondsOf(r.timeUtc);
        first = std::min(first, ms);
        last = std::max(last, ms);
        if (IsFailureMark(r)) {
            failuresByCount[std::max<int64_t>(r.count, 1)].push_back(QPointF(static_cast<double>(ms), 0));
            continue;
        }
        auto [it, added] = seriesOfHost.emplace(r.serverHost, static_cast<int>(servers.size()));
        if (added) {
            servers.emplace_back(QString::fromStdString(r.serverTitle.empty() ? r.serverHost : r.serverTitle),
                                 QList<QPointF>());
        }
        servers[static_cast<std::size_t>(it->second)].second.push_back(
            QPointF(static_cast<double>(ms), *r.offsetSeconds));
        low = std::min(low, *r.offsetSeconds);
        high = std::max(high, *r.offsetSeconds);
    }

    if (first > last) {
        return;  // notices only: nothing to draw
    }
    const std::vector<AxisTick> timeTicks = TimeTicks(first, last);
    auto* timeAxis = new QCategoryAxis;
    timeAxis->setObjectName(QStringLiteral("timeAxis"));
    timeAxis->setTitleText(QStringLiteral("Time"));
    timeAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    timeAxis->setTruncateLabels(false);
    timeAxis->setStartValue(static_cast<double>(timeTicks.front().ms));
    for (const AxisTick& tick : timeTicks) {
        timeAxis->append(tick.label, static_cast<double>(tick.ms));
    }
    timeAxis->setRange(static_cast<double>(timeTicks.front().ms), static_cast<double>(timeTicks.back().ms));

    // The offsets on round figures; below them, apart, the band of the failures.
    int decimals = 0;
    const std::vector<double> offsetTicks = OffsetTicks(low, high, &decimals);
    const double offsetLow = offsetTicks.front();
    const double offsetSpan = offsetTicks.back() - offsetLow;
    const double bandHeight = failuresByCount.empty() ? 0 : offsetSpan * 0.2;
    const double bandTop = offsetLow - (failuresByCount.empty() ? 0 : offsetSpan * 0.06);
    const double axisLow = bandTop - bandHeight;
    const double failureY = axisLow + bandHeight / 2;
    auto* offsetAxis = new QCategoryAxis;
    offsetAxis->setObjectName(QStringLiteral("offsetAxis"));
    offsetAxis->setTitleText(QStringLiteral("Offset (s)"));
    offsetAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    offsetAxis->setTruncateLabels(false);
    offsetAxis->setStartValue(axisLow);
    if (!failuresByCount.empty()) {
        offsetAxis->append(QString::fromLatin1(kFailureBandLabel), failureY);
    }
    for (double tick : offsetTicks) {
        offsetAxis->append(QString::number(tick, 'f', decimals), tick);
    }
    offsetAxis->setRange(axisLow, offsetTicks.back());
    m_chart->addAxis(timeAxis, Qt::AlignBottom);
    m_chart->addAxis(offsetAxis, Qt::AlignLeft);

    const auto attach = [&](QAbstractSeries* series, bool legend) {
        m_chart->addSeries(series);
        series->attachAxis(timeAxis);
        series->attachAxis(offsetAxis);
        for (QLegendMarker* marker : m_chart->legend()->markers(series)) {
            marker->setVisible(legend);
        }
    };
    if (!failuresByCount.empty()) {
        auto* upper = new QLineSeries;
        auto* lower = new QLineSeries;
        upper->append(timeAxis->min(), bandTop);
        upper->append(timeAxis->max(), bandTop);
        lower->append(timeAxis->min(), axisLow);
        lower->append(timeAxis->max(), axisLow);
        auto* band = new QAreaSeries(upper, lower);
        upper->setParent(band);
        lower->setParent(band);
        band->setObjectName(QStringLiteral("failureBand"));
        band->setPen(Qt::NoPen);
        band->setBrush(QColor(0xd6, 0x27, 0x28, 0x18));
        attach(band, false);
    }
    const auto add = [&](QLineSeries* series, const QList<QPointF>& points, bool legend) {
        series->replace(Thinned(points, kMaxPointsPerSeries));
        attach(series, legend);
        // The series draw no line, so the legend shows their colour as a dot.
        for (QLegendMarker* marker : m_chart->legend()->markers(series)) {
            marker->setShape(QLegend::MarkerShapeCircle);
            marker->setBrush(series->color());
            marker->setPen(QPen(series->color().darker(130)));
        }
    };
    std::size_t colour = 0;
    for (const auto& [title, points] : servers) {
        auto* series = new QLineSeries;
        series->setName(title);
        const QColor c = kServerColours[colour++ % std::size(kServerColours)];
        Dots(series, c, false);
        add(series, points, true);
    }
    bool named = false;
    for (auto& [count, points] : failuresByCount) {
        for (QPointF& point : points) {
            point.setY(failureY);
        }
        auto* series = new QLineSeries;
        series->setName(QStringLiteral("Failed or stopped"));
        series->setObjectName(QStringLiteral("failures"));
        Dots(series, kFailureColour, true);
        if (count > 1) {
            // Failures in a row kept as one record carry their number.
            series->setPointLabelsFormat(QStringLiteral("\u00d7%1").arg(count));
            series->setPointLabelsVisible(true);
            series->setPointLabelsColor(kFailureColour);
            series->setPointLabelsClipping(false);
        }
        connect(series, &QLineSeries::hovered, this, &CHistoryDlg::ShowFailureTip);
        add(series, points, !named);
        named = true;
    }
}

void CHistoryDlg::ShowFailureTip(const QPointF& point, bool state) {
    if (!state) {
        QToolTip::hideText();
        return;
    }
    // The failure nearest in time to the point under the mouse.
    const AttemptRecord* nearest = nullptr;
    double distance = std::numeric_limits<double>::infinity();
    for (const AttemptRecord& r : m_records) {
        const double d = std::abs(static_cast<double>(MillisecondsOf(r.timeUtc)) - point.x());
        if (IsFailureMark(r) && d < distance) {
            nearest = &r;
            distance = d;
        }
    }
    if (nearest == nullptr) {
        return;
    }
    QString text =
        LocalTimeText(nearest->timeUtc) + QStringLiteral("  ") +
        QString::fromStdString(nearest->serverTitle.empty() ? nearest->serverHost : nearest->serverTitle) +
        QLatin1Char('\n') + OutcomeText(*nearest) + QStringLiteral(": ") + StatusText(*nearest);
    const QString folded = FoldedText(*nearest);
    if (!folded.isEmpty()) {
        text += QLatin1Char('\n') + folded;
    }
    QToolTip::showText(QCursor::pos(), text, m_chartView);
}

int CHistoryDlg::ServerSeriesCount() const {
    int count = 0;
    for (QAbstractSeries* series : m_chart->series()) {
        count += IsOffsets(series) ? 1 : 0;
    }
    return count;
}

QList<QPointF> CHistoryDlg::PointsOf(bool (*which)(const QAbstractSeries*)) const {
    QList<QPointF> points;
    for (QAbstractSeries* series : m_chart->series()) {
        if (auto* line = qobject_cast<QLineSeries*>(series); line != nullptr && which(series)) {
            points += line->points();
        }
    }
    return points;
}

QList<QPointF> CHistoryDlg::OffsetPoints() const {
    return PointsOf(IsOffsets);
}

QList<QPointF> CHistoryDlg::FailureMarks() const {
    return PointsOf(IsFailures);
}

int CHistoryDlg::OffsetPointCount() const {
    return static_cast<int>(OffsetPoints().size());
}

int CHistoryDlg::FailureMarkCount() const {
    return static_cast<int>(FailureMarks().size());
}

QStringList CHistoryDlg::FailureCountLabels() const {
    QStringList labels;
    for (QAbstractSeries* series : m_chart->series()) {
        // The band below the failures is an area, not a line: ask first.
        auto* failures = qobject_cast<QLineSeries*>(series);
        if (failures != nullptr && IsFailures(series) && failures->pointLabelsVisible()) {
            for (qsizetype i = 0; i < failures->count(); ++i) {
                labels << failures->pointLabelsFormat();
            }
        }
    }
    return labels;
}

QStringList CHistoryDlg::TimeLabelsShown() const {
    const auto axes = m_chart->axes(Qt::Horizontal);
    return axes.isEmpty() ? QStringList() : static_cast<QCategoryAxis*>(axes.front())->categoriesLabels();
}

QStringList CHistoryDlg::OffsetLabelsShown() const {
    const auto axes = m_chart->axes(Qt::Vertical);
    return axes.isEmpty() ? QStringList() : static_cast<QCategoryAxis*>(axes.front())->categoriesLabels();
}

QStringList CHistoryDlg::TimeAxisLabels(qint64 firstMs, qint64 lastMs) {
    QStringList labels;
    for (const AxisTick& tick : TimeTicks(firstMs, lastMs)) {
        labels << tick.label;
    }
    return labels;
}

bool CHistoryDlg::ExportCsv(const QString& path, QString* error) const {
    QSaveFile file(path);
    const auto fail = [&] {
        if (error != nullptr) {
            *error = file.errorString();
        }
        return false;
    };
    if (!file.open(QIODevice::WriteOnly)) {
        return fail();
    }
    const std::string csv = HistoryCsv(m_records);
    if (file.write(csv.data(), static_cast<qint64>(csv.size())) != static_cast<qint64>(csv.size())) {
        fail();
        file.cancelWriting();
        return false;
    }
    return file.commit() || fail();
}

void CHistoryDlg::ExportTo(const QString& path) {
    QString error;
    const QString where = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (ExportCsv(path, &error)) {
        m_prompts.Show({"Tidewell: History",
                        QStringLiteral("%1 records of the history were exported to\n%2")
                            .arg(m_records.size())
                            .arg(where)
                            .toStdString(),
                        PromptIcon::Information, PromptButtons::Ok});
    } else {
        m_prompts.Show(
            {"Tidewell: History",
             QStringLiteral("The history could not be exported to\n%1\n\n%2").arg(where, error).toStdString(),
             PromptIcon::Warning, PromptButtons::Ok});
    }
}

void CHistoryDlg::OnExport() {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export the history"),
                                                      QStringLiteral("tidewell-history.csv"),
                                                      QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (!path.isEmpty()) {
        ExportTo(path);
    }
}
