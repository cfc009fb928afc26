#include "history/HistoryStore.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <functional>

#include "tests/support/TempFolder.h"

namespace {

const ClockTime kStart{1796565930, 250000000};  // 2026-12-06 14:05:30.25 UTC

AttemptRecord Attempt(double atSeconds, AttemptOutcome outcome = AttemptOutcome::Success,
                      AttemptKind kind = AttemptKind::Automatic) {
    AttemptRecord r;
    r.timeUtc = AddSecondsTo(kStart, atSeconds);
    r.serverTitle = "First";
    r.serverHost = "127.0.0.1";
    r.kind = kind;
    r.outcome = outcome;
    r.statusText = "status";
    if (outcome == AttemptOutcome::Success) {
        r.offsetSeconds = 0.25;
        r.delaySeconds = 0.01;
        r.correctionSeconds = kind == AttemptKind::ServerTest ? std::nullopt : std::optional<double>(0.25);
    }
    return r;
}

// A failure measured at `at` (its offset), for the folding and the retention.
AttemptRecord Failed(double at, FailureCause cause = FailureCause::Server,
                     AttemptKind kind = AttemptKind::Automatic, const std::string& host = "127.0.0.1") {
    AttemptRecord r = Attempt(at, AttemptOutcome::Failure, kind);
    r.cause = cause;
    r.serverHost = host;
    r.offsetSeconds = at;
    r.statusText = "failed at " + std::to_string(at);
    return r;
}

// last, standing for `count` failures since firstAt.
AttemptRecord Folded(AttemptRecord last, double firstAt, int64_t count) {
    last.count = count;
    last.firstTimeUtc = AddSecondsTo(kStart, firstAt);
    return last;
}

std::string Path(const TempFolder& folder) {
    return folder.Path() + "/Quorvane/Tidewell/history.sqlite";
}

}  // namespace

// What is stored comes back as it was, nothing measured included, oldest first.
TEST(HistoryStoreTest, RecordsComeBackAsStored) {
    TempFolder folder;
    AttemptRecord full = Attempt(0);
    full.serverTitle = "Ünïcode, \"quoted\"";
    full.shiftSeconds = -90;
    full.authenticated = true;
    full.kind = AttemptKind::Manual;
    full.confirmedBy = "127.0.0.2, 127.0.0.3";
    const std::vector<AttemptRecord> records = {
        full,
        Attempt(-3600.5, AttemptOutcome::Failure),  // a clock set back: kept in the order written
        Attempt(60, AttemptOutcome::Stopped, AttemptKind::Manual),
        Attempt(120, AttemptOutcome::Success, AttemptKind::ServerTest),
        Attempt(180, AttemptOutcome::Failure, AttemptKind::Notice),
    };
    {
        HistoryStore store(Path(folder));
        ASSERT_TRUE(store.Open());
        for (const AttemptRecord& r : records) {
            EXPECT_TRUE(store.Append(r));
        }
    }
    HistoryStore again(Path(folder));
    EXPECT_EQ(again.LoadAll(), records);
    EXPECT_TRUE(again.SetAsideFiles().empty());
}

