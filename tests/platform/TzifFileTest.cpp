#include "platform/TzifFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>

#include "platform/SystemTime.h"
#include "platform/ZoneFile.h"
#include "platform/ZoneRecord.h"
#include "tests/support/GlibcZone.h"
#include "tests/support/TempFolder.h"

namespace {

int64_t Utc(int64_t y, unsigned mo, unsigned d, int h, int mi = 0, int s = 0) {
    return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

std::vector<uint8_t> ReadData(const std::string& name) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(ReadWholeFile(std::string(TIDEWELL_TEST_DATA_DIR) + "/zoneinfo/" + name, kMaxTzifSize, bytes))
        << name;
    return bytes;
}

TEST(TzifFileTest, ReadsTheRulesOfRealZoneFiles) {
    const struct {
        const char* zone;
        const char* footer;
        int version;
    } cases[] = {
        {"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3", 2},
        {"America/New_York", "EST5EDT,M3.2.0,M11.1.0", 2},
        {"Australia/Sydney", "AEST-10AEDT,M10.1.0,M4.1.0/3", 2},
        {"Asia/Kolkata", "IST-5:30", 2},
        {"America/Nuuk", "<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 3},
        {"Europe/Dublin", "IST-1GMT0,M10.5.0,M3.5.0/1", 2},
        {"UTC", "UTC0", 2},
    };
    for (const auto& c : cases) {
        const auto data = ParseTzif(ReadData(c.zone));
        ASSERT_TRUE(data.has_value()) << c.zone;
        EXPECT_EQ(data->version, c.version) << c.zone;
        EXPECT_EQ(data->footer, c.footer) << c.zone;
        EXPECT_EQ(ZoneRuleOfTzif(*data), ParsePosixTz(c.footer)) << c.zone;
    }
}

TEST(TzifFileTest, ReadsVersionOneAndFourFiles) {
    // Version 1: the first block alone, no footer; the zone is its last local time type.
    std::vector<uint8_t> v1 = ReadData("Asia/Kolkata");
    v1[4] = 0;
    const auto one = ParseTzif(v1);
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->version, 1);
    const auto rule = ZoneRuleOfTzif(*one);
    ASSERT_TRUE(rule.has_value());
    EXPECT_EQ(rule->stdUtOffsetSeconds, 19800);
    EXPECT_EQ(rule->stdName, "IST");
    EXPECT_FALSE(rule->hasDst);

    std::vector<uint8_t> v4 = ReadData("Europe/Berlin");
    v4[4] = '4';
    std::size_t at = 4;
    while (at + 4 < v4.size() && std::string(v4.begin() + at, v4.begin() + at + 4) != "TZif") {
        ++at;
    }
    ASSERT_LT(at + 4, v4.size());
    v4[at + 4] = '4';
    const auto four = ParseTzif(v4);
    ASSERT_TRUE(four.has_value());
    EXPECT_EQ(four->version, 4);
    EXPECT_EQ(four->footer, "CET-1CEST,M3.5.0,M10.5.0/3");
}

// A version 1 file (no footer) of one local time type and no transitions.
std::vector<uint8_t> VersionOneFile(int32_t utOffsetSeconds, const std::string& designation) {
    std::vector<uint8_t> bytes = {'T', 'Z', 'i', 'f', 0};
    bytes.resize(20);
    const auto u32 = [&bytes](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<uint8_t>(v >> shift));
        }
    };
    for (uint32_t count : {0u, 0u, 0u, 0u, 1u, static_cast<uint32_t>(designation.size() + 1)}) {
        u32(count);
    }
    u32(static_cast<uint32_t>(utOffsetSeconds));
    bytes.push_back(0);  // not daylight time
    bytes.push_back(0);  // designation index
    bytes.insert(bytes.end(), designation.begin(), designation.end());
    bytes.push_back(0);
    return bytes;
}

// A file without a footer gives the zone of its last local time type only
// when a TZ string could say it; otherwise the zone cannot be read.
TEST(TzifFileTest, ZoneOfAFileWithoutFooterIsOneATzStringCanCarry) {
    const struct {
        int32_t utOffsetSeconds;
        const char* designation;
        bool readable;
    } cases[] = {
        {19800, "IST", true},
        {-17762, "LMT", true},  // 4:56:02 west
        {0, "-00", true},
        {89999, "XYZ", true},
        {3600, "AB", false},
        {3600, "IST\x1a+0630", false},
        {3600, "A<B>", false},
        {90000, "XYZ", false},
        {-2147483647, "XYZ", false},
    };
    for (const auto& c : cases) {
        const auto data = ParseTzif(VersionOneFile(c.utOffsetSeconds, c.designation));
        ASSERT_TRUE(data.has_value()) << c.designation;
        const auto rule = ZoneRuleOfTzif(*data);
        ASSERT_EQ(rule.has_value(), c.readable) << c.designation << " " << c.utOffsetSeconds;
        if (rule) {
            EXPECT_EQ(rule->stdName, c.designation);
            EXPECT_EQ(rule->stdUtOffsetSeconds, c.utOffsetSeconds);
            EXPECT_EQ(ParsePosixTz(FormatPosixTz(*rule)), rule);
        }
    }
}

