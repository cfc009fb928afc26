#include "history/HistoryStore.h"

#include <gtest/gtest.h>

#include <QFile>
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
    const std::vector<AttemptRecord> records = {
        full,
        Attempt(-3600.5, AttemptOutcome::Failure),  // a clock set back: kept in the order written
        Attempt(60, AttemptOutcome::Stopped, AttemptKind::Manual),
        Attempt(120, AttemptOutcome::Success, AttemptKind::ServerTest),
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

// Kept: at most maxRecords, and two years back from a clock just corrected;
// a failure's clock (which may be wrong) never ages anything out.
TEST(HistoryStoreTest, KeepsTwoYearsOrTheMostRecordsWhicheverIsFewer) {
    constexpr double kDay = 86400;
    struct Row {
        const char* name;
        int64_t maxRecords;
        std::vector<AttemptRecord> written;
        size_t kept;  // the newest this many
    };
    const Row rows[] = {
        {"count limit", 3, {Attempt(0), Attempt(1), Attempt(2), Attempt(3), Attempt(4)}, 3},
        {"two years and a day ago goes", 100, {Attempt(0), Attempt(1), Attempt(732 * kDay)}, 1},
        {"two years ago stays", 100, {Attempt(0), Attempt(730 * kDay)}, 2},
        {"a failure far ahead ages nothing out",
         100,
         {Attempt(0), Attempt(1), Attempt(5000 * kDay, AttemptOutcome::Failure)},
         3},
        {"a server test far ahead ages nothing out",
         100,
         {Attempt(0), Attempt(5000 * kDay, AttemptOutcome::Success, AttemptKind::ServerTest)},
         2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        HistoryStore store(Path(folder), {.maxRecords = row.maxRecords});
        for (const AttemptRecord& r : row.written) {
            EXPECT_TRUE(store.Append(r));
        }
        const std::vector<AttemptRecord> expected(row.written.end() - static_cast<long>(row.kept),
                                                  row.written.end());
        EXPECT_EQ(store.LoadAll(), expected);
        EXPECT_EQ(store.Count(), static_cast<int64_t>(row.kept));
    }
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
    HistoryStore store(Path(folder), {.maxPageCount = 4});
    int stored = 0;
    for (int i = 0; i < 300; ++i) {
        stored += store.Append(Attempt(i)) ? 1 : 0;
    }
    EXPECT_GT(stored, 0);
    EXPECT_LT(stored, 300);
    EXPECT_EQ(store.Count(), stored);
    EXPECT_TRUE(store.SetAsideFiles().empty());
}
