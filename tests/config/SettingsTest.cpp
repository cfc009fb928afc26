#include "config/Settings.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "config/DefaultServers.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TempSettings.h"

namespace {

TIME_ZONE_INFORMATION SampleZone() {
    TIME_ZONE_INFORMATION zone;
    zone.Bias = -60;
    const std::u16string standard = u"CET";
    const std::u16string daylight = u"CEST";
    std::copy(standard.begin(), standard.end(), zone.StandardName.begin());
    std::copy(daylight.begin(), daylight.end(), zone.DaylightName.begin());
    zone.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
    zone.DaylightDate = {0, 3, 0, 5, 2, 0, 0, 0};
    zone.DaylightBias = -60;
    return zone;
}

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() { m_store.RegisterMakerKey("Quorvane"); }

    std::unique_ptr<ProfileStore> Reopen() const {
        auto store = std::make_unique<ProfileStore>(m_folder.Path());
        store->RegisterMakerKey("Quorvane");
        return store;
    }
    void Store(const std::function<void(ProfileStore::Batch&)>& fill) {
        ProfileStore::Batch batch(m_store);
        fill(batch);
        ASSERT_TRUE(batch.Commit());
    }

    TempFolder m_folder;
    ProfileStore m_store{m_folder.Path()};
};

TEST_F(SettingsTest, EmptyStoreLoadsTheDefaultsAndStoresTheDefaultServers) {
    Settings settings(m_store);
    LastAttempt last{{1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}, "x"};
    settings.LoadAll(last);
    EXPECT_EQ(last, (LastAttempt{{}, {}, {}, "Null"}));
    EXPECT_EQ(settings.bFirstStart, 1);
    EXPECT_EQ(settings.nTimeOut, 20);
    EXPECT_EQ(settings.nMaxDays, 14);
    EXPECT_EQ(settings.nStartingServ, 0);
    EXPECT_EQ(settings.startZone, TIME_ZONE_INFORMATION{});
    EXPECT_EQ(settings.startZoneName, "");
    ASSERT_EQ(settings.servers.GetSize(), 18u);

    const auto store = Reopen();
    EXPECT_EQ(store->ReadInt("Servers", "Servers_Counter", 0), 18);
    EXPECT_EQ(store->ReadString("Servers", "Servers 0", ""),
              "USA. NIST, Gaithersburg, Maryland - 1\n129.6.15.28\n0 0.000");
    // Nothing was stored, so there was nothing to keep aside.
    EXPECT_TRUE(store->EntryNames(settings.BrokenServersSection()).empty());
    // Options are not written by a load.
    EXPECT_EQ(store->ReadInt("Options", "nMaxDays", -1), -1);
}

