#include "history/HistoryRecorder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QSignalSpy>
#include <QTest>
#include <thread>

#include "tests/support/TempFolder.h"

namespace {

AttemptRecord Attempt(int64_t second, std::string host = "127.0.0.1") {
    AttemptRecord r;
    r.timeUtc = {1796565930 + second, 0};
    r.serverHost = std::move(host);
    r.statusText = "status";
    r.outcome = AttemptOutcome::Success;  // failures in a row would fold into one record
    return r;
}

std::vector<AttemptRecord> LoadNow(HistoryRecorder& recorder) {
    std::vector<AttemptRecord> loaded;
    bool done = false;
    QObject receiver;
    recorder.Load(&receiver, [&](std::vector<AttemptRecord> records) {
        loaded = std::move(records);
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_TRUE(done);
    return loaded;
}

}  // namespace

// Records from several threads all arrive, each thread's in its order; a read
// sees everything recorded before it, and each stored record is announced.
TEST(HistoryRecorderTest, RecordsFromAnyThreadAreStoredAndAnnounced) {
    TempFolder folder;
    HistoryRecorder recorder(folder.Path() + "/history.sqlite");
    QSignalSpy recorded(&recorder, &HistoryRecorder::Recorded);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&recorder, t] {
            for (int i = 0; i < 20; ++i) {
                recorder.Record(Attempt(i, "host" + std::to_string(t)));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::vector<AttemptRecord> loaded = LoadNow(recorder);
    ASSERT_EQ(loaded.size(), 60u);
    for (int t = 0; t < 3; ++t) {
        int64_t last = -1;
        for (const AttemptRecord& r : loaded) {
            if (r.serverHost == "host" + std::to_string(t)) {
                EXPECT_GT(r.timeUtc.seconds, last);
                last = r.timeUtc.seconds;
            }
        }
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return recorded.count() == 60; }, 5000));
    EXPECT_EQ(recorder.Dropped(), 0u);
}

// A folder that cannot hold the database: Record never waits or fails, the
// records are counted as dropped, and a read gives nothing.
TEST(HistoryRecorderTest, AnUnwritableFolderDropsRecordsWithoutWaiting) {
    TempFolder folder;
    TempFolder::WriteFile(folder.Path() + "/file", "");
    HistoryRecorder recorder(folder.Path() + "/file/history.sqlite");
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 5; ++i) {
        recorder.Record(Attempt(i));
    }
    EXPECT_LT(timer.elapsed(), 100);
    recorder.Flush();
    EXPECT_EQ(recorder.Dropped(), 5u);
    EXPECT_TRUE(LoadNow(recorder).empty());
}

// What is queued when the recorder goes is still written.
TEST(HistoryRecorderTest, QueuedRecordsAreWrittenBeforeTheRecorderEnds) {
    TempFolder folder;
    const std::string path = folder.Path() + "/history.sqlite";
    {
        HistoryRecorder recorder(path);
        for (int i = 0; i < 50; ++i) {
            recorder.Record(Attempt(i));
        }
    }
    HistoryStore store(path);
    EXPECT_EQ(store.Count(), 50);
}
