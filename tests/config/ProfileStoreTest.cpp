#include "config/ProfileStore.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempFolder.h"

namespace {

namespace fs = std::filesystem;

class ProfileStoreTest : public ::testing::Test {
protected:
    ProfileStoreTest() { m_store.RegisterMakerKey("Quorvane"); }

    std::string FilePath() const { return m_folder.Path() + "/Quorvane/Tidewell.conf"; }
    // A second store on the same file: what a later start of the program reads.
    std::unique_ptr<ProfileStore> Reopen() const {
        auto store = std::make_unique<ProfileStore>(m_folder.Path());
        store->RegisterMakerKey("Quorvane");
        return store;
    }
    std::set<std::string> FilesInFolder() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_folder.Path() + "/Quorvane")) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    TempFolder m_folder;
    ProfileStore m_store{m_folder.Path()};
};

TEST_F(ProfileStoreTest, EveryKindRoundTripsThroughTheFile) {
    const std::vector<std::string> texts = {
        "",
        "Null",
        "USA. NIST, Gaithersburg, Maryland - 1\n129.6.15.28\n0 0.000",
        "\"quoted\" and \\backslash\\",
        "line\r\nfeeds\n\n",
        "\ttab and  trailing blanks  ",
        "Zürich — 東京 ✓",
        "= ; # [Section] hex:00",
        "14",
        "-7",
        std::string("nul\0inside", 10),
        "\x01\x1f\x7f",
        "not UTF-8: \xff\xfe \xc3",
    };
    const std::vector<int32_t> numbers = {0, 1, -1, INT32_MIN, INT32_MAX, 172};
    std::vector<std::vector<uint8_t>> blocks = {{}, {0}, {0xff, 0x00, 0x7f}};
    blocks.emplace_back();
    for (int i = 0; i < 256; ++i) {
        blocks.back().push_back(static_cast<uint8_t>(i));
    }

    ProfileStore::Batch batch(m_store);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        batch.WriteString("Texts", "s" + std::to_string(i), texts[i]);
    }
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        batch.WriteInt("Numbers", "n" + std::to_string(i), numbers[i]);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        batch.WriteBinary("Blocks", "b" + std::to_string(i), blocks[i].data(), blocks[i].size());
    }
    ASSERT_TRUE(batch.Commit());

    const auto reopened = Reopen();
    for (const ProfileStore* store : {&m_store, reopened.get()}) {
        for (std::size_t i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(store->ReadString("Texts", "s" + std::to_string(i), "default"), texts[i]) << i;
        }
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            EXPECT_EQ(store->ReadInt("Numbers", "n" + std::to_string(i), 99), numbers[i]) << i;
        }
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(store->ReadBinary("Blocks", "b" + std::to_string(i)), blocks[i]) << i;
        }
    }
}

TEST_F(ProfileStoreTest, ValuesKeepTheirKinds) {
    const uint8_t four[] = {1, 0, 0, 0};
    ProfileStore::Batch batch(m_store);
    batch.WriteInt("S", "int", 14);
    batch.WriteString("S", "numberText", "14");
    batch.WriteString("S", "text", "abc");
    batch.WriteBinary("S", "block", four, sizeof four);
    ASSERT_TRUE(batch.Commit());

    const auto store = Reopen();
    EXPECT_EQ(store->ReadInt("S", "numberText", 5), 5);
    EXPECT_EQ(store->ReadInt("S", "text", 5), 5);
    EXPECT_EQ(store->ReadInt("S", "block", 5), 5);
    EXPECT_EQ(store->ReadString("S", "int", "d"), "d");
    EXPECT_EQ(store->ReadString("S", "block", "d"), "d");
    EXPECT_EQ(store->ReadBinary("S", "int"), std::nullopt);
    EXPECT_EQ(store->ReadBinary("S", "text"), std::nullopt);
    EXPECT_EQ(store->ReadInt("Other", "int", 5), 5);
    EXPECT_EQ(store->ReadInt("S", "missing", 5), 5);
}

