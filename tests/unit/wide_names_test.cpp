// The Windows backend's own name conversion, WTF-8 to UTF-16 and back: no
// name changes on the way, no look-alike takes another character's place.
#include <gtest/gtest.h>

#include <string>

#include "runtime/os/win32/wide_names.h"

namespace {

using os::kNotConvertible;

std::u16string Wide(const std::string& text, std::size_t capacity = 1000) {
    std::u16string out(capacity, u'?');
    std::size_t units = os::ToWide(text.data(), text.size(), out.data(), capacity);
    if (units == kNotConvertible) return u"(refused)";
    EXPECT_EQ(out[units], 0);
    EXPECT_EQ(os::WideLength(text.data(), text.size()), units);
    return out.substr(0, units);
}

std::string Wtf8(const std::u16string& text, std::size_t capacity = 1000) {
    std::string out(capacity, '?');
    std::size_t bytes = os::ToWtf8(text.data(), text.size(), out.data(), capacity);
    if (bytes == kNotConvertible) return "(refused)";
    EXPECT_EQ(out[bytes], 0);
    return out.substr(0, bytes);
}

}  // namespace

TEST(WideNames, RoundTripsEveryName) {
    const struct {
        std::u16string wide;
        std::string bytes;
    } kCases[] = {
        {u"src.bin", "src.bin"},
        {u"\u00E9t\u00E9", "\xC3\xA9t\xC3\xA9"},
        {u"\u65E5\u672C", "\xE6\x97\xA5\xE6\x9C\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},                  // a pair: two units, one form
        {u"a\xD800", "a\xED\xA0\x80"},                      // lone lead at the end
        {u"\xD800x", "\xED\xA0\x80x"},                      // lone lead before another
        {u"\xDFFF", "\xED\xBF\xBF"},                        // lone trail
        {u"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"},      // trail then lead: no pair
        {u"\uFFFF\u0080\u07FF\u0800", "\xEF\xBF\xBF\xC2\x80\xDF\xBF\xE0\xA0\x80"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(Wtf8(c.wide), c.bytes);
        EXPECT_EQ(Wide(c.bytes), c.wide);
    }
}

// What the ANSI code pages' best fit makes of these: '/', '"', '\\'.
TEST(WideNames, LookAlikesStayThemselves) {
    EXPECT_EQ(Wide("a\xEF\xBC\x8F" "b"), u"a\uFF0Fb");      // fullwidth solidus
    EXPECT_EQ(Wide("\xEF\xBC\x82t.bin\xEF\xBC\x82"), u"\uFF02t.bin\uFF02");  // fullwidth quotes
    EXPECT_EQ(Wide("a\xC2\xA5" "b"), u"a\u00A5b");          // yen sign
    for (char16_t unit : Wide("\xEF\xBC\x8F\xEF\xBC\x82\xC2\xA5")) {
        EXPECT_NE(unit, u'/');
        EXPECT_NE(unit, u'"');
        EXPECT_NE(unit, u'\\');
    }
}

TEST(WideNames, RefusesIllFormedText) {
    const std::string kIllFormed[] = {
        "\x80", "a\xBF", "\xFF", "\xF5\x80\x80\x80",        // bytes that start no sequence
        "\xC3", "\xC3x", "\xE6\x97", "\xE6\x97x", "\xF0\x9F\x98",  // continuation missing
        "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xE0\x9F\xBF",  // overlong
        "\xF0\x80\x80\xAF", "\xF0\x8F\xBF\xBF",
        "\xF4\x90\x80\x80",                                 // above U+10FFFF
        "\xED\xA0\xBD\xED\xB8\x80",                         // a pair in two three-byte forms
        "x\xED\xAF\xBF\xED\xB0\x80y",
    };
    for (const std::string& text : kIllFormed) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(os::WideLength(text.data(), text.size()), kNotConvertible);
        EXPECT_EQ(Wide(text), u"(refused)");
    }
    // Only the bytes given count: a sequence cut by the length is refused.
    EXPECT_EQ(os::WideLength("\xC3\xA9", 1), kNotConvertible);
    EXPECT_EQ(os::WideLength("\xF4\x8F\xBF\xBF", 4), 2u);  // U+10FFFF itself
}

// MAX_PATH is 260 units with the zero: 259 fit, 260 do not; likewise bytes.
TEST(WideNames, CapacityIsExact) {
    EXPECT_EQ(Wide(std::string(259, 'x'), 260), std::u16string(259, u'x'));
    EXPECT_EQ(Wide(std::string(260, 'x'), 260), u"(refused)");
    const std::string emoji = "\xF0\x9F\x98\x80";
    EXPECT_EQ(Wide(std::string(257, 'x') + emoji, 260).size(), 259u);
    EXPECT_EQ(Wide(std::string(258, 'x') + emoji, 260), u"(refused)");
    EXPECT_EQ(Wide("", 1), u"");
    EXPECT_EQ(Wide("", 0), u"(refused)");

    EXPECT_EQ(Wtf8(u"\u00E9\U0001F600", 7), "\xC3\xA9" + emoji);
    EXPECT_EQ(Wtf8(u"\u00E9\U0001F600", 6), "(refused)");
    EXPECT_EQ(Wtf8(u"\xD800", 4), "\xED\xA0\x80");
    EXPECT_EQ(Wtf8(u"\xD800", 3), "(refused)");
    EXPECT_EQ(Wtf8(u"", 0), "(refused)");
}
