#include "platform/ZoneHelper.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/LinuxTimeZoneStore.h"
#include "platform/SystemTime.h"
#include "platform/ZoneRecord.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempFolder.h"
#include "tests/support/ZoneRecords.h"

namespace {

TIME_ZONE_INFORMATION Record() {
    TIME_ZONE_INFORMATION tzi;
    tzi.Bias = 300;
    tzi.StandardName = Name(u"User standard DST");
    tzi.DaylightName = Name(u"User daylight DST");
    tzi.StandardDate = Rule(11, 1, 0, 2);
    tzi.DaylightDate = Rule(3, 2, 0, 2);
    tzi.DaylightBias = -60;
    return tzi;
}

const std::string kDatabase = std::string(TIDEWELL_TEST_DATA_DIR) + "/zoneinfo";
const int64_t kNow = DaysFromCivil(2025, 7, 1) * 86400;

std::vector<uint8_t> Text(const std::string& text) {
    return {text.begin(), text.end()};
}

// Runs the helper with the given input on a pipe.
int RunWithInput(const std::vector<std::string>& args, const std::vector<uint8_t>& input,
                 const std::string& zone, const std::string& database = kDatabase) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    const int code = RunZoneHelper(args, fds[0], zone, database, kNow);
    close(fds[0]);
    return code;
}

TEST(ZoneHelperTest, WritesACheckedRecordToItsZonePath) {
    TempFolder dir;
    const std::string zone = dir / "localtime";
    ASSERT_EQ(RunWithInput({}, EncodeTimeZoneInformation(Record()), zone), kZoneHelperDone);
    FakeClock clock({DaysFromCivil(2025, 7, 1) * 86400, 0});
    EXPECT_EQ(LinuxTimeZoneStore(clock, zone).query().info, Record());
}

TEST(ZoneHelperTest, RefusesArgumentsAndMalformedInput) {
    TempFolder dir;
    const std::string zone = dir / "localtime";
    const std::vector<uint8_t> good = EncodeTimeZoneInformation(Record());
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    TIME_ZONE_INFORMATION badMonth = Record();
    badMonth.DaylightDate.wMonth = 13;
    TIME_ZONE_INFORMATION unterminated = Record();
    unterminated.StandardName.fill(u'A');
    TIME_ZONE_INFORMATION hugeBias = Record();
    hugeBias.Bias = 100000;
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::vector<uint8_t> input;
    } cases[] = {
        {"a path of its own", {dir / "elsewhere"}, good},
        {"an option", {"--zone=" + dir / "elsewhere"}, good},
        {"an empty argument", {""}, good},
        {"no input", {}, {}},
        {"a short record", {}, std::vector<uint8_t>(good.begin(), good.end() - 1)},
        {"a long record", {}, longer},
        {"a month out of range", {}, EncodeTimeZoneInformation(badMonth)},
        {"a name without its end", {}, EncodeTimeZoneInformation(unterminated)},
        {"a bias out of range", {}, EncodeTimeZoneInformation(hugeBias)},
        {"text", {}, std::vector<uint8_t>(172, 'x')},
        {"a zone outside the database", {}, Text("zone:../../../../etc/passwd")},
        {"an absolute path", {}, Text("zone:/etc/passwd")},
        {"a zone the database lacks", {}, Text("zone:Europe/Atlantis")},
        {"a folder", {}, Text("zone:Europe")},
        {"no name", {}, Text("zone:")},
        {"a name with a line end", {}, Text("zone:UTC\n")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RunWithInput(c.args, c.input, zone), kZoneHelperRefused) << c.what;
    }
    // Nothing was written anywhere.
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
    EXPECT_FALSE(ParseZoneHelperInput(std::vector<uint8_t>(good.begin(), good.end() - 1)).has_value());
    EXPECT_EQ(ParseZoneHelperInput(good), Record());
}

TEST(ZoneHelperTest, AZonePathThatCannotBeWrittenIsAFailedWrite) {
    TempFolder dir;
    EXPECT_EQ(RunWithInput({}, EncodeTimeZoneInformation(Record()), dir / "missing/localtime"),
              kZoneHelperWriteFailed);
}