TEST_F(ProfileStoreTest, HandEditedFileReadsTheWayItLooks) {
    TempFolder::WriteFile(FilePath(),
                          "; written by hand\r\n"
                          "[Options]\r\n"
                          "  nMaxDays = 30  \r\n"
                          "nOffset=4294967295\n"
                          "nTimeOut=+300\n"
                          "nBig=99999999999\n"
                          "sConnectStatus=Null\n"
                          "sQuoted=\"a, b\"\n"
                          "# a comment\n"
                          "[ Servers ]\n"
                          "Servers 0=\"x\\ny\\n0 0.000\"\n"
                          "Servers_Counter=1\n");
    EXPECT_EQ(m_store.ReadInt("Options", "nMaxDays", 14), 30);
    EXPECT_EQ(m_store.ReadInt("Options", "nOffset", 0), -1);
    EXPECT_EQ(m_store.ReadInt("Options", "nTimeOut", 20), 300);
    EXPECT_EQ(m_store.ReadInt("Options", "nBig", 7), 7);
    EXPECT_EQ(m_store.ReadString("Options", "nBig", ""), "99999999999");
    EXPECT_EQ(m_store.ReadString("Options", "sConnectStatus", ""), "Null");
    EXPECT_EQ(m_store.ReadString("Options", "sQuoted", ""), "a, b");
    EXPECT_EQ(m_store.ReadString("Servers", "Servers 0", ""), "x\ny\n0 0.000");
    EXPECT_EQ(m_store.ReadInt("Servers", "Servers_Counter", 0), 1);

    // A whole file is rewritten without a copy aside.
    EXPECT_TRUE(m_store.WriteInt("Options", "nMaxDiff", 5));
    EXPECT_EQ(FilesInFolder(), std::set<std::string>{"Tidewell.conf"});
    EXPECT_EQ(Reopen()->ReadString("Options", "sConnectStatus", ""), "Null");
}

TEST_F(ProfileStoreTest, BrokenFilesGiveWhatCanBeReadAndAreKeptBeforeTheFirstWrite) {
    struct Case {
        const char* name;
        std::string content;
        bool damaged;
        int32_t nMaxDays;  // what a read gives, default 14
    };
    std::string binary;
    for (int i = 0; i < 512; ++i) {
        binary += static_cast<char>((i * 151) & 0xff);
    }
    const Case cases[] = {
        {"empty", "", false, 14},
        {"blank lines", "\n\n  \n", false, 14},
        {"binary", binary, true, 14},
        {"binary after a good line", "[Options]\nnMaxDays=3\n" + binary, true, 3},
        {"cut inside a quoted text", "[Options]\nnMaxDays=3\nsConnectStatus=\"Success synchro", true, 3},
        {"cut inside a block", "[Options]\nnMaxDays=3\nTimeZoneInfo=hex:c4ffff0", true, 3},
        {"cut inside a name", "[Options]\nnMaxDays=3\nnMaxDi", true, 3},
        {"cut inside a section", "[Options]\nnMaxDays=3\n[Serv", true, 3},
        {"value before any section", "nMaxDays=3\n[Options]\n", true, 14},
        {"bad escape", "[Options]\nsConnectStatus=\"\\q\"\nnMaxDays=4\n", true, 4},
        {"junk after a quote", "[Options]\nsConnectStatus=\"a\" b\nnMaxDays=4\n", true, 4},
        {"not UTF-8", "[Options]\nsConnectStatus=\xff\xfe\nnMaxDays=4\n", true, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const std::string path = folder.Path() + "/Quorvane/Tidewell.conf";
        TempFolder::WriteFile(path, c.content);
        ProfileStore store(folder.Path());
        store.RegisterMakerKey("Quorvane");
        EXPECT_EQ(store.ReadInt("Options", "nMaxDays", 14), c.nMaxDays);

        ASSERT_TRUE(store.WriteString("Options", "sConnectStatus", "new"));
        ASSERT_TRUE(store.WriteInt("Options", "nMaxDiff", 1));
        std::vector<std::string> copies;
        for (const auto& entry : fs::directory_iterator(folder.Path() + "/Quorvane")) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("Tidewell.conf.damaged-")) {
                copies.push_back(entry.path().string());
            }
        }
        // One copy, made before the first write, byte for byte the damaged file.
        ASSERT_EQ(copies.size(), c.damaged ? 1u : 0u);
        if (c.damaged) {
            EXPECT_EQ(TempFolder::ReadFile(copies[0]), c.content);
        }
        ProfileStore reopened(folder.Path());
        reopened.RegisterMakerKey("Quorvane");
        EXPECT_EQ(reopened.ReadString("Options", "sConnectStatus", ""), "new");
        EXPECT_EQ(reopened.ReadInt("Options", "nMaxDays", 14), c.nMaxDays);
    }
}