// Kept: two years back from a clock just corrected, failures and successes
// alike; a failure's clock (which may be wrong) never ages anything out. Past
// maxRecords the oldest failed and stopped records go before any success.
TEST(HistoryStoreTest, KeepsTwoYearsAndDropsFailuresBeforeSuccesses) {
    constexpr double kDay = 86400;
    struct Row {
        const char* name;
        int64_t maxRecords;
        std::vector<AttemptRecord> written;
        std::vector<size_t> kept;  // indexes into written
    };
    const Row rows[] = {
        {"count limit", 3, {Attempt(0), Attempt(1), Attempt(2), Attempt(3), Attempt(4)}, {2, 3, 4}},
        {"failed and stopped runs go first, then the oldest successes",
         2,
         {Attempt(0), Failed(1), Attempt(2), Attempt(3, AttemptOutcome::Stopped), Attempt(4)},
         {2, 4}},
        {"two years and a day ago goes", 100, {Attempt(0), Failed(1), Attempt(732 * kDay)}, {2}},
        {"two years ago stays", 100, {Attempt(0), Attempt(730 * kDay)}, {0, 1}},
        {"a failure far ahead ages nothing out",
         100,
         {Attempt(0), Attempt(1), Attempt(5000 * kDay, AttemptOutcome::Failure)},
         {0, 1, 2}},
        {"a server test far ahead ages nothing out",
         100,
         {Attempt(0), Attempt(5000 * kDay, AttemptOutcome::Success, AttemptKind::ServerTest)},
         {0, 1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        HistoryStore store(Path(folder), {.maxRecords = row.maxRecords});
        for (const AttemptRecord& r : row.written) {
            EXPECT_TRUE(store.Append(r));
        }
        std::vector<AttemptRecord> expected;
        for (size_t i : row.kept) {
            expected.push_back(row.written[i]);
        }
        EXPECT_EQ(store.LoadAll(), expected);
        EXPECT_EQ(store.Count(), static_cast<int64_t>(row.kept.size()));
    }
}

// Failures in a row of the same kind, cause and server are one record: the
// newest's measurement and status, the count, the first of their times.
TEST(HistoryStoreTest, FoldsFailuresInARowOfTheSameKindCauseAndServer) {
    AttemptRecord movedTheClock = Failed(1);
    movedTheClock.correctionSeconds = 3;
    struct Row {
        const char* name;
        std::vector<AttemptRecord> written;
        std::vector<AttemptRecord> stored;  // empty: as written
    };
    const Row rows[] = {
        {"the same fold", {Failed(0), Failed(1), Failed(2)}, {Folded(Failed(2), 0, 3)}},
        {"a folded record folds on", {Folded(Failed(1), 0, 4), Failed(2)}, {Folded(Failed(2), 0, 5)}},
        {"another cause", {Failed(0), Failed(1, FailureCause::NotAllowed)}, {}},
        {"another kind", {Failed(0), Failed(1, FailureCause::Server, AttemptKind::Manual)}, {}},
        {"another server", {Failed(0), Failed(1, FailureCause::Server, AttemptKind::Automatic, "::1")}, {}},
        {"a success between", {Failed(0), Attempt(1), Failed(2)}, {}},
        {"stopped runs between, never folded",
         {Failed(0), Attempt(1, AttemptOutcome::Stopped), Attempt(2, AttemptOutcome::Stopped), Failed(3)},
         {}},
        {"a failure that moved the clock stands alone", {Failed(0), movedTheClock, Failed(2)}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        HistoryStore store(Path(folder));
        EXPECT_TRUE(store.Append(row.written));  // one transaction: folded as it goes
        EXPECT_EQ(store.LoadAll(), row.stored.empty() ? row.written : row.stored);
    }
}

// A database of the version before causes and counts opens as it is: its
// records read as single attempts with no cause, and new ones fold onto them.
TEST(HistoryStoreTest, AnEarlierDatabaseGainsTheNewColumnsAndKeepsItsRecords) {
    TempFolder folder;
    const std::string path = folder.Path() + "/history.sqlite";
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("earlier"));
        db.setDatabaseName(QString::fromStdString(path));
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec(QStringLiteral(
            "CREATE TABLE attempts (id INTEGER PRIMARY KEY AUTOINCREMENT, time_utc_us INTEGER NOT NULL,"
            " server_title TEXT NOT NULL, server_host TEXT NOT NULL, offset_s REAL, delay_s REAL,"
            " correction_s REAL, shift_s REAL NOT NULL DEFAULT 0, authenticated INTEGER NOT NULL DEFAULT 0,"
            " status TEXT NOT NULL, kind TEXT NOT NULL, outcome TEXT NOT NULL)")));
        ASSERT_TRUE(query.exec(QStringLiteral(
            "INSERT INTO attempts (time_utc_us, server_title, server_host, offset_s, status, kind, outcome)"
            " VALUES (1796565930250000, 'First', '127.0.0.1', 0, 'failed at 0.000000', 'automatic', "
            "'failure')")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("earlier"));
    {
        HistoryStore store(path);
        EXPECT_EQ(store.LoadAll(), std::vector<AttemptRecord>{Failed(0, FailureCause::None)});
        EXPECT_TRUE(store.Append(Failed(1, FailureCause::None)));
    }
    HistoryStore again(path);  // the columns are there now
    EXPECT_EQ(again.LoadAll(), std::vector<AttemptRecord>{Folded(Failed(1, FailureCause::None), 0, 2)});
}

// A database that cannot be read is set aside and a new one takes the record.
TEST(HistoryStoreTest, ADamagedDatabaseIsSetAsideAndRecordingGoesOn) {
    struct Row {
        const char* name;
        std::function<void(const std::string& path)> damage;
    };
    const Row rows[] = {
        {"not a database",
         [](const std::string& path) { TempFolder::WriteFile(path, std::string(8192, 'x')); }},
        {"a damaged page",
         [](const std::string& path) {
             std::string bytes = TempFolder::ReadFile(path);
             ASSERT_GT(bytes.size(), 3 * 4096u);
             // Pages 2 and 3 hold the table and its index.
             for (size_t i = 4096 + 8; i < 3 * 4096; ++i) {
                 bytes[i] = static_cast<char>(0xA5);
             }
             TempFolder::WriteFile(path, bytes);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        const std::string path = Path(folder);
        {
            HistoryStore store(path);
            for (int i = 0; i < 200; ++i) {
                ASSERT_TRUE(store.Append(Attempt(i)));
            }
        }
        // Whatever the journal still held has reached the file by now.
        ASSERT_FALSE(QFile::exists(QString::fromStdString(path + "-wal")));
        row.damage(path);

        HistoryStore store(path);
        EXPECT_TRUE(store.Append(Attempt(1000)));
        EXPECT_EQ(store.LoadAll(), std::vector<AttemptRecord>{Attempt(1000)});
        ASSERT_EQ(store.SetAsideFiles().size(), 1u);
        EXPECT_EQ(store.SetAsideFiles()[0].rfind(path + ".damaged-", 0), 0u);
        EXPECT_TRUE(QFile::exists(QString::fromStdString(store.SetAsideFiles()[0])));
    }
}

// A full disk: the record is refused, nothing breaks, and once there is room again recording goes on.
TEST(HistoryStoreTest, AFullDiskRefusesTheRecordAndNothingElse) {
    TempFolder folder;
    HistoryStore store(Path(folder), {.maxPageCount = 5});
    int stored = 0;
    for (int i = 0; i < 300; ++i) {
        stored += store.Append(Attempt(i)) ? 1 : 0;
    }
    EXPECT_GT(stored, 0);
    EXPECT_LT(stored, 300);
    EXPECT_EQ(store.Count(), stored);
    EXPECT_TRUE(store.SetAsideFiles().empty());
}
