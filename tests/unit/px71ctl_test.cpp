// px71ctl's command line: each subcommand fills the record's fields by their names,
// and anything it cannot use is refused with a message.
#include "tools/px71ctl/commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

bool Parse(std::vector<const char*> args, px71ctl::Invocation& invocation)
{
    args.insert(args.begin(), "px71ctl");
    return px71ctl::ParseCommandLine(static_cast<int>(args.size()), const_cast<char**>(args.data()), invocation);
}

TEST(Px71ctlCommandLine, SubcommandsFillTheFieldsTheyName)
{
    struct Case {
        std::vector<const char*> args;
        std::uint32_t command;
        std::size_t offset;  // of a field that must hold `value`
        std::uint32_t value;
        unsigned width;
    } cases[] = {
        {{"add-filter"}, 1, 0, 1, 4},
        {{"set-status", "--Bus", "6", "--LinkEnable=1"}, 2, 12, 6, 1},
        {{"set-status", "--Bus", "6", "--LinkEnable=1"}, 2, 14, 1, 1},
        {{"set-size", "--EndAdrs", "0xFFFF0000", "--SataSSC", "3"}, 3, 24, 0xFFFF0000u, 4},
        {{"set-size", "--EndAdrs", "0xFFFF0000", "--SataSSC", "3"}, 3, 396, 3, 4},
        {{"stop-3132-card", "--ControllerIndex", "1", "--CardIndex", "2"}, 6, 248, 1, 4},
        {{"stop-cardbus-card", "--CardIndex", "2"}, 7, 252, 2, 4},
        {{"ehci-card-name", "--CardIndex", "1"}, 11, 384, 128, 4},  // the whole CardName unless told
        {{"3132-card-name", "--CardNameSize", "0"}, 13, 384, 0, 4},
        {{"check-device"}, 14, 0, 14, 4},
        {{"raw", "--Command", "99", "--Result", "4294967295"}, 99, 4, 0xFFFFFFFFu, 4},
        {{"raw", "--command=7", "--cardindex=5"}, 7, 252, 5, 4},  // names in any case
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        px71ctl::Invocation invocation;
        ASSERT_TRUE(Parse(c.args, invocation)) << invocation.error;
        EXPECT_EQ(invocation.request.Command, c.command);
        std::uint32_t value = 0;
        std::memcpy(&value, reinterpret_cast<const std::uint8_t*>(&invocation.request) + c.offset, c.width);
        EXPECT_EQ(value, c.value);
    }
    px71ctl::Invocation invocation;
    ASSERT_TRUE(Parse({"write-log", "--LogTitle", "Slot check"}, invocation));
    EXPECT_STREQ(invocation.request.LogTitle, "Slot check");
    ASSERT_TRUE(Parse({"reset-bridge", "--timeout", "250"}, invocation));
    EXPECT_EQ(invocation.timeout_ms, 250u);
}

TEST(Px71ctlCommandLine, WhatItCannotUseIsRefusedWithAMessage)
{
    std::string long_title(200, 'x');
    std::vector<std::vector<const char*>> cases = {
        {},
        {"eject"},
        {"add-filter", "--Bus", "1"},          // not an option of this command
        {"set-status", "--Bus", "256"},        // a byte
        {"set-status", "--Bus", "-1"},
        {"set-status", "--Bus"},               // no value
        {"set-size", "--EndAdrs", "4294967296"},
        {"set-size", "--EndAdrs", "12abc"},
        {"set-size", "--EndAdrs", ""},
        {"write-log", "--LogTitle", long_title.c_str()},
        {"raw", "Command=1"},
        {"raw", "--NoSuchField", "1"},
        {"check-device", "--timeout", "0"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.empty() ? "(nothing)" : args[0]);
        px71ctl::Invocation invocation;
        EXPECT_FALSE(Parse(args, invocation));
        EXPECT_FALSE(invocation.error.empty());
    }
}

} // namespace
