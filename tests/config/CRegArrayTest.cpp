#include "config/CRegArray.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "config/CServer.h"
#include "tests/support/TempFolder.h"

namespace {

class CRegArrayTest : public ::testing::Test {
protected:
    CRegArrayTest() { m_store.RegisterMakerKey("Quorvane"); }

    // Stores a counter and entries "Servers 0".."Servers n-1" as given.
    void Store(const std::function<void(ProfileStore::Batch&)>& fill) {
        ProfileStore::Batch batch(m_store);
        fill(batch);
        ASSERT_TRUE(batch.Commit());
    }

    TempFolder m_folder;
    ProfileStore m_store{m_folder.Path()};
};

void Entries(ProfileStore::Batch& batch, int from, int to) {
    for (int i = from; i < to; ++i) {
        batch.WriteString("Servers", "Servers " + std::to_string(i),
                          "title " + std::to_string(i) + "\nhost" + std::to_string(i) + "\n1 0.500");
    }
}

TEST_F(CRegArrayTest, LoadRejectsABrokenListAsAWhole) {
    struct Case {
        const char* name;
        std::function<void(ProfileStore::Batch&)> fill;
        bool loaded;
        std::size_t size;  // after the load, starting from one element already held
    };
    const Case cases[] = {
        {"no counter", [](ProfileStore::Batch& b) { Entries(b, 0, 2); }, false, 1},
        {"counter 0",
         [](ProfileStore::Batch& b) {
             b.WriteInt("Servers", "Servers_Counter", 0);
             Entries(b, 0, 2);
         },
         false, 1},
        {"counter negative", [](ProfileStore::Batch& b) { b.WriteInt("Servers", "Servers_Counter", -1); },
         false, 1},
        {"counter as a text",
         [](ProfileStore::Batch& b) {
             b.WriteString("Servers", "Servers_Counter", "2");
             Entries(b, 0, 2);
         },
         false, 1},
        {"entry 1 missing",
         [](ProfileStore::Batch& b) {
             b.WriteInt("Servers", "Servers_Counter", 3);
             Entries(b, 0, 1);
             Entries(b, 2, 3);
         },
         false, 0},
        {"entry 1 empty",
         [](ProfileStore::Batch& b) {
             b.WriteInt("Servers", "Servers_Counter", 2);
             Entries(b, 0, 1);
             b.WriteString("Servers", "Servers 1", "");
         },
         false, 0},
        {"entry 1 an integer",
         [](ProfileStore::Batch& b) {
             b.WriteInt("Servers", "Servers_Counter", 2);
             Entries(b, 0, 1);
             b.WriteInt("Servers", "Servers 1", 5);
         },
         false, 0},
        {"counter bounds the entries",
         [](ProfileStore::Batch& b) {
             b.WriteInt("Servers", "Servers_Counter", 2);
             Entries(b, 0, 5);
         },
         true, 3},
        {"huge counter",
         [](ProfileStore::Batch& b) {
             b.WriteInt("Servers", "Servers_Counter", INT32_MAX);
             Entries(b, 0, 5);
         },
         false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        ProfileStore store(folder.Path());
        store.RegisterMakerKey("Quorvane");
        ProfileStore::Batch batch(store);
        c.fill(batch);
        ASSERT_TRUE(batch.Commit());

        CRegArray<CServer> list("Servers", "Servers");
        list.Add(CServer("held", "held.example", 1));
        EXPECT_EQ(list.Load(store), c.loaded);
        ASSERT_EQ(list.GetSize(), c.size);
        if (c.loaded) {
            EXPECT_EQ(list[0].title, "held");
            EXPECT_EQ(list[1].title, "title 0");
            EXPECT_EQ(list[2].host, "host1");
            EXPECT_EQ(list[2].kind, 1);
            EXPECT_EQ(list[2].delay, 0.5);
        }
    }
}

TEST_F(CRegArrayTest, ShorterListLeavesHigherEntriesUnread) {
    CRegArray<CServer> list("Servers", "Servers");
    for (int i = 0; i < 18; ++i) {
        list.Add(CServer("t" + std::to_string(i), "h", 0));
    }
    ASSERT_TRUE(list.Save(m_store));
    list.RemoveAt(0);
    ASSERT_TRUE(list.Save(m_store));

    EXPECT_EQ(m_store.ReadInt("Servers", "Servers_Counter", 0), 17);
    EXPECT_EQ(m_store.ReadString("Servers", "Servers 17", ""), "t17\nh\n0 0.000");
    CRegArray<CServer> back("Servers", "Servers");
    ASSERT_TRUE(back.Load(m_store));
    ASSERT_EQ(back.GetSize(), 17u);
    EXPECT_EQ(back[0].title, "t1");
    EXPECT_EQ(back[16].title, "t17");
}

TEST_F(CRegArrayTest, TenThousandOddServersRoundTrip) {
    CRegArray<CServer> list("Servers", "Servers");
    for (int i = 0; i < 10000; ++i) {
        CServer server("Server, \"" + std::to_string(i) + "\" — Zürich; =[x]",
                       "host" + std::to_string(i) + ".example", i % 3);
        server.delay = (i % 1000) / 1000.0;
        list.Add(server);
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(list.Save(m_store));

    ProfileStore reopened(m_folder.Path());
    reopened.RegisterMakerKey("Quorvane");
    CRegArray<CServer> back("Servers", "Servers");
    ASSERT_TRUE(back.Load(reopened));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(back.GetSize(), list.GetSize());
    for (std::size_t i = 0; i < list.GetSize(); ++i) {
        ASSERT_EQ(back[i], list[i]) << i;
    }
    EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(CRegArrayTest, AppendCopiesEvenFromItself) {
    CRegArray<CServer> list("", "");
    list.Add(CServer("a", "h", 1));
    list.Add(CServer("b", "h", 0));
    list.Append(list);
    ASSERT_EQ(list.GetSize(), 4u);
    EXPECT_EQ(list[2].title, "a");
    EXPECT_EQ(list[3].title, "b");
}

}  // namespace
