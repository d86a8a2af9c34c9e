#include "library/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

TEST(Text, PrefixComparisonIgnoresLetterCaseOnly)
{
    struct Case {
        const char16_t* text;
        const char16_t* prefix;
        std::size_t count;
        bool expected;
    } cases[] = {
        {u"PCI\\VEN_1E2A&DEV_0102&SUBSYS", u"pci\\ven_1e2a&dev_0102", 21, true},
        {u"PX711", u"px71", 4, true},
        {u"PX7", u"PX711", 5, false},          // text ends first
        {u"PX711", u"PX711", 5, true},
        {u"PX71_", u"PX71-", 5, false},        // punctuation is not folded
        {u"", u"", 3, true},                   // both end together
        {u"ABC", u"ABD", 2, true},             // only count characters
    };
    for (const auto& c : cases)
        EXPECT_EQ(px71::PrefixEqualNoCase(c.text, c.prefix, c.count), c.expected)
            << std::u16string(c.text).size() << " vs prefix of " << c.count;
}

TEST(Text, WorksOnAnsiText)
{
    EXPECT_TRUE(px71::PrefixEqualNoCase("usb\\vid_0409&pid_005a&rev", "USB\\VID_0409&PID_005A", 21));
    EXPECT_FALSE(px71::PrefixEqualNoCase("USB\\VID_0409", "USB\\VID_0409&PID_005A", 21));
    EXPECT_EQ(px71::Length("PX71"), 4u);
    EXPECT_EQ(px71::Length(u""), 0u);
}

} // namespace

namespace {

// The library's formats against the C library's printf, which defines them.
TEST(Text, NumbersFormatAsPrintfDoes)
{
    const unsigned long values[] = {0, 1, 6, 0x10, 0xFF, 0x1217, 0x400000, 0x2E31217, 0x10110000, 0xFFFFFFFF};
    for (unsigned long v : values) {
        struct Format {
            const char* printf;
            std::size_t width;
            bool upper;
        } formats[] = {{"%#08lx", 8, false}, {"%#02lX", 2, true}, {"%#lx", 0, false}, {"%#012lX", 12, true}};
        for (const auto& f : formats) {
            char expected[32];
            std::snprintf(expected, sizeof expected, f.printf, v);
            char16_t buffer[32];
            px71::FixedText<char16_t> text(buffer, 32);
            text.Hex(v, f.width, f.upper);
            EXPECT_EQ(std::u16string(text.text()), std::u16string(expected, expected + std::strlen(expected)))
                << f.printf << " of " << v;
        }
        for (std::size_t width : {0, 2, 4}) {
            char format[8];
            std::snprintf(format, sizeof format, "%%0%zulu", width);
            char expected[32];
            std::snprintf(expected, sizeof expected, format, v);
            char buffer[32];
            px71::FixedText<char> text(buffer, 32);
            EXPECT_STREQ(text.Decimal(v, width).text(), expected) << format << " of " << v;
        }
    }
}

TEST(Text, FixedTextStopsAtItsBufferAndStaysTerminated)
{
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    px71::FixedText<char> text(buffer, 6);
    text.Append("abc").Hex(0x1234, 8).Append(nullptr);
    EXPECT_STREQ(buffer, "abc0x");
    EXPECT_EQ(text.length(), 5u);
    EXPECT_EQ(buffer[6], 'x') << "nothing written past the capacity";

    SYSTEMTIME t{987, 1, 0, 2, 3, 4, 5, 0};
    char stamp[20];
    px71::FixedText<char> out(stamp, sizeof stamp);
    EXPECT_STREQ(px71::AppendDateTime(out, t).text(), "0987/01/02 03:04:05");
}

} // namespace
