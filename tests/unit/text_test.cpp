#include "library/text.h"

#include <gtest/gtest.h>

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