// A byte-order mark is skipped. Files not read as settings give the defaults,
// count as a stored file all the same, and are kept aside unread (the very
// file) before the first write puts a fresh file (mode 0600) in their place,
// which the next start reads; a passing failure to read keeps the file and
// refuses writes.
TEST_F(ProfileStoreTest, FilesNotReadAreKeptAsideUnread) {
    const std::string good = "[Options]\nnMaxDays=3\n";
    struct Case {
        const char* name;
        std::string content;  // "": a FIFO
        int failOpens;
        int32_t nMaxDays;
        bool replaced;
        mode_t mode = 0644;
    };
    const Case cases[] = {
        {"byte-order mark", "\xEF\xBB\xBF" + good, 0, 3, true},
        {"FIFO", "", 0, 14, true},
        {"larger than 4 MiB", good + ";" + std::string(4 << 20, 'x') + "\n", 0, 14, true},
        // Root reads any mode: the refusal is simulated as well.
        {"may not be read", good, EACCES, 14, true, 0},
        {"may only be written", good, EACCES, 14, true, 0200},
        {"no file descriptor left", good, EMFILE, 14, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const std::string path = folder.Path() + "/Quorvane/Tidewell.conf";
        fs::create_directories(folder.Path() + "/Quorvane");
        if (c.content.empty()) {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        } else {
            TempFolder::WriteFile(path, c.content);
            ::chmod(path.c_str(), c.mode);
        }
        struct stat before {};
        ::stat(path.c_str(), &before);
        ProfileStore store(folder.Path());
        store.RegisterMakerKey("Quorvane");
        store.FailOpensForTesting(c.failOpens);
        EXPECT_TRUE(store.HasFile());
        EXPECT_EQ(store.ReadInt("Options", "nMaxDays", 14), c.nMaxDays);
        EXPECT_EQ(store.WriteInt("Options", "nMaxDiff", 1), c.replaced);
        std::set<ino_t> kept;
        for (const auto& entry : fs::directory_iterator(folder.Path() + "/Quorvane")) {
            struct stat st {};
            if (entry.path().filename().string().starts_with("Tidewell.conf.damaged-") &&
                ::stat(entry.path().c_str(), &st) == 0) {
                kept.insert(st.st_ino);
            }
        }
        const bool damaged = c.replaced && c.nMaxDays == 14;
        EXPECT_EQ(kept, damaged ? std::set<ino_t>{before.st_ino} : std::set<ino_t>{});
        if (damaged) {
            struct stat after {};
            ASSERT_EQ(::lstat(path.c_str(), &after), 0);
            EXPECT_EQ(after.st_mode, S_IFREG | 0600);
            ProfileStore next(folder.Path());
            next.RegisterMakerKey("Quorvane");
            EXPECT_EQ(next.ReadInt("Options", "nMaxDiff", 0), 1);
        }
    }
    TempFolder empty;
    ProfileStore none(empty.Path());
    none.RegisterMakerKey("Quorvane");
    EXPECT_FALSE(none.HasFile());
}

TEST_F(ProfileStoreTest, FailedWriteChangesNothing) {
    ASSERT_TRUE(m_store.WriteInt("Options", "nMaxDays", 3));
    const std::string before = TempFolder::ReadFile(FilePath());

    m_store.FailWritesForTesting(true);
    ProfileStore::Batch batch(m_store);
    batch.WriteInt("Options", "nMaxDays", 4);
    batch.WriteString("Servers", "Servers 0", "x");
    EXPECT_FALSE(batch.Commit());
    m_store.FailWritesForTesting(false);

    EXPECT_EQ(TempFolder::ReadFile(FilePath()), before);
    EXPECT_EQ(FilesInFolder(), std::set<std::string>{"Tidewell.conf"});
    EXPECT_EQ(m_store.ReadInt("Options", "nMaxDays", 14), 3);
    EXPECT_EQ(m_store.ReadString("Servers", "Servers 0", ""), "");
    EXPECT_EQ(Reopen()->ReadInt("Options", "nMaxDays", 14), 3);
}

TEST_F(ProfileStoreTest, WriteCutShortByAFullDiskLeavesTheOldFileWhole) {
    ASSERT_TRUE(m_store.WriteInt("Options", "nMaxDays", 3));
    const std::string before = TempFolder::ReadFile(FilePath());

    // Files may not grow past 1 KiB: the new file, ten times that, cannot be written.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ProfileStore::Batch batch(m_store);
    batch.WriteInt("Options", "nMaxDays", 4);
    batch.WriteString("Options", "sLong", std::string(10000, 'x'));
    const bool written = batch.Commit();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(TempFolder::ReadFile(FilePath()), before);
    EXPECT_EQ(FilesInFolder(), std::set<std::string>{"Tidewell.conf"});
    EXPECT_EQ(m_store.ReadInt("Options", "nMaxDays", 14), 3);
    EXPECT_EQ(Reopen()->ReadInt("Options", "nMaxDays", 14), 3);
}

TEST_F(ProfileStoreTest, UnusableLocationsGiveDefaultsAndFailingWrites) {
    struct Case {
        const char* name;
        void (*prepare)(const std::string& folder);
    };
    const Case cases[] = {
        // The maker's folder cannot be made: a file stands in its place.
        {"maker folder is a file", [](const std::string& f) { TempFolder::WriteFile(f + "/Quorvane", "x"); }},
        // The settings file cannot be read or replaced.
        {"settings file is a folder",
         [](const std::string& f) { fs::create_directories(f + "/Quorvane/Tidewell.conf/x"); }},
        {"config folder missing", [](const std::string& f) { fs::remove_all(f); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const std::string root = folder.Path() + "/config";
        fs::create_directories(root);
        c.prepare(root);
        ProfileStore store(root);
        store.RegisterMakerKey("Quorvane");
        EXPECT_EQ(store.ReadInt("Options", "nMaxDays", 14), 14);
        EXPECT_TRUE(store.IsEmpty());
        const bool written = store.WriteInt("Options", "nMaxDays", 3);
        EXPECT_EQ(store.ReadInt("Options", "nMaxDays", 14), written ? 3 : 14);
        EXPECT_EQ(written, std::string(c.name) == "config folder missing");
    }
}

TEST_F(ProfileStoreTest, NothingIsStoredBeforeTheMakerKeyIsRegistered) {
    TempFolder folder;
    ProfileStore store(folder.Path());
    EXPECT_EQ(store.FilePath(), "");
    EXPECT_FALSE(store.WriteInt("Options", "nMaxDays", 3));
    EXPECT_EQ(store.ReadInt("Options", "nMaxDays", 14), 14);
    EXPECT_TRUE(fs::is_empty(folder.Path()));

    store.RegisterMakerKey("Quorvane");
    EXPECT_EQ(store.FilePath(), folder.Path() + "/Quorvane/Tidewell.conf");
    EXPECT_TRUE(store.WriteInt("Options", "nMaxDays", 3));
    EXPECT_TRUE(fs::exists(store.FilePath()));
}

TEST_F(ProfileStoreTest, OddNamesAreRefusedWholeBatchAndAll) {
    for (const char* entry : {"", "a=b", " lead", "line\nfeed", "[x", ";x"}) {
        ProfileStore::Batch batch(m_store);
        batch.WriteInt("Options", "fine", 1);
        batch.WriteInt("Options", entry, 1);
        EXPECT_FALSE(batch.Commit()) << entry;
    }
    EXPECT_FALSE(m_store.WriteInt("Op]tions", "x", 1));
    EXPECT_TRUE(m_store.IsEmpty());
}

TEST_F(ProfileStoreTest, ConcurrentSavesAreNeitherLostNorTorn) {
    // Two threads on one store, and a second store on the same file as another
    // copy of the program would be: every batch lands whole, none is lost.
    const auto other = Reopen();
    constexpr int kRounds = 25;
    auto writer = [](ProfileStore* store, const std::string& section, int* failures) {
        for (int i = 0; i < kRounds; ++i) {
            ProfileStore::Batch batch(*store);
            batch.WriteInt(section, "k" + std::to_string(i), i);
            batch.WriteInt(section, "last", i);
            batch.WriteInt(section, "lastToo", i);
            if (!batch.Commit()) {
                ++*failures;
            }
            // Only this thread writes its section: it reads back what it wrote.
            if (store->ReadInt(section, "last", -1) != i || store->ReadInt(section, "lastToo", -1) != i) {
                ++*failures;
            }
        }
    };
    int failures[3] = {};
    std::thread a(writer, &m_store, "A", &failures[0]);
    std::thread b(writer, &m_store, "B", &failures[1]);
    std::thread c(writer, other.get(), "C", &failures[2]);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures[0] + failures[1] + failures[2], 0);

    const auto store = Reopen();
    for (const char* section : {"A", "B", "C"}) {
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_EQ(store->ReadInt(section, "k" + std::to_string(i), -1), i) << section << i;
        }
        EXPECT_EQ(store->ReadInt(section, "last", -1), kRounds - 1);
    }
    EXPECT_EQ(FilesInFolder(), std::set<std::string>{"Tidewell.conf"});
}

}  // namespace