TEST(TzifFileTest, RefusesBrokenAndTruncatedFiles) {
    const std::vector<uint8_t> good = ReadData("Europe/Berlin");
    ASSERT_TRUE(ParseTzif(good).has_value());
    std::vector<std::pair<std::string, std::vector<uint8_t>>> broken;
    for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{43}, std::size_t{44},
                               std::size_t{100}, good.size() / 2, good.size() - 30, good.size() - 1}) {
        broken.push_back({"truncated to " + std::to_string(length),
                          std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(length))});
    }
    const auto patched = [&](const std::string& what, std::size_t at, uint8_t value) {
        std::vector<uint8_t> bytes = good;
        bytes[at] = value;
        broken.push_back({what, bytes});
    };
    patched("bad magic", 0, 'X');
    patched("unknown version", 4, '5');
    patched("no local time types", 39, 0);  // low byte of typecnt (Berlin has few)
    patched("no designation bytes", 43, 0);
    patched("transition type out of range", 44 + 4 * 0 + good[35] * 4, 0xFF);
    std::vector<uint8_t> noFooterEnd = good;
    noFooterEnd.pop_back();
    noFooterEnd.push_back('X');
    broken.push_back({"footer without its newline", noFooterEnd});
    std::vector<uint8_t> huge = good;
    huge.resize(kMaxTzifSize + 1, '\n');
    broken.push_back({"too large", huge});
    for (const auto& [what, bytes] : broken) {
        EXPECT_FALSE(ParseTzif(bytes).has_value()) << what;
    }
    // A footer that is there but not a TZ string.
    std::vector<uint8_t> badFooter(good.begin(), good.end() - 28);
    const std::string footer = "\nCET-1CEST,M3.5.0,M13.5.0\n";
    badFooter.insert(badFooter.end(), footer.begin(), footer.end());
    const auto data = ParseTzif(badFooter);
    ASSERT_TRUE(data.has_value());
    EXPECT_FALSE(ZoneRuleOfTzif(*data).has_value());
}

// Damaged files never make the reader misbehave (run under the sanitizers):
// whatever parses can be turned into a record.
TEST(TzifFileTest, DamagedFilesAreReadSafely) {
    std::mt19937 random(20250701);
    for (const char* zone : {"Europe/Berlin", "America/Nuuk", "Asia/Kolkata", "UTC"}) {
        const std::vector<uint8_t> good = ReadData(zone);
        for (int round = 0; round < 3000; ++round) {
            std::vector<uint8_t> bytes = good;
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < flips; ++i) {
                // Mostly the header and the footer, where the counts and the rules are.
                const std::size_t at =
                    random() % 2 ? random() % std::min<std::size_t>(bytes.size(), 64)
                                 : bytes.size() - 1 - random() % std::min<std::size_t>(bytes.size(), 40);
                bytes[at] = static_cast<uint8_t>(random());
            }
            if (random() % 8 == 0) {
                bytes.resize(random() % bytes.size());
            }
            if (const auto data = ParseTzif(bytes)) {
                if (const auto rule = ZoneRuleOfTzif(*data)) {
                    const TIME_ZONE_INFORMATION tzi = RecordFromPosixTz(*rule, Utc(2025, 7, 1, 0));
                    (void)IsDaylightAt(*rule, Utc(2025, 7, 1, 0));
                    if (const auto back = PosixTzFromRecord(tzi)) {
                        EXPECT_TRUE(ParseTzif(BuildTzif(*back)).has_value()) << FormatPosixTz(*back);
                    }
                }
            }
        }
    }
}

struct WrittenZone {
    const char* tz;
    // Instants at which a change happens, with the offset from then on.
    std::vector<std::pair<int64_t, long>> changes;
};

