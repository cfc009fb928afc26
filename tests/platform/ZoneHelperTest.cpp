#include "platform/ZoneHelper.h"

#include <gtest/gtest.h>
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
                 const std::string& zone) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    const int code = RunZoneHelper(args, fds[0], zone, kDatabase, kNow);
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

}  // namespace
