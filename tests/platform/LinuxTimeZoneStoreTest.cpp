#include "platform/LinuxTimeZoneStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/LastError.h"
#include "platform/TzifFile.h"
#include "platform/ZoneRecord.h"
#include "tests/support/FakeClock.h"
#include "tests/support/GlibcZone.h"
#include "tests/support/TempFolder.h"
#include "tests/support/ZoneRecords.h"

namespace {

ClockTime Utc(int64_t y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    return {DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s, 0};
}

std::string DataZone(const std::string& name) {
    return std::string(TIDEWELL_TEST_DATA_DIR) + "/zoneinfo/" + name;
}

class RecordingRunner final : public ZoneHelperRunner {
public:
    explicit RecordingRunner(std::vector<TIME_ZONE_INFORMATION>& runs, bool succeed = true,
                             std::vector<std::string>* names = nullptr)
        : m_runs(runs), m_succeed(succeed), m_names(names) {}
    bool Run(const TIME_ZONE_INFORMATION& record) override {
        m_runs.push_back(record);
        return m_succeed;
    }
    bool RunNamed(const std::string& name) override {
        if (m_names) {
            m_names->push_back(name);
        }
        return m_succeed;
    }

private:
    std::vector<TIME_ZONE_INFORMATION>& m_runs;
    bool m_succeed;
    std::vector<std::string>* m_names;
};

const std::string kDatabase = std::string(TIDEWELL_TEST_DATA_DIR) + "/zoneinfo";

// The zones kept in the test data, for tests that go through all of them.
const char* const kPinnedZones[] = {
    "Africa/Casablanca", "America/New_York", "America/Nuuk",  "America/Santiago", "Asia/Gaza",
    "Asia/Kolkata",      "Australia/Sydney", "Europe/Berlin", "Europe/Dublin",    "UTC"};

TEST(LinuxTimeZoneStoreTest, StatusFollowsTheClock) {
    const struct {
        const char* zone;
        ClockTime now;
        uint32_t status;
    } cases[] = {
        {"Europe/Berlin", Utc(2025, 7, 1), TIME_ZONE_ID_DAYLIGHT},
        {"Europe/Berlin", Utc(2025, 1, 15), TIME_ZONE_ID_STANDARD},
        {"Europe/Berlin", Utc(2025, 3, 30, 0, 59, 59), TIME_ZONE_ID_STANDARD},
        {"Europe/Berlin", Utc(2025, 3, 30, 1), TIME_ZONE_ID_DAYLIGHT},
        {"America/New_York", Utc(2025, 11, 2, 5, 59, 59), TIME_ZONE_ID_DAYLIGHT},
        {"America/New_York", Utc(2025, 11, 2, 6), TIME_ZONE_ID_STANDARD},
        {"Australia/Sydney", Utc(2025, 7, 1), TIME_ZONE_ID_STANDARD},
        {"Australia/Sydney", Utc(2026, 1, 15), TIME_ZONE_ID_DAYLIGHT},
        {"America/Nuuk", Utc(2025, 3, 30, 0, 59, 59), TIME_ZONE_ID_STANDARD},
        {"America/Nuuk", Utc(2025, 3, 30, 1), TIME_ZONE_ID_DAYLIGHT},
        // The database counts Irish summer time as standard time.
        {"Europe/Dublin", Utc(2025, 7, 1), TIME_ZONE_ID_STANDARD},
        {"Europe/Dublin", Utc(2025, 12, 1), TIME_ZONE_ID_DAYLIGHT},
        {"Asia/Kolkata", Utc(2025, 7, 1), TIME_ZONE_ID_UNKNOWN},
        {"UTC", Utc(2025, 7, 1), TIME_ZONE_ID_UNKNOWN},
    };
    for (const auto& c : cases) {
        FakeClock clock(c.now);
        const LinuxTimeZoneStore store(clock, DataZone(c.zone));
        EXPECT_EQ(store.query().status, c.status) << c.zone << " at " << c.now.seconds;
    }
}

TEST(LinuxTimeZoneStoreTest, ReadsTheRecordOfRealZones) {
    FakeClock clock(Utc(2025, 7, 1));
    const LinuxTimeZoneStore berlin(clock, DataZone("Europe/Berlin"));
    TIME_ZONE_INFORMATION expected;
    expected.Bias = -60;
    expected.StandardName = Name(u"CET");
    expected.StandardDate = Rule(10, 5, 0, 3);
    expected.DaylightName = Name(u"CEST");
    expected.DaylightDate = Rule(3, 5, 0, 2);
    expected.DaylightBias = -60;
    EXPECT_EQ(berlin.query().info, expected);

    const LinuxTimeZoneStore kolkata(clock, DataZone("Asia/Kolkata"));
    TIME_ZONE_INFORMATION noDst;
    noDst.Bias = -330;
    noDst.StandardName = Name(u"IST");
    EXPECT_EQ(kolkata.query().info, noDst);

    const LinuxTimeZoneStore nuuk(clock, DataZone("America/Nuuk"));
    EXPECT_EQ(nuuk.query().info.DaylightDate, Rule(3, 5, 6, 23));
}

TEST(LinuxTimeZoneStoreTest, AZoneThatCannotBeReadIsInvalidWithAZeroRecord) {
    TempFolder dir;
    std::vector<uint8_t> berlin;
    ASSERT_TRUE(ReadWholeFile(DataZone("Europe/Berlin"), kMaxTzifSize, berlin));
    ASSERT_TRUE(ReplaceFileAtomically(dir / "truncated", std::span(berlin).first(berlin.size() / 2)));
    ASSERT_TRUE(ReplaceFileAtomically(dir / "empty", std::span<const uint8_t>()));
    const std::string text = "CET-1CEST,M3.5.0,M10.5.0/3\n";
    ASSERT_TRUE(ReplaceFileAtomically(dir / "text",
                                      std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    FakeClock clock(Utc(2025, 7, 1));
    for (const std::string& path :
         {dir / "missing", dir / "truncated", dir / "empty", dir / "text", dir / "dangling", dir.Path()}) {
        const LinuxTimeZoneStore store(clock, path);
        EXPECT_EQ(store.query(), TimeZoneQuery{}) << path;
        EXPECT_EQ(store.query().status, TIME_ZONE_ID_INVALID);
    }
}

TEST(LinuxTimeZoneStoreTest, TheTzVariableDecidesWhatIsRead) {
    FakeClock clock(Utc(2025, 7, 1));
    const std::string berlin = DataZone("Europe/Berlin");
    setenv("TZDIR", (std::string(TIDEWELL_TEST_DATA_DIR) + "/zoneinfo").c_str(), 1);
    const struct {
        const char* tz;
        uint32_t status;
        int32_t bias;
    } cases[] = {
        {"", TIME_ZONE_ID_UNKNOWN, 0},
        {":America/New_York", TIME_ZONE_ID_DAYLIGHT, 300},
        {"Asia/Kolkata", TIME_ZONE_ID_UNKNOWN, -330},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", TIME_ZONE_ID_STANDARD, -600},
        {"../zoneinfo/UTC", TIME_ZONE_ID_INVALID, 0},
        {"No/Such_Zone", TIME_ZONE_ID_INVALID, 0},
    };
    for (const auto& c : cases) {
        // The zone path is not read when $TZ is set.
        const LinuxTimeZoneStore store(clock, berlin, nullptr, std::string(c.tz));
        EXPECT_EQ(store.query().status, c.status) << c.tz;
        EXPECT_EQ(store.query().info.Bias, c.bias) << c.tz;
    }
    const LinuxTimeZoneStore absolute(clock, "/nonexistent", nullptr, ":" + berlin);
    EXPECT_EQ(absolute.query().status, TIME_ZONE_ID_DAYLIGHT);
    unsetenv("TZDIR");
}

TEST(LinuxTimeZoneStoreTest, ApplyReplacesTheZoneAndTheNextQuerySeesIt) {
    TempFolder dir;
    const std::string zone = dir / "localtime";
    FakeClock clock(Utc(2025, 7, 1));
    LinuxTimeZoneStore store(clock, zone);
    ASSERT_TRUE(store.apply(EditorRecord()));
    EXPECT_EQ(store.query(), (TimeZoneQuery{TIME_ZONE_ID_DAYLIGHT, EditorRecord()}));
    struct stat st {};
    ASSERT_EQ(stat(zone.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    TIME_ZONE_INFORMATION allZero{};
    ASSERT_TRUE(store.apply(allZero));
    const TimeZoneQuery utc = store.query();
    EXPECT_EQ(utc.status, TIME_ZONE_ID_UNKNOWN);
    EXPECT_EQ(utc.info.Bias, 0);
    // Nothing is left beside the zone.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(LinuxTimeZoneStoreTest, ApplyReplacesALinkAndLeavesTheDatabaseAlone) {
    TempFolder dir;
    const std::string database = dir / "Berlin";
    std::filesystem::copy_file(DataZone("Europe/Berlin"), database);
    std::vector<uint8_t> before;
    ASSERT_TRUE(ReadWholeFile(database, kMaxTzifSize, before));
    const std::string zone = dir / "localtime";
    ASSERT_EQ(symlink(database.c_str(), zone.c_str()), 0);
    FakeClock clock(Utc(2025, 7, 1));
    LinuxTimeZoneStore store(clock, zone);
    ASSERT_TRUE(store.apply(EditorRecord()));

    EXPECT_FALSE(std::filesystem::is_symlink(zone));
    std::vector<uint8_t> after;
    ASSERT_TRUE(ReadWholeFile(database, kMaxTzifSize, after));
    EXPECT_EQ(after, before);
    EXPECT_EQ(store.query().info, EditorRecord());
}

TEST(LinuxTimeZoneStoreTest, ARefusedRecordChangesNothing) {
    TempFolder dir;
    const std::string zone = dir / "localtime";
    std::filesystem::copy_file(DataZone("Europe/Berlin"), zone);
    FakeClock clock(Utc(2025, 7, 1));
    std::vector<TIME_ZONE_INFORMATION> runs;
    LinuxTimeZoneStore store(clock, zone, std::make_unique<RecordingRunner>(runs));
    const TimeZoneQuery before = store.query();
    TIME_ZONE_INFORMATION bad = EditorRecord();
    bad.DaylightDate.wMonth = 13;
    EXPECT_FALSE(store.apply(bad));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_EQ(store.query(), before);
    EXPECT_TRUE(runs.empty());
    // A folder that is not there is no reason to ask for more rights.
    LinuxTimeZoneStore nowhere(clock, dir / "missing/localtime", std::make_unique<RecordingRunner>(runs));
    EXPECT_FALSE(nowhere.apply(EditorRecord()));
    EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ENOENT));
    EXPECT_TRUE(runs.empty());
}

// Runs body in a child process that has no right to write the folder, and returns its exit code.
template <typename Body>
int WithoutWriteRight(const std::string& folder, Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0) {
            chmod(folder.c_str(), 0755);
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(99);
            }
        } else {
            chmod(folder.c_str(), 0555);
        }
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod(folder.c_str(), 0700);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(LinuxTimeZoneStoreTest, WithoutTheRightTheHelperIsAsked) {
    TempFolder dir;
    const std::string zone = dir / "localtime";
    // The account the test drops to may not reach the checkout: the zone it
    // names is copied where that account can read it.
    const std::string database = dir / "zoneinfo";
    std::filesystem::create_directories(database + "/Europe");
    std::filesystem::copy_file(DataZone("Europe/Berlin"), database + "/Europe/Berlin");
    for (const std::string& path : {database, database + "/Europe", database + "/Europe/Berlin"}) {
        chmod(path.c_str(), path.ends_with("Berlin") ? 0644 : 0755);
    }
    const int code = WithoutWriteRight(dir.Path(), [&] {
        FakeClock clock(Utc(2025, 7, 1));
        std::vector<TIME_ZONE_INFORMATION> runs;
        LinuxTimeZoneStore store(clock, zone, std::make_unique<RecordingRunner>(runs));
        if (!store.apply(EditorRecord()) || runs.size() != 1 || runs[0] != EditorRecord()) {
            return 1;
        }
        std::vector<std::string> names;
        LinuxTimeZoneStore named(clock, zone, std::make_unique<RecordingRunner>(runs, true, &names),
                                 std::nullopt, database);
        if (!named.applyNamed("Europe/Berlin") || names != std::vector<std::string>{"Europe/Berlin"}) {
            return 4;
        }
        std::vector<TIME_ZONE_INFORMATION> refusedRuns;
        LinuxTimeZoneStore refused(clock, zone, std::make_unique<RecordingRunner>(refusedRuns, false));
        if (refused.apply(EditorRecord()) || GetLastError() != EACCES) {
            return 2;
        }
        LinuxTimeZoneStore noHelper(clock, zone);
        return noHelper.apply(EditorRecord()) ? 3 : 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(std::filesystem::exists(zone));
}

TEST(LinuxTimeZoneStoreTest, TheRunnerHandsTheRecordToTheCommandAndReadsItsExitCode) {
    TempFolder dir;
    const std::string received = dir / "received";
    PkexecZoneHelperRunner runner({"/bin/sh", "-c", "cat > \"$0\"", received});
    ASSERT_TRUE(runner.Run(EditorRecord()));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(ReadWholeFile(received, 1000, bytes));
    EXPECT_EQ(bytes, EncodeTimeZoneInformation(EditorRecord()));
    ASSERT_TRUE(runner.RunNamed("Europe/Berlin"));
    ASSERT_TRUE(ReadWholeFile(received, 1000, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "zone:Europe/Berlin");

    EXPECT_FALSE(PkexecZoneHelperRunner({"/bin/sh", "-c", "exit 126"}).Run(EditorRecord()));
    // A helper that never reads its input neither blocks nor kills the caller.
    EXPECT_FALSE(PkexecZoneHelperRunner({"/bin/sh", "-c", "exec 0<&-; exit 1"}).Run(EditorRecord()));
    EXPECT_FALSE(PkexecZoneHelperRunner({dir / "no-such-program"}).Run(EditorRecord()));
}

TEST(LinuxTimeZoneStoreTest, AnEditKeepsThePastOfTheZoneItReplaces) {
    const int64_t now = Utc(2026, 7, 1).seconds;
    for (const char* name :
         {"America/New_York", "Europe/Berlin", "Australia/Sydney", "Africa/Casablanca", "Asia/Gaza"}) {
        SCOPED_TRACE(name);
        TempFolder dir;
        const std::string zone = dir / "localtime";
        ASSERT_EQ(symlink(DataZone(name).c_str(), zone.c_str()), 0);
        FakeClock clock({now, 0});
        LinuxTimeZoneStore store(clock, zone);
        ASSERT_TRUE(store.apply(EditorRecord()));

        std::vector<uint8_t> bytes;
        ASSERT_TRUE(ReadWholeFile(DataZone(name), kMaxTzifSize, bytes));
        const auto original = ParseTzif(bytes);
        ASSERT_TRUE(original.has_value());
        const int64_t cut = StartOfLocalYear(*original, now);
        // Twice a day, and both sides of every change the zone made.
        std::vector<int64_t> samples;
        for (int64_t t = Utc(1900, 1, 1).seconds; t < cut; t += 12 * 3600 + 1) {
            samples.push_back(t);
        }
        for (const int64_t t : original->transitionsUtc) {
            if (t < cut) {
                samples.insert(samples.end(), {t - 1, t});
            }
        }
        std::vector<std::pair<long, bool>> before, after;
        {
            const GlibcZone glibc(DataZone(name));
            for (const int64_t t : samples) {
                before.emplace_back(glibc.At(t).utOffsetSeconds, glibc.At(t).isDst);
            }
        }
        const GlibcZone glibc(zone);
        for (const int64_t t : samples) {
            after.emplace_back(glibc.At(t).utOffsetSeconds, glibc.At(t).isDst);
        }
        EXPECT_EQ(after, before);
        // From this year on the edited rule holds: central European summer and winter.
        EXPECT_EQ(glibc.At(Utc(2026, 8, 1).seconds).utOffsetSeconds, 7200);
        EXPECT_EQ(glibc.At(Utc(2030, 1, 15).seconds).utOffsetSeconds, 3600);
        EXPECT_EQ(glibc.At(Utc(2040, 7, 1).seconds).utOffsetSeconds, 7200);
        EXPECT_EQ(store.query(), (TimeZoneQuery{TIME_ZONE_ID_DAYLIGHT, EditorRecord()}));
    }
}

TEST(LinuxTimeZoneStoreTest, StatusAgreesWithTheCLibraryEverySixHours) {
    for (const char* name : kPinnedZones) {
        FakeClock clock(Utc(2025, 1, 1));
        const LinuxTimeZoneStore store(clock, DataZone(name));
        const GlibcZone glibc(DataZone(name));
        int disagreements = 0;
        for (int64_t t = Utc(2025, 1, 1).seconds; t < Utc(2031, 1, 1).seconds; t += 6 * 3600) {
            clock.Set({t, 0});
            disagreements += (store.query().status == TIME_ZONE_ID_DAYLIGHT) != glibc.At(t).isDst;
        }
        EXPECT_EQ(disagreements, 0) << name;
    }
}

TEST(LinuxTimeZoneStoreTest, ANamedZoneIsPutBackAsTheLinkItWas) {
    TempFolder dir;
    const std::string zone = dir / "localtime";
    ASSERT_EQ(symlink((kDatabase + "/Europe/Berlin").c_str(), zone.c_str()), 0);
    FakeClock clock(Utc(2025, 7, 1));
    LinuxTimeZoneStore store(clock, zone, nullptr, std::nullopt, kDatabase);
    const TimeZoneQuery berlin = store.query();
    EXPECT_EQ(store.zoneName(), "Europe/Berlin");

    ASSERT_TRUE(store.apply(EditorRecord()));
    EXPECT_EQ(store.zoneName(), "");
    ASSERT_TRUE(store.applyNamed("Europe/Berlin"));
    EXPECT_EQ(std::filesystem::read_symlink(zone), kDatabase + "/Europe/Berlin");
    EXPECT_EQ(store.zoneName(), "Europe/Berlin");
    EXPECT_EQ(store.query(), berlin);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);

    // The names the helper refuses are refused here too (the same check).
    for (const char* name : {"Europe", "../zoneinfo/UTC", "/etc/passwd", "No/Such_Zone"}) {
        EXPECT_FALSE(store.hasNamedZone(name)) << name;
        EXPECT_FALSE(store.applyNamed(name)) << name;
    }
    EXPECT_EQ(store.zoneName(), "Europe/Berlin");
    // A link out of the database, or with $TZ deciding the zone, has no name.
    const std::string elsewhere = dir / "elsewhere";
    std::filesystem::copy_file(DataZone("UTC"), elsewhere);
    std::filesystem::remove(zone);
    ASSERT_EQ(symlink(elsewhere.c_str(), zone.c_str()), 0);
    EXPECT_EQ(store.zoneName(), "");
    EXPECT_EQ(LinuxTimeZoneStore(clock, zone, nullptr, std::string("UTC"), kDatabase).zoneName(), "");
}

}  // namespace