TEST(TzifFileTest, WrittenFilesReadTheSameInTheCLibrary) {
    const WrittenZone cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3",
         {{Utc(1990, 3, 25, 1), 7200},
          {Utc(2025, 3, 30, 1), 7200},
          {Utc(2025, 10, 26, 1), 3600},
          {Utc(2037, 10, 25, 1), 3600},
          {Utc(2040, 3, 25, 1), 7200},
          {Utc(2100, 10, 31, 1), 3600}}},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3",
         {{Utc(2025, 4, 5, 16), 36000}, {Utc(2025, 10, 4, 16), 39600}, {Utc(2045, 4, 1, 16), 36000}}},
        {"IST-1GMT0,M10.5.0,M3.5.0/1", {{Utc(2025, 3, 30, 1), 3600}, {Utc(2025, 10, 26, 1), 0}}},
        {"<-0330>3:30<-0230>,M3.2.0,M11.1.0",
         {{Utc(2025, 3, 9, 5, 30), -9000}, {Utc(2025, 11, 2, 4, 30), -12600}}},
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", {{Utc(2025, 3, 30, 1), -3600}, {Utc(2050, 10, 30, 1), -7200}}},
        {"UserStandardDST-2UserDaylightDST,J80/0,J264/0",
         {{Utc(2030, 3, 20, 22), 10800}, {Utc(2030, 9, 20, 21), 7200}}},
        {"<+0530>-5:30", {{Utc(2025, 1, 1, 0), 19800}, {Utc(2060, 7, 1, 0), 19800}}},
        {"<+00>0", {{Utc(2025, 1, 1, 0), 0}}},
    };
    TempFolder dir;
    int n = 0;
    for (const WrittenZone& c : cases) {
        const auto tz = ParsePosixTz(c.tz);
        ASSERT_TRUE(tz.has_value()) << c.tz;
        const std::string path = dir / ("zone" + std::to_string(n++));
        const std::vector<uint8_t> bytes = BuildTzif(*tz);
        ASSERT_TRUE(ReplaceFileAtomically(path, bytes));
        // Read back, the file gives the same rule.
        const auto data = ParseTzif(bytes);
        ASSERT_TRUE(data.has_value()) << c.tz;
        EXPECT_EQ(data->version, NeedsTzifVersion3(*tz) ? 3 : 2) << c.tz;
        EXPECT_GE(data->transitionsUtc.size(), 1u) << c.tz;
        EXPECT_EQ(ZoneRuleOfTzif(*data), tz) << c.tz;

        const GlibcZone glibc(path);
        for (const auto& [instant, offset] : c.changes) {
            const auto after = glibc.At(instant);
            EXPECT_EQ(after.utOffsetSeconds, offset) << c.tz << " at " << instant;
            EXPECT_EQ(after.designation, offset == tz->stdUtOffsetSeconds ? tz->stdName : tz->dstName)
                << c.tz << " at " << instant;
            if (tz->hasDst) {
                const auto before = glibc.At(instant - 1);
                EXPECT_NE(before.utOffsetSeconds, offset) << c.tz << " just before " << instant;
            }
        }
        // Every day over two centuries, the C library and the rule agree.
        for (int64_t t = Utc(1970, 1, 1, 12); t < Utc(2170, 1, 1, 0); t += 86400 + 3607) {
            const auto local = glibc.At(t);
            const bool dst = IsDaylightAt(*tz, t);
            ASSERT_EQ(local.isDst, dst) << c.tz << " at " << t;
            ASSERT_EQ(local.utOffsetSeconds, dst ? tz->dstUtOffsetSeconds : tz->stdUtOffsetSeconds)
                << c.tz << " at " << t;
        }
    }
}

TEST(TzifFileTest, ZdumpShowsTheWrittenTransitions) {
    TempFolder dir;
    const std::string path = dir / "zone";
    ASSERT_TRUE(ReplaceFileAtomically(
        path, BuildTzif(*ParsePosixTz("UserStandardDST-1UserDaylightDST,M3.5.0,M10.5.0/3"))));
    FILE* out = popen(("zdump -v -c 2025,2026 " + path + " 2>&1").c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char buf[512];
    while (fgets(buf, sizeof buf, out)) {
        text += buf;
    }
    ASSERT_EQ(pclose(out), 0) << text;
    EXPECT_NE(
        text.find(
            "Sun Mar 30 01:00:00 2025 UT = Sun Mar 30 03:00:00 2025 UserDaylightDST isdst=1 gmtoff=7200"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find(
            "Sun Oct 26 01:00:00 2025 UT = Sun Oct 26 02:00:00 2025 UserStandardDST isdst=0 gmtoff=3600"),
        std::string::npos)
        << text;
}

}  // namespace