TEST(ZoneHelperTest, LinksTheZonePathToANamedZoneAgain) {
    TempFolder dir;
    const std::string zone = dir / "localtime";
    ASSERT_EQ(RunWithInput({}, EncodeTimeZoneInformation(Record()), zone), kZoneHelperDone);
    ASSERT_EQ(RunWithInput({}, ZoneHelperNameInput("America/New_York"), zone), kZoneHelperDone);
    EXPECT_EQ(std::filesystem::read_symlink(zone), kDatabase + "/America/New_York");
    EXPECT_EQ(ZoneNameOfLink(zone, kDatabase), "America/New_York");
}

// A database laid out as Debian's: "localtime" and "posixrules" lead to the
// zone path. Only names whose file lies inside the database, and which do not
// lead to the zone path, are zones, for the helper and for the store alike.
TEST(ZoneHelperTest, ANameIsAZoneOnlyWhenItsFileLiesInsideTheDatabaseAwayFromTheZonePath) {
    TempFolder dir;
    const std::string db = dir / "zoneinfo";
    const std::string zone = dir / "localtime";
    std::filesystem::create_directories(db + "/Europe");
    std::filesystem::copy_file(kDatabase + "/Europe/Berlin", db + "/Europe/Berlin");
    std::filesystem::copy_file(kDatabase + "/UTC", dir / "Outside");
    ASSERT_EQ(symlink(zone.c_str(), (db + "/localtime").c_str()), 0);
    ASSERT_EQ(symlink("localtime", (db + "/posixrules").c_str()), 0);
    ASSERT_EQ(symlink("../Outside", (db + "/Away").c_str()), 0);
    ASSERT_EQ(symlink("Europe/Berlin", (db + "/Alias").c_str()), 0);
    ASSERT_EQ(symlink("Loop", (db + "/Loop").c_str()), 0);
    const struct {
        const char* name;
        bool zone;
    } cases[] = {
        {"Europe/Berlin", true}, {"Alias", true},   {"localtime", false}, {"posixrules", false},
        {"Away", false},         {"Loop", false},   {"..", false},        {"../Outside", false},
        {"Europe/..", false},    {"Europe", false},
    };
    FakeClock clock({kNow, 0});
    for (const char* before : {"a link", "a file"}) {
        SCOPED_TRACE(before);
        std::filesystem::remove(zone);
        if (std::string(before) == "a link") {
            ASSERT_EQ(symlink((db + "/Europe/Berlin").c_str(), zone.c_str()), 0);
        } else {
            std::filesystem::copy_file(kDatabase + "/UTC", zone);
        }
        const auto was = std::filesystem::symlink_status(zone).type();
        LinuxTimeZoneStore store(clock, zone, nullptr, std::nullopt, db);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(store.hasNamedZone(c.name), c.zone);
            if (!c.zone) {
                EXPECT_EQ(RunWithInput({}, ZoneHelperNameInput(c.name), zone, db), kZoneHelperRefused);
                EXPECT_FALSE(store.applyNamed(c.name));
                EXPECT_EQ(std::filesystem::symlink_status(zone).type(), was);
            }
        }
    }
    EXPECT_EQ(RunWithInput({}, ZoneHelperNameInput("Alias"), zone, db), kZoneHelperDone);
    EXPECT_EQ(std::filesystem::read_symlink(zone), db + "/Alias");
    EXPECT_EQ(ZoneNameOfLink(zone, db), "Alias");
}

// Anything but a file or a link at the zone path is left alone, and nothing
// there holds the helper: a FIFO without a writer would block an open.
TEST(ZoneHelperTest, OnlyAFileOrALinkAtTheZonePathIsReplaced) {
    TempFolder dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = dir / "folder";
    std::filesystem::create_directory(folder);
    const std::string linkToFifo = dir / "link";
    ASSERT_EQ(symlink(fifo.c_str(), linkToFifo.c_str()), 0);
    for (const std::string& zone : {fifo, folder}) {
        SCOPED_TRACE(zone);
        EXPECT_EQ(RunWithInput({}, EncodeTimeZoneInformation(Record()), zone), kZoneHelperWriteFailed);
        EXPECT_EQ(RunWithInput({}, ZoneHelperNameInput("Europe/Berlin"), zone), kZoneHelperWriteFailed);
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    // A link is replaced, by a new zone when what it leads to cannot be read as one.
    EXPECT_EQ(RunWithInput({}, EncodeTimeZoneInformation(Record()), linkToFifo), kZoneHelperDone);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(linkToFifo)));
}

}  // namespace
