#include "timezone/NameConversion.h"

#include <gtest/gtest.h>

namespace {

std::array<char16_t, 32> Units(const std::u16string& text) {
    std::array<char16_t, 32> name{};
    std::copy(text.begin(), text.begin() + static_cast<long>(std::min(text.size(), name.size())),
              name.begin());
    return name;
}

TEST(NameConversionTest, NamesToText) {
    const struct {
        std::u16string units;
        std::string text;
    } cases[] = {
        {u"", ""},
        {u"CET", "CET"},
        {u"Mitteleurop\u00e4ische Zeit", "Mitteleurop\xC3\xA4ische Zeit"},
        {u"\u4e2d\u56fd\u6807\u51c6\u65f6\u95f4", "\u4e2d\u56fd\u6807\u51c6\u65f6\u95f4"},
        {u"A\U0001F600B",
         "A\xF0\x9F\x98\x80"
         "B"},
        // Lone surrogates have no character: a blank stands in.
        {std::u16string(u"A") + char16_t(0xD800) + u"B" + char16_t(0xDC00), "A B "},
        // The text stops at the first NUL.
        {std::u16string(u"AB\0CD", 5), "AB"},
        // 32 units without a NUL: all 32 bytes.
        {std::u16string(32, u'x'), std::string(32, 'x')},
        // Too long for 32 bytes: cut before the first character that does not fit whole.
        {std::u16string(31, u'x') + u"\u00e4", std::string(31, 'x')},
        {std::u16string(11, u'\u20ac'),
         std::string("\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac")},
    };
    for (const auto& c : cases) {
        const std::string text = NarrowFromName(Units(c.units));
        EXPECT_EQ(text, c.text);
        EXPECT_LE(text.size(), 32u);
    }
}

TEST(NameConversionTest, TextToNames) {
    const struct {
        std::string text;
        std::u16string units;
    } cases[] = {
        {"User standard DST", u"User standard DST"},
        {"User daylight DST", u"User daylight DST"},
        {"", u""},
        {"\u00e4\u20ac\U0001F600", u"\u00e4\u20ac\U0001F600"},
        {std::string("AB\0CD", 5), u"AB"},
        // Bytes that are not UTF-8.
        {"A\xFF"
         "B\xC3",
         u"A\uFFFDB\uFFFD"},
        {"\xE2\x82", u"\uFFFD\uFFFD"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},
        // At most 31 units, then the NUL; a pair is never split.
        {std::string(40, 'y'), std::u16string(31, u'y')},
        {std::string(30, 'y') + "\U0001F600", std::u16string(30, u'y')},
    };
    for (const auto& c : cases) {
        const auto name = NameFromNarrow(c.text);
        EXPECT_EQ(name, Units(c.units)) << c.text;
        EXPECT_EQ(name[31], 0) << c.text;
    }
}

}  // namespace