TEST_F(SettingsTest, LoadRules) {
    struct Case {
        const char* name;
        std::function<void(ProfileStore::Batch&)> fill;
        std::function<void(const Settings&)> check;
    };
    const auto opt = [](ProfileStore::Batch& b, const char* name, int32_t v) {
        b.WriteInt("Options", name, v);
    };
    const Case cases[] = {
        {"time-out 3", [&](auto& b) { opt(b, "nTimeOut", 3); },
         [](const Settings& s) { EXPECT_EQ(s.nTimeOut, 20); }},
        {"time-out 19", [&](auto& b) { opt(b, "nTimeOut", 19); },
         [](const Settings& s) { EXPECT_EQ(s.nTimeOut, 20); }},
        {"time-out 301", [&](auto& b) { opt(b, "nTimeOut", 301); },
         [](const Settings& s) { EXPECT_EQ(s.nTimeOut, 20); }},
        {"time-out 300", [&](auto& b) { opt(b, "nTimeOut", 300); },
         [](const Settings& s) { EXPECT_EQ(s.nTimeOut, 300); }},
        {"hourly clears exit-after",
         [&](auto& b) {
             opt(b, "nSynPeriod", 2);
             opt(b, "bExitAfter", 1);
         },
         [](const Settings& s) {
             EXPECT_EQ(s.nSynPeriod, 2);
             EXPECT_EQ(s.bExitAfter, 0);
         }},
        {"never clears exit-after",
         [&](auto& b) {
             opt(b, "nSynPeriod", 3);
             opt(b, "bExitAfter", 1);
         },
         [](const Settings& s) { EXPECT_EQ(s.bExitAfter, 0); }},
        {"period 7 becomes daily, exit-after stays",
         [&](auto& b) {
             opt(b, "nSynPeriod", 7);
             opt(b, "bExitAfter", 1);
         },
         [](const Settings& s) {
             EXPECT_EQ(s.nSynPeriod, 0);
             EXPECT_EQ(s.bExitAfter, 1);
         }},
        {"period -1", [&](auto& b) { opt(b, "nSynPeriod", -1); },
         [](const Settings& s) { EXPECT_EQ(s.nSynPeriod, 0); }},
        {"starting server 25", [&](auto& b) { opt(b, "nStartingServ", 25); },
         [](const Settings& s) { EXPECT_EQ(s.nStartingServ, 0); }},
        {"starting server -1", [&](auto& b) { opt(b, "nStartingServ", -1); },
         [](const Settings& s) { EXPECT_EQ(s.nStartingServ, 0); }},
        {"starting server 17", [&](auto& b) { opt(b, "nStartingServ", 17); },
         [](const Settings& s) { EXPECT_EQ(s.nStartingServ, 17); }},
        {"zone of 100 bytes",
         [](auto& b) {
             const std::vector<uint8_t> z(100, 7);
             b.WriteBinary("Options", "TimeZoneInfo", z.data(), z.size());
         },
         [](const Settings& s) { EXPECT_EQ(s.startZone, SampleZone()); }},
        {"zone as a text", [](auto& b) { b.WriteString("Options", "TimeZoneInfo", std::string(172, 'x')); },
         [](const Settings& s) { EXPECT_EQ(s.startZone, SampleZone()); }},
        {"values of the wrong kind take the defaults",
         [](auto& b) {
             b.WriteString("Options", "nMaxDays", "30");
             b.WriteString("Options", "bFirstStart", "0");
             const uint8_t four[] = {9, 0, 0, 0};
             b.WriteBinary("Options", "nOffset", four, 4);
         },
         [](const Settings& s) {
             EXPECT_EQ(s.nMaxDays, 14);
             EXPECT_EQ(s.bFirstStart, 1);
             EXPECT_EQ(s.nOffset, 0);
         }},
        {"negative offset", [&](auto& b) { opt(b, "nOffset", -90); },
         [](const Settings& s) { EXPECT_EQ(s.nOffset, -90); }},
        // Nothing the Options dialog would refuse loads: each value one past
        // its range takes the load default, the range's ends are kept.
        {"values outside the dialog's ranges",
         [&](auto& b) {
             opt(b, "nOffset", -631152000);
             opt(b, "nMaxDays", 46);
             opt(b, "nMaxDiff", -1);
             opt(b, "bShowIcon", 2);
             opt(b, "bExitAfter", -1);
             opt(b, "bFirstStart", 5);
         },
         [](const Settings& s) {
             EXPECT_EQ(s.nOffset, 0);
             EXPECT_EQ(s.nMaxDays, 14);
             EXPECT_EQ(s.nMaxDiff, 61);
             EXPECT_EQ(s.bShowIcon, 1);
             EXPECT_EQ(s.bExitAfter, 1);
             EXPECT_EQ(s.bFirstStart, 1);
         }},
        {"offsets just past ten minutes and 59 seconds", [&](auto& b) { opt(b, "nOffset", 660); },
         [](const Settings& s) { EXPECT_EQ(s.nOffset, 0); }},
        {"the ends of the ranges",
         [&](auto& b) {
             opt(b, "nOffset", -659);
             opt(b, "nMaxDays", 45);
             opt(b, "nMaxDiff", 1000000);
         },
         [](const Settings& s) {
             EXPECT_EQ(s.nOffset, -659);
             EXPECT_EQ(s.nMaxDays, 45);
             EXPECT_EQ(s.nMaxDiff, 1000000);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        ProfileStore store(folder.Path());
        store.RegisterMakerKey("Quorvane");
        ProfileStore::Batch batch(store);
        c.fill(batch);
        ASSERT_TRUE(batch.Commit());
        const std::string before = TempFolder::ReadFile(store.FilePath());

        Settings settings(store);
        settings.startZone = SampleZone();
        LastAttempt last;
        settings.LoadAll(last);
        c.check(settings);
        // Corrections are made in memory only; the options stay as stored.
        const std::string after = TempFolder::ReadFile(store.FilePath());
        EXPECT_EQ(after.substr(0, before.size()), before) << "options rewritten by a load";
    }
}

TEST_F(SettingsTest, OptionsAndLastAttemptRoundTrip) {
    Settings settings(m_store);
    settings.nSynPeriod = 1;
    settings.bShowIcon = 0;
    settings.bExitAfter = 0;
    settings.nOffset = -600;
    settings.nMaxDays = 0;
    settings.nMaxDiff = 5;
    settings.nTimeOut = 45;
    settings.bFirstStart = 0;
    settings.startZone = SampleZone();
    settings.startZoneName = "Europe/Berlin";
    settings.RestoreDefaultServers();
    settings.nStartingServ = 12;
    ASSERT_TRUE(settings.SaveServers());
    ASSERT_TRUE(settings.SaveOptions());
    const LastAttempt saved{{2024, 3, 5, 1, 23, 59, 58, 999},
                            {2024, 3, 5, 1, 0, 0, 1, 7},
                            {2024, 12, 5, 31, 1, 2, 3, 4},
                            "Success synchro: Mär. 31, 2024. Net delay: 0.123 sec.\n«ok»"};
    ASSERT_TRUE(settings.SaveLastAttempt(saved));

    const auto store = Reopen();
    Settings loaded(*store);
    LastAttempt last;
    loaded.LoadAll(last);
    EXPECT_EQ(loaded.nSynPeriod, 1);
    EXPECT_EQ(loaded.bShowIcon, 0);
    EXPECT_EQ(loaded.bExitAfter, 0);
    EXPECT_EQ(loaded.nOffset, -600);
    EXPECT_EQ(loaded.nMaxDays, 0);
    EXPECT_EQ(loaded.nMaxDiff, 5);
    EXPECT_EQ(loaded.nTimeOut, 45);
    EXPECT_EQ(loaded.bFirstStart, 0);
    EXPECT_EQ(loaded.nStartingServ, 12);
    EXPECT_EQ(loaded.startZone, SampleZone());
    EXPECT_EQ(loaded.startZoneName, "Europe/Berlin");
    // Only the clock fields of the two times and the date of syncDate are kept.
    EXPECT_EQ(last.timeBefore, (SYSTEMTIME{0, 0, 0, 0, 23, 59, 58, 999}));
    EXPECT_EQ(last.timeAfter, (SYSTEMTIME{0, 0, 0, 0, 0, 0, 1, 7}));
    EXPECT_EQ(last.syncDate, (SYSTEMTIME{2024, 12, 0, 31, 0, 0, 0, 0}));
    EXPECT_EQ(last.statusText, saved.statusText);
    EXPECT_EQ(store->ReadInt("Options", "nOffset", 0), -600);
}

TEST_F(SettingsTest, TimeFieldsAreReadBackTruncatedTo16Bits) {
    Store([](ProfileStore::Batch& b) {
        b.WriteInt("Options", "nSynYear", 70000);
        b.WriteInt("Options", "nOldHour", -1);
    });
    Settings settings(m_store);
    LastAttempt last;
    settings.LoadAll(last);
    EXPECT_EQ(last.syncDate.wYear, 70000 % 65536);
    EXPECT_EQ(last.timeBefore.wHour, 65535);
}

TEST_F(SettingsTest, FirstStartStoresEverythingInOneWrite) {
    // Whatever was stored before is overwritten by the built-in values.
    Store([](ProfileStore::Batch& b) {
        b.WriteInt("Options", "bFirstStart", 1);
        b.WriteInt("Options", "nStartingServ", 9);
    });
    Settings settings(m_store);
    settings.startZone = SampleZone();
    ASSERT_TRUE(settings.SaveFirstStart());

    const auto store = Reopen();
    EXPECT_EQ(store->ReadInt("Options", "bFirstStart", -1), 0);
    EXPECT_EQ(store->ReadInt("Options", "nStartingServ", -1), 0);
    EXPECT_EQ(store->ReadInt("Options", "nMaxDiff", -1), 61);
    EXPECT_EQ(store->ReadBinary("Options", "TimeZoneInfo"), EncodeTimeZoneInformation(SampleZone()));
    EXPECT_EQ(store->ReadInt("Servers", "Servers_Counter", 0), 18);

    // A first start whose write fails leaves nothing behind: the next start is a first start again.
    TempFolder other;
    ProfileStore failing(other.Path());
    failing.RegisterMakerKey("Quorvane");
    failing.FailWritesForTesting(true);
    Settings again(failing);
    EXPECT_FALSE(again.SaveFirstStart());
    EXPECT_TRUE(failing.IsEmpty());
}

TEST_F(SettingsTest, BrokenListIsKeptAsideBeforeTheDefaultsReplaceIt) {
    Store([](ProfileStore::Batch& b) {
        b.WriteInt("Servers", "Servers_Counter", 3);
        b.WriteString("Servers", "Servers 0", "Mine\nmy.example\n1 0.250");
        b.WriteString("Servers", "Servers 2", "Also mine, \"quoted\"\n10.0.0.1\n1 0.000");
        b.WriteInt("Options", "nStartingServ", 2);
    });
    Settings settings(m_store);
    LastAttempt last;
    settings.LoadAll(last);
    ASSERT_EQ(settings.servers.GetSize(), 18u);
    EXPECT_EQ(settings.nStartingServ, 2);

    const auto store = Reopen();
    const std::string broken = settings.BrokenServersSection();
    EXPECT_EQ(broken, "Servers.broken");
    EXPECT_EQ(store->EntryNames(broken),
              (std::vector<std::string>{"Servers_Counter", "Servers 0", "Servers 2"}));
    EXPECT_EQ(store->ReadInt(broken, "Servers_Counter", 0), 3);
    EXPECT_EQ(store->ReadString(broken, "Servers 0", ""), "Mine\nmy.example\n1 0.250");
    EXPECT_EQ(store->ReadString(broken, "Servers 2", ""), "Also mine, \"quoted\"\n10.0.0.1\n1 0.000");
    EXPECT_EQ(store->ReadInt("Servers", "Servers_Counter", 0), 18);

    // The next start finds a whole list and keeps the backup as it is.
    Settings next(*store);
    next.LoadAll(last);
    EXPECT_EQ(Reopen()->ReadString(broken, "Servers 0", ""), "Mine\nmy.example\n1 0.250");

    // Each later breakage keeps its own backup beside the earlier ones.
    for (const char* mine : {"Second\nb.example\n1 0.000", "Third\nc.example\n1 0.000"}) {
        Store([&](ProfileStore::Batch& b) {
            b.WriteString("Servers", "Servers 0", mine);
            b.WriteString("Servers", "Servers 1", "");
        });
        Settings(m_store).LoadAll(last);
    }
    EXPECT_EQ(Reopen()->ReadString(broken, "Servers 0", ""), "Mine\nmy.example\n1 0.250");
    EXPECT_EQ(Reopen()->ReadString("Servers.broken.2", "Servers 0", ""), "Second\nb.example\n1 0.000");
    EXPECT_EQ(Reopen()->ReadString("Servers.broken.3", "Servers 0", ""), "Third\nc.example\n1 0.000");
}

TEST_F(SettingsTest, RestoreDefaultServersKeepsTheUsersOwnFirst) {
    Settings settings(m_store);
    settings.servers.Add(CServer("user A", "a", 1));
    settings.servers.Add(CServer("program X", "x", 0));
    settings.servers.Add(CServer("program Y", "y", 0));
    settings.servers.Add(CServer("user B", "b", 5));
    settings.RestoreDefaultServers();
    ASSERT_EQ(settings.servers.GetSize(), 20u);
    EXPECT_EQ(settings.servers[0].title, "user A");
    EXPECT_EQ(settings.servers[1].title, "user B");
    for (std::size_t i = 0; i < 18; ++i) {
        EXPECT_EQ(settings.servers[i + 2], DefaultServers()[i]);
    }
    std::vector<CServer> once(settings.servers.begin(), settings.servers.end());
    settings.RestoreDefaultServers();
    EXPECT_EQ(std::vector<CServer>(settings.servers.begin(), settings.servers.end()), once);
    EXPECT_TRUE(m_store.IsEmpty());
}

TEST_F(SettingsTest, DefaultServersHaveTheFormsOfTheTable) {
    const auto& servers = DefaultServers();
    ASSERT_EQ(servers.size(), 18u);
    EXPECT_EQ(servers[0].title, "USA. NIST, Gaithersburg, Maryland - 1");
    EXPECT_EQ(servers[9].title, "Chile.     Universidad de Chile. Santiago");
    EXPECT_EQ(servers[17].title, "Switzerland. Integrated Systems Laboratory. Zurich");
    std::set<std::string> hosts;
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const CServer& s = servers[i];
        EXPECT_EQ(s.kind, 0);
        EXPECT_EQ(s.delay, 0.0);
        hosts.insert(s.host);
        in_addr address{};
        const bool dotted = inet_pton(AF_INET, s.host.c_str(), &address) == 1;
        // Rows 11, 15 and 16 carry host names, the others dotted addresses (row 15 may have either).
        if (i == 10 || i == 15) {
            EXPECT_FALSE(dotted) << s.title;
            EXPECT_NE(s.host.find('.'), std::string::npos) << s.title;
        } else if (i != 14) {
            EXPECT_TRUE(dotted) << s.title << ": " << s.host;
        }
    }
    EXPECT_EQ(hosts.size(), 18u) << "numbered servers are distinct machines";
}

TEST_F(SettingsTest, SetServersCopiesAndKeepsTheNames) {
    Settings settings(m_store);
    settings.servers.Add(CServer("old", "o", 0));
    CRegArray<CServer> copy("", "");
    copy.Add(CServer("new 1", "n1", 1));
    copy.Add(CServer("new 2", "n2", 0));
    settings.SetServers(copy);
    copy[0].title = "changed later";
    ASSERT_EQ(settings.servers.GetSize(), 2u);
    EXPECT_EQ(settings.servers[0].title, "new 1");
    EXPECT_EQ(settings.servers.Section(), "Servers");
    settings.SetServers(settings.servers);
    EXPECT_EQ(settings.servers.GetSize(), 2u);
}

TEST_F(SettingsTest, SyncIsOverdueAfterMoreThanMaxDaysWholeDays) {
    struct Case {
        int32_t maxDays;
        SYSTEMTIME syncDate;
        SYSTEMTIME localNow;
        bool overdue;
    };
    const SYSTEMTIME march1{2024, 3, 0, 1, 0, 0, 0, 0};
    const Case cases[] = {
        {14, march1, {2024, 3, 0, 15, 0, 0, 0, 0}, false},
        {14, march1, {2024, 3, 0, 15, 23, 59, 59, 999}, false},
        {14, march1, {2024, 3, 0, 16, 0, 0, 0, 0}, true},
        {14, march1, {2025, 1, 0, 1, 12, 0, 0, 0}, true},
        {0, march1, {2030, 1, 0, 1, 0, 0, 0, 0}, false},
        {14, {0, 3, 0, 1, 0, 0, 0, 0}, {2030, 1, 0, 1, 0, 0, 0, 0}, false},
        {14, {1899, 12, 0, 30, 0, 0, 0, 0}, {2030, 1, 0, 1, 0, 0, 0, 0}, false},
        // A date after today (the clock was put back): not overdue.
        {14, {2030, 1, 0, 1, 0, 0, 0, 0}, {2024, 3, 0, 16, 0, 0, 0, 0}, false},
        // A hand-edited date naming no day.
        {14, {2024, 13, 0, 1, 0, 0, 0, 0}, {2030, 1, 0, 1, 0, 0, 0, 0}, false},
    };
    Settings settings(m_store);
    for (const Case& c : cases) {
        settings.nMaxDays = c.maxDays;
        // Local time runs two hours ahead of UTC.
        FakeClock clock(AddSecondsTo(ClockFromSystemTime(c.localNow), -7200));
        clock.SetLocalOffset(7200);
        EXPECT_EQ(settings.IsSyncOverdue(c.syncDate, clock), c.overdue)
            << c.localNow.wYear << "-" << c.localNow.wMonth << "-" << c.localNow.wDay << " "
            << c.localNow.wHour;
    }
}

TEST_F(SettingsTest, UnwritableFolderGivesDefaultsInMemory) {
    TempFolder folder;
    TempFolder::WriteFile(folder.Path() + "/Quorvane", "a file where the folder should be");
    ProfileStore store(folder.Path());
    store.RegisterMakerKey("Quorvane");
    Settings settings(store);
    LastAttempt last;
    settings.LoadAll(last);
    EXPECT_EQ(settings.servers.GetSize(), 18u);
    EXPECT_EQ(last.statusText, "Null");
    EXPECT_FALSE(settings.SaveOptions());
    EXPECT_FALSE(settings.SaveLastAttempt(last));
    EXPECT_FALSE(settings.ResetServers());
}

TEST_F(SettingsTest, FailedSaveLeavesTheStoredOptions) {
    Settings settings(m_store);
    settings.nMaxDays = 3;
    ASSERT_TRUE(settings.SaveOptions());
    settings.nMaxDays = 4;
    m_store.FailWritesForTesting(true);
    EXPECT_FALSE(settings.SaveOptions());
    m_store.FailWritesForTesting(false);
    const auto store = Reopen();
    Settings loaded(*store);
    LastAttempt last;
    loaded.LoadAll(last);
    EXPECT_EQ(loaded.nMaxDays, 3);
}

TEST_F(SettingsTest, WorkerAndInterfaceSaveAtOnce) {
    Settings settings(m_store);
    settings.RestoreDefaultServers();
    constexpr int kRounds = 40;
    std::thread worker([&] {
        for (int i = 0; i < kRounds; ++i) {
            LastAttempt last;
            last.syncDate = {2024, 1, 0, static_cast<uint16_t>(1 + i % 28), 0, 0, 0, 0};
            last.statusText = "run " + std::to_string(i);
            settings.SaveLastAttempt(last);
            // The worker reads options the interface is changing.
            if (settings.nTimeOut < 5 || settings.bFirstStart != 0) {
                settings.bFirstStart = 0;
            }
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        settings.nOffset = i;
        settings.SaveOptions();
        settings.SaveServers();
    }
    worker.join();

    const auto store = Reopen();
    Settings loaded(*store);
    LastAttempt last;
    loaded.LoadAll(last);
    EXPECT_EQ(loaded.nOffset, kRounds - 1);
    EXPECT_EQ(last.statusText, "run " + std::to_string(kRounds - 1));
    EXPECT_EQ(loaded.servers.GetSize(), 18u);
}

}  // namespace

namespace {

// An administrator's file: internal servers, a locked list and time-out.
const char kSiteFile[] =
    "[Options]\nnTimeOut=40\nnMaxDays=3\nbOnlyNts=1\n[Servers]\nServers_Counter=2\n"
    "Servers 0=\"Time 1\\nnts://time1.example.internal\\n1 0.000\"\n"
    "Servers 1=\"Time 2\\nnts://time2.example.internal\\n0 0.000\"\n[Locked]\nKeys=nTimeOut, Servers\n";

std::vector<std::string> Hosts(const CRegArray<CServer>& list) {
    std::vector<std::string> hosts;
    for (const CServer& server : list) {
        hosts.push_back(server.host);
    }
    return hosts;
}

// What a site file gives: time-out, number of servers, locks, number of problems.
std::string Summary(const SiteDefaults& site) {
    const auto timeOut = site.Value(OptionRanges::kTimeOut);
    std::string summary = (timeOut ? std::to_string(*timeOut) : "-") + " " +
                          std::to_string(site.Servers() ? site.Servers()->size() : 0) + " [";
    for (const char* name : {"nTimeOut", "bShowIcon", "Servers", "nBogus"}) {
        summary += site.IsLocked(name) ? std::string(name) + " " : "";
    }
    return summary + "] " + std::to_string(site.Problems().size());
}

}  // namespace

TEST(SiteDefaultsTest, ReadsWhatCanBeUsedAndNamesEachPartThatCannot) {
    const std::pair<std::string, std::string> cases[] = {
        {kSiteFile, "40 2 [nTimeOut Servers ] 0"},
        {"[Options]\nnTimeOut=19\n[Locked]\nKeys=nTimeOut\n", "- 0 [nTimeOut ] 1"},  // out of range, locked
        {"[Options]\nnTimeOut=\"40\"\n", "- 0 [] 1"},
        {"[Locked]\nKeys=nTimeOut,,nBogus , bShowIcon\n", "- 0 [nTimeOut bShowIcon ] 1"},
        {"[Locked]\nKeys=12\n", "- 0 [] 1"},
        {"[Options]\nnTimeOut=40\ngarbage\n", "40 0 [] 1"},
        {"[Servers]\nServers_Counter=3\nServers 0=\"a\\nb\\n1 0\"\n", "- 0 [] 1"},
        {"[Options]\nKeys=nTimeOut\n", "- 0 [] 0"},
    };
    for (const auto& [text, summary] : cases) {
        TempFolder site;
        TempSettings::WriteSiteFile(site, text);
        EXPECT_EQ(Summary(SiteDefaults::Read({site.Path()})), summary) << text;
    }

    // The first folder with a file wins, even one that cannot be read.
    TempFolder none;
    TempFolder first;
    TempSettings::WriteSiteFile(first, kSiteFile);
    EXPECT_EQ(SiteDefaults::Read({none.Path(), first.Path()}).Servers()->at(0).kind, 0);  // the machine's own
    std::filesystem::create_directories(none / "Quorvane/Tidewell.conf");
    const SiteDefaults unreadable = SiteDefaults::Read({none.Path(), first.Path()});
    EXPECT_EQ(unreadable.Path(), none / "Quorvane/Tidewell.conf");
    EXPECT_EQ(unreadable.Problems(), std::vector<std::string>{"the file cannot be read; it is not used"});
}

TEST(SiteDefaultsTest, AFirstStartTakesTheSiteSettingsAndNoSaveStoresTheLockedOnes) {
    TempSettings temp;
    temp.UseSite(kSiteFile);
    Settings& s = temp.settings;
    s.ApplySiteDefaults();
    ASSERT_TRUE(s.SaveFirstStart());
    EXPECT_EQ(std::tie(s.nTimeOut, s.nMaxDays, s.bOnlyNts), std::tuple(40, 3, 1));
    const std::vector<std::string> siteHosts = {"nts://time1.example.internal",
                                                "nts://time2.example.internal"};
    EXPECT_EQ(Hosts(s.servers), siteHosts);

    // The user changes everything and saves.
    s.nTimeOut = 90;
    s.nMaxDays = 7;
    s.servers.Add({"Mine", "time.example.org", 1});
    s.nStartingServ = 1;
    ASSERT_TRUE(s.SaveOptions());
    ASSERT_TRUE(s.ResetServers());
    EXPECT_EQ(temp.StoredFile().find("nTimeOut"), std::string::npos);
    EXPECT_EQ(temp.StoredFile().find("Servers"), std::string::npos);
    auto reloaded = std::make_unique<Settings>(temp.store);
    reloaded->UseSite(SiteDefaults::Read({temp.siteFolder.Path()}));
    LastAttempt last;
    reloaded->LoadAll(last);
    EXPECT_EQ(std::tie(reloaded->nTimeOut, reloaded->nMaxDays, reloaded->nStartingServ),
              std::tuple(40, 7, 1));
    EXPECT_EQ(Hosts(reloaded->servers), siteHosts);
    // Restore Default gives the site's defaults and changes nothing locked.
    reloaded->SetDefaults();
    EXPECT_EQ(std::tie(reloaded->nTimeOut, reloaded->nMaxDays), std::tuple(40, 3));

    // An unlocked site list is the defaults: the user's own servers come first.
    temp.UseSite("[Servers]\nServers_Counter=1\nServers 0=\"Site\\nsite.example.internal\\n0 0\"\n");
    temp.settings.servers.Add({"Mine", "time.example.org", 1});
    temp.settings.RestoreDefaultServers();
    EXPECT_EQ(Hosts(temp.settings.servers),
              (std::vector<std::string>{"time.example.org", "site.example.internal"}));
}
