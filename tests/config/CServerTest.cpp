#include "config/CServer.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

TEST(CServerTest, ToStringGivesTheStoredForm) {
    struct Case {
        CServer server;
        double delay;
        std::string expected;
    };
    const Case cases[] = {
        {{"A", "h", 0}, 0.0, "A\nh\n0 0.000"},
        {{"A", "h", 1}, 0.1234, "A\nh\n1 0.123"},
        {{"A", "h", 1}, 12.3456, "A\nh\n1 12.346"},
        {{"A", "h", 1}, 0.0004, "A\nh\n1 0.000"},
        {{"A", "h", -3}, 1234.5, "A\nh\n-3 1234.500"},
        {{"", "", 0}, 0.0, "\n\n0 0.000"},
        {{"Zürich, \"ETH\"", "time.example", 1}, 0.5, "Zürich, \"ETH\"\ntime.example\n1 0.500"},
        // A line feed would move the host into the kind's line.
        {{"two\nlines", "h\nx", 1}, 0.0, "two lines\nh x\n1 0.000"},
    };
    for (const Case& c : cases) {
        CServer server = c.server;
        server.delay = c.delay;
        EXPECT_EQ(server.ToString(), c.expected) << c.expected;
    }
}

TEST(CServerTest, FromStringReadsWhatItCanAndStopsAtTheFirstFault) {
    struct Case {
        std::string text;
        std::string title;
        std::string host;
        int32_t kind;
        double delay;
    };
    const std::string x1023(1023, 'x');
    const std::string x1015(1015, 'x');
    const Case cases[] = {
        {"A\nh\n0 0.000", "A", "h", 0, 0.0},
        {"A\nh\n1 0.0004", "A", "h", 1, 0.0004},
        {"A\nh\n", "A", "h", 0, 0.0},
        {"A\nh", "A", "h", 0, 0.0},
        {"A\n\n1 0.5", "A", "", 1, 0.5},
        {"\n\n\n", "", "", 0, 0.0},
        {"", "", "", 0, 0.0},
        {"A\nh\n7", "A", "h", 7, 0.0},
        {"A\nh\n  -12 \t 3.5e-1 anything after", "A", "h", -12, 0.35},
        {"A\nh\n+2 .5", "A", "h", 2, 0.5},
        {"A\nh\nx 0.5", "A", "h", 0, 0.0},
        {"A\nh\n1 nan", "A", "h", 1, 0.0},
        {"A\nh\n1 -", "A", "h", 1, 0.0},
        {"A\nh\n99999999999 1.0", "A", "h", 0, 0.0},
        {"A\nh\n1 1e999", "A", "h", 1, 0.0},
        {"A\nh\n1 2.5e", "A", "h", 1, 2.5},
        {x1015 + "\nh\n1 2.0", x1015, "h", 1, 2.0},
        // The longest title fills the 1024 characters read with its line feed.
        {x1023 + "\nh\n1 2.0", x1023, "", 0, 0.0},
        // A title line of more than 1023 characters: the rest fails.
        {x1023 + "y\nh\n1 2.0", x1023, "", 0, 0.0},
        // Only the first 1024 characters count: the delay is cut to 1.23.
        {x1015 + "\nh\n5 1.2345", x1015, "h", 5, 1.23},
        {std::string("A\0B\nh\n1 1", 9), std::string("A\0B", 3), "h", 1, 1.0},
    };
    for (const Case& c : cases) {
        CServer server("old", "old", 9);
        server.delay = 9.0;
        server.FromString(c.text);
        EXPECT_EQ(server.title, c.title) << c.text.substr(0, 40);
        EXPECT_EQ(server.host, c.host) << c.text.substr(0, 40);
        EXPECT_EQ(server.kind, c.kind) << c.text.substr(0, 40);
        EXPECT_DOUBLE_EQ(server.delay, c.delay) << c.text.substr(0, 40);
    }
}

TEST(CServerTest, StoredFormRoundTrips) {
    const CServer servers[] = {
        {"A", "h", 0},
        {"USA. NIST, Gaithersburg, Maryland - 1", "129.6.15.28", 0},
        {"Chile.     Universidad de Chile. Santiago", "ntp.example.cl", 1},
        {"\"quoted\", with commas; and = signs", "host.example", 5},
        {"Tromsø — 東京 ✓", "пример.рф", -1},
        {"IPv6", "[2001:db8::1]", 1},
        {"IPv6 bare", "fe80::1%eth0", 1},
        {"", "", 0},
        {"Authenticated", "nts://nts.example.org:4461", 1},
    };
    for (const CServer& original : servers) {
        for (double delay : {0.0, 0.25, 12.5}) {
            CServer server = original;
            server.delay = delay;
            CServer back;
            back.FromString(server.ToString());
            EXPECT_EQ(back, server) << server.ToString();
        }
    }
    // Three decimals are stored: 0.0004 comes back as never measured.
    CServer tiny("A", "h", 0);
    tiny.delay = 0.0004;
    CServer back;
    back.FromString(tiny.ToString());
    EXPECT_EQ(back.delay, 0.0);
    EXPECT_EQ(back.DelayText(), "Null");
}

TEST(CServerTest, DisplayTexts) {
    struct Case {
        int32_t kind;
        double delay;
        const char* kindText;
        const char* delayText;
    };
    const Case cases[] = {
        {0, 0.0, "Prog", "Null"},    {1, 0.1234, "User", "0.123"}, {5, 1.5, "User", "  1.5"},
        {-1, 0.05, "User", " 0.05"}, {0, 12.345, "Prog", " 12.3"}, {0, 123456.0, "Prog", "1.23e+05"},
    };
    for (const Case& c : cases) {
        CServer server("t", "h", c.kind);
        server.delay = c.delay;
        EXPECT_EQ(server.KindText(), c.kindText) << c.kind;
        EXPECT_EQ(server.DelayText(), c.delayText) << c.delay;
    }
}

TEST(CServerTest, StoredFormIgnoresTheNumericLocale) {
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    bool found = false;
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE.utf8", "ru_RU.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name)) {
            found = true;
            break;
        }
    }
    if (!found) {
        GTEST_SKIP() << "no locale with a decimal comma installed";
    }
    CServer server("A", "h", 1);
    server.delay = 0.25;
    const std::string text = server.ToString();
    CServer back;
    back.FromString(text);
    const std::string delayText = server.DelayText();
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(text, "A\nh\n1 0.250");
    EXPECT_EQ(back.delay, 0.25);
    EXPECT_EQ(delayText, " 0.25");
}

}  // namespace
