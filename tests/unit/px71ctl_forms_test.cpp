// px71ctl's friendly forms: what each puts into the record, what it refuses, and what
// it prints and returns against PX71Service on the embedded default machine.
#include "sim/files.h"
#include "sim/identity.h"
#include "support/run_px71ctl.h"
#include "support/service_machine.h"
#include "tools/px71ctl/commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sys/wait.h>
#include <vector>

namespace {

using px71test::MachineTest;
using px71test::ServiceMachineTest;

using px71test::Captured;
using px71test::RunPx71ctl;

bool Parse(std::vector<const char*> args, px71ctl::Invocation& invocation)
{
    return px71test::ParsePx71ctl(std::move(args), invocation);
}

std::uint32_t At(const PipeRequest& r, std::size_t offset, unsigned width)
{
    std::uint32_t value = 0;
    std::memcpy(&value, reinterpret_cast<const std::uint8_t*>(&r) + offset, width);
    return value;
}

// ---------------------------------------------------------------- the command line
TEST(Px71ctlForms, EachFormFillsTheRecordItsCommandReads)
{
    struct Field {
        std::size_t offset;
        unsigned width;
        std::uint32_t value;
    };
    struct Case {
        std::vector<const char*> args;
        std::uint32_t command;
        std::vector<Field> fields;
        bool every_card = false;
    } cases[] = {
        {{"names", "cardbus", "0"}, 10, {{248, 4, 0}, {252, 4, 0}, {384, 4, 128}}, true},
        {{"names", "ehci", "1"}, 11, {{248, 4, 1}, {384, 4, 128}}, true},
        {{"names", "ohci", "0", "3"}, 12, {{252, 4, 3}, {384, 4, 128}}},
        {{"names", "sata", "0x2", "4294967295"}, 13, {{248, 4, 2}, {252, 4, 0xFFFFFFFFu}}},
        // The removal codes list the SATA controller first.
        {{"eject", "sata", "0", "1"}, 6, {{248, 4, 0}, {252, 4, 1}, {384, 4, 0}}},
        {{"eject", "cardbus", "1", "0"}, 7, {{248, 4, 1}, {252, 4, 0}}},
        {{"eject", "ehci", "0", "2"}, 8, {{252, 4, 2}}},
        {{"eject", "ohci", "0", "0"}, 9, {{252, 4, 0}}},
        // Bus, StateChange, LinkEnable, CheckVolumes.
        {{"slot", "3", "--link", "off", "--check-volumes"}, 2, {{12, 4, 0x01000003u}}},
        {{"slot", "6", "--link=on"}, 2, {{12, 4, 0x00010006u}}},
        {{"slot", "255", "--link", "on", "--state", "disable"}, 2, {{12, 4, 0x000102FFu}}},
        {{"slot", "6", "--state", "stop", "--link", "off"}, 2, {{12, 4, 0x00000506u}}},
        {{"slot"}, 15, {{4, 4, 0xFFFFFFFFu}, {248, 4, 0}}},  // Result -1: left so by a service that does not know 15
        {{"slot", "6", "--link", "on", "--state", "reenumerate"}, 2, {{12, 4, 0x00010006u}}},
        {{"sizes", "--port", "1", "--oz888", "2", "--sxs", "3", "--a3132", "4", "--b3132", "5", "--usb", "6",
          "--start", "7", "--end", "8", "--payload", "9", "--sata-ssc", "0xFFFFFFFF"},
         3,
         {{388, 4, 1}, {228, 4, 2}, {232, 4, 3}, {236, 4, 4}, {240, 4, 5}, {244, 4, 6}, {20, 4, 7}, {24, 4, 8},
          {392, 4, 9}, {396, 4, 0xFFFFFFFFu}}},
        {{"sizes", "--defaults", "--usb", "6", "--oz888", "2", "--sxs", "3", "--a3132", "4", "--b3132", "5"},
         3,
         {{24, 4, 0}, {20, 4, 0}, {388, 4, 0}, {228, 4, 2}, {244, 4, 6}}},
        {{"report", "Slot check"}, 4, {{28, 4, 0x746F6C53u}}},  // "Slot"
        {{"report"}, 4, {{28, 4, 0}}},
        {{"check"}, 14, {}},
        {{"filters", "add"}, 1, {}},
        {{"reset-bridge", "--timeout", "250"}, 5, {{4, 4, 0}}},
    };
    for (const auto& c : cases) {
        std::string trace;
        for (auto a : c.args) trace += std::string(a) + " ";
        SCOPED_TRACE(trace);
        px71ctl::Invocation invocation;
        ASSERT_TRUE(Parse(c.args, invocation)) << invocation.error;
        EXPECT_NE(invocation.form, px71ctl::Form::kRecord);
        EXPECT_EQ(invocation.request.Command, c.command);
        EXPECT_EQ(invocation.every_card, c.every_card);
        for (const auto& f : c.fields) EXPECT_EQ(At(invocation.request, f.offset, f.width), f.value) << f.offset;
    }
    // Whatever a form does not name stays zero, so the service sees only what was asked.
    px71ctl::Invocation invocation;
    ASSERT_TRUE(Parse({"eject", "ehci", "0", "2"}, invocation));
    PipeRequest expected{};
    expected.Command = 8;
    expected.CardIndex = 2;
    EXPECT_EQ(std::memcmp(&invocation.request, &expected, sizeof expected), 0);
}

TEST(Px71ctlForms, WhatAFormCannotUseIsRefusedWithAMessageThatSaysWhy)
{
    const std::string long_title(200, 't');
    struct Case {
        std::vector<const char*> args;
        const char* says;
    } cases[] = {
        {{"names"}, "usage: px71ctl names"},
        {{"names", "usb", "0"}, "cardbus, ehci, ohci or sata"},
        {{"names", "ehci", "-1"}, "not a number"},
        {{"names", "ehci", "010"}, "not a number"},  // not read as octal 8
        {{"names", "ehci", "0", "1", "2"}, "unexpected argument \"2\""},
        {{"names", "ehci", "4294967296"}, "not a number"},
        {{"eject", "ehci", "0"}, "usage: px71ctl eject"},
        {{"eject", "sata", "0", "x"}, "CARD"},
        {{"slot", "6"}, "--link on or --link off"},
        {{"slot", "256", "--link", "on"}, "from 0 to 255"},
        {{"slot", "6", "--link", "1"}, "on or off"},
        {{"slot", "6", "--link"}, "needs a value"},
        {{"slot", "6", "--link", "on", "--state", "restart"}, "reenumerate, enable"},
        {{"slot", "6", "--link", "on", "--check-volumes=1"}, "takes no value"},
        {{"slot", "6", "--link", "on", "--link", "off"}, "given twice"},
        {{"slot", "6", "--link", "on", "--Bus", "6"}, "takes no option --Bus"},
        // Every value is written, so a value left out would be written as 0.
        {{"sizes", "--port", "1"}, "missing --oz888"},
        {{"sizes", "--port", "1", "--oz888", "2", "--sxs", "3", "--a3132", "4", "--b3132", "5", "--usb", "6",
          "--start", "7", "--end", "0", "--payload", "9", "--sata-ssc", "10"},
         "use sizes --defaults"},
        {{"sizes", "--defaults", "--oz888", "2", "--sxs", "3", "--a3132", "4", "--b3132", "5", "--usb", "6", "--port",
          "1"},
         "not --port"},
        {{"sizes", "--defaults", "--oz888", "2"}, "missing --sxs"},
        {{"sizes", "--port", "1", "--oz888", "2", "--sxs", "3", "--a3132", "4", "--b3132", "5", "--usb", "6",
          "--start", "7", "--end", "8", "--payload", "9", "--sata-ssc", "4294967296"},
         "--sata-ssc"},
        {{"sizes", "5"}, "unexpected argument \"5\""},
        {{"report", long_title.c_str()}, "at most 199 bytes"},
        {{"report", "a", "b"}, "unexpected argument \"b\""},
        {{"check", "--verbose"}, "takes no option --verbose"},
        {{"filters"}, "usage: px71ctl filters add"},
        {{"filters", "del"}, "only adds filters"},
        {{"reset-bridge", "now"}, "unexpected argument"},
        {{"check", "--timeout", "0"}, "--timeout"},
    };
    for (const auto& c : cases) {
        std::string trace;
        for (auto a : c.args) trace += std::string(a) + " ";
        SCOPED_TRACE(trace);
        px71ctl::Invocation invocation;
        EXPECT_FALSE(Parse(c.args, invocation));
        EXPECT_NE(invocation.error.find(c.says), std::string::npos) << invocation.error;
    }
}

TEST(Px71ctlForms, HelpIsGivenForEveryFormAndOverall)
{
    for (const char* form : {"names", "eject", "slot", "sizes", "report", "check", "filters", "reset-bridge"}) {
        px71ctl::Invocation invocation;
        ASSERT_TRUE(Parse({form, "--help"}, invocation)) << form;
        EXPECT_TRUE(invocation.help);
        EXPECT_EQ(invocation.help_form, form);
    }
    // --help wins over a command line that could not be used.
    px71ctl::Invocation invocation;
    EXPECT_TRUE(Parse({"slot", "--help"}, invocation));
    EXPECT_TRUE(invocation.help);
}

// ---------------------------------------------------------------- against the service
class Px71ctlFormsTest : public ServiceMachineTest {
protected:
    static std::size_t Count(const std::string& text, const std::string& what)
    {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
};

TEST_F(Px71ctlFormsTest, NamesListsEveryCardWithItsStateAndAsksUntilTheResultIsZero)
{
    struct Case {
        std::vector<const char*> args;
        int code;
        std::vector<std::string> lines;  // each line begins so, then the raw numbers
        std::size_t requests;
    } cases[] = {
        {{"names", "ehci", "0"},
         px71ctl::kExitDone,
         {"ehci controller 0, card 0: a USB device, \"USB Ethernet Adapter\" (Result 1, ",
          "ehci controller 0, card 1: a medium in the card reader's CF slot, \"ZEK-PX71    CF\" (Result 2, ",
          "ehci controller 0, card 2: a medium in the card reader's SD slot, \"ZEK-PX71    SD\" (Result 3, ",
          "ehci controller 0, card 3: a USB device, \"USB Bluetooth Adapter\" (Result 1, ",
          "ehci controller 0, card 4: no such card (Result 0, ", "4 cards below ehci controller 0"},
         5},
        {{"names", "sata", "0"},
         px71ctl::kExitDone,
         {"sata controller 0, card 0: a disk, present and started, \"ST3500418AS\" (Result 2, ",
          "sata controller 0, card 1: a disk, present and started, \"WDC WD5000AAKS-00V1A0\" (Result 2, ",
          "sata controller 0, card 2: no such disk (Result 0, ", "2 cards below sata controller 0"},
         3},
        {{"names", "cardbus", "0"},
         px71ctl::kExitDone,
         {"cardbus controller 0, card 0: present and started, \"CardBus Fast Ethernet Card\" (Result 1, ",
          "cardbus controller 0, card 1: no such card, or it is not started or has a problem (Result 0, ",
          "1 card below cardbus controller 0"},
         2},
        {{"names", "ohci", "0"},
         px71ctl::kExitFailed,
         {"ohci controller 0, card 0: no such card, or it is not started or has a problem (Result 0, ",
          "0 cards below ohci controller 0"},
         1},
        {{"names", "ehci", "0", "2"},
         px71ctl::kExitDone,
         {"ehci controller 0, card 2: a medium in the card reader's SD slot, \"ZEK-PX71    SD\" (Result 3, "},
         1},
        {{"names", "ehci", "1", "0"}, px71ctl::kExitFailed, {"ehci controller 1, card 0: no such card (Result 0, "}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.args[1]) + " " + c.args[2]);
        machine.ClearCalls();
        Captured run = RunPx71ctl(c.args);
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_EQ(run.err, "");
        std::size_t at = 0;
        for (const auto& line : c.lines) {
            std::size_t end = run.out.find('\n', at);
            ASSERT_NE(end, std::string::npos) << run.out;
            std::string got = run.out.substr(at, end - at);
            EXPECT_EQ(got.substr(0, line.size()), line);
            if (line.back() == ' ') {
                EXPECT_TRUE(std::regex_match(got.substr(line.size()), std::regex("LastError [0-9]+\\)"))) << got;
            }
            at = end + 1;
        }
        EXPECT_EQ(at, run.out.size()) << "nothing more: " << run.out.substr(at);
        EXPECT_EQ(machine.CallCount("OpenEventW"), c.requests) << "one request per card asked";
    }
}

TEST_F(Px71ctlFormsTest, EjectLetsTheCardGoAndSaysSo)
{
    Captured run = RunPx71ctl({"eject", "ehci", "0", "2"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_EQ(run.out.rfind("ehci controller 0, card 2: ejected; it can be pulled (Result 1, LastError ",
                            0),
              0u)
        << run.out;
    EXPECT_FALSE(machine.storage.disk(4)->medium) << "the SD medium is out";
    EXPECT_TRUE(machine.storage.disk(3)->medium);

    run = RunPx71ctl({"eject", "sata", "0", "1"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_NE(run.out.find("sata controller 0, card 1: the disk was removed (Result 1,"), std::string::npos);
    EXPECT_FALSE(machine.tree.node(nodes.sata_disk[1]).present);
    EXPECT_TRUE(machine.tree.node(nodes.sata_disk[0]).present);

    // The numbers move up once a disk is gone: there is no card 1 any more.
    run = RunPx71ctl({"eject", "sata", "0", "1"});
    EXPECT_EQ(run.code, px71ctl::kExitFailed);
    EXPECT_NE(run.out.find("not removed: no such disk, the disk is not started, or its removal failed (Result 0,"),
              std::string::npos);

    run = RunPx71ctl({"eject", "cardbus", "0", "5"});
    EXPECT_EQ(run.code, px71ctl::kExitFailed);
    EXPECT_NE(run.out.find("cardbus controller 0, card 5: not ejected: no such card, or its eject was vetoed or failed "
                           "(files open on a medium) (Result 0,"),
              std::string::npos);
    EXPECT_TRUE(machine.tree.node(nodes.cardbus_card).present);
}

TEST_F(Px71ctlFormsTest, SlotSwitchesTheLinkAndReportsWhenItCannot)
{
    Captured run = RunPx71ctl({"slot"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_NE(run.out.find("slot 0, bus 6: a card is in the slot; the link is on; card \"ExpressCard PCI Express to "
                           "PCI Bridge\", started (Result 1,"),
              std::string::npos)
        << run.out;
    run = RunPx71ctl({"slot", "6", "--link", "off", "--check-volumes"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_NE(run.out.find("slot bridge on bus 6: the link is off; the devices on bus 6 were re-enumerated (Result 1,"),
              std::string::npos)
        << run.out;
    EXPECT_NE(machine.dump.Read(sim::kDefaultSlotBus, 0x50) & 0x10, 0u) << "Link Disable set";
    EXPECT_FALSE(machine.reenumerations.empty());
    run = RunPx71ctl({"slot"});
    EXPECT_NE(run.out.find("a card is in the slot; the link is off; no card device in the tree"), std::string::npos)
        << run.out;

    run = RunPx71ctl({"slot", "6", "--link", "on", "--state", "disable"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_NE(run.out.find("the link is on; state change \"disable\" requested for the devices on bus 6"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(machine.dump.Read(sim::kDefaultSlotBus, 0x50) & 0x10, 0u);
    ASSERT_FALSE(machine.property_changes.empty());
    EXPECT_EQ(machine.property_changes.back().state_change, static_cast<DWORD>(DICS_DISABLE));

    run = RunPx71ctl({"slot", "3", "--link", "off"});
    EXPECT_EQ(run.code, px71ctl::kExitFailed);
    EXPECT_NE(run.out.find("slot bridge on bus 3: the link was not switched (no adapter slot bridge on bus 3, or a "
                           "configuration access failed)"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(machine.dump.Read(sim::kDefaultSlotBus, 0x50) & 0x10, 0u) << "the slot on bus 6 is left alone";
}

TEST_F(Px71ctlFormsTest, SizesLandInTheFilterDriversKey)
{
    Captured run = RunPx71ctl({"sizes", "--port", "1", "--oz888", "2", "--sxs", "3", "--a3132", "4", "--b3132", "5",
                        "--usb", "6", "--start", "7", "--end", "8", "--payload", "9", "--sata-ssc", "0x80000000"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_NE(run.out.find("settings stored under HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711 (Result 1,"),
              std::string::npos)
        << run.out;
    const char16_t* names[] = {u"PortLen", u"Oz888Len", u"SxsLen",  u"A3132Len",    u"B3132Len",
                               u"USBLen",  u"StartAdrs", u"EndAdrs", u"PayloadSize"};
    for (DWORD i = 0; i < 9; ++i) EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, names[i]), i + 1);
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"SataSSC"), 0x80000000u);

    run = RunPx71ctl({"sizes", "--defaults", "--oz888", "20", "--sxs", "30", "--a3132", "40", "--b3132", "50", "--usb", "60"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_NE(run.out.find("defaults stored under"), std::string::npos) << run.out;
    const char16_t* defaults[] = {u"Oz888LenDef", u"SxsLenDef", u"A3132LenDef", u"B3132LenDef", u"USBLenDef"};
    for (DWORD i = 0; i < 5; ++i) EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, defaults[i]), (i + 2) * 10);
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"Oz888Len"), 2u) << "the working values stay";
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"EndAdrs"), 8u);

    machine.registry.DeleteKey(sim::kServiceKey);
    run = RunPx71ctl({"sizes", "--defaults", "--oz888", "1", "--sxs", "1", "--a3132", "1", "--b3132", "1", "--usb", "1"});
    EXPECT_EQ(run.code, px71ctl::kExitFailed);
    EXPECT_NE(run.out.find("defaults not stored, or only in part: the key "
                           "HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711 is missing or not writable"),
              std::string::npos)
        << run.out;
}

TEST_F(Px71ctlFormsTest, ReportLandsInTheServicesLog)
{
    Captured run = RunPx71ctl({"report", "Slot check"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_EQ(run.out.rfind("report \"Slot check\" written into PX71.LOG beside PX71Service.exe (Result 1,",
                            0),
              0u)
        << run.out;
    auto log = machine.files().Read(machine.files().ProgramFolder() + u"PX71.LOG");
    ASSERT_TRUE(log.has_value());
    const std::string heading(reinterpret_cast<const char*>(log->data()) + 200, 200);
    EXPECT_EQ(heading.substr(0, 14), "\r\n\r\nSlot check");
}

TEST_F(Px71ctlFormsTest, CheckNamesEachBitAndWhatSitsThere)
{
    Captured run = RunPx71ctl({"check"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_EQ(run.out.rfind("device check 0x1F: the adapter shows (Result 31, LastError ", 0), 0u) << run.out;
    EXPECT_EQ(Count(run.out, " yes  "), 5u);
    EXPECT_NE(run.out.find("  0x04 yes  a CardBus controller (driver pcmcia) below downstream port 3\n"),
              std::string::npos);

    // Without the CardBus controller its bit alone is clear.
    machine.tree.RemoveSubtree(nodes.cardbus);
    run = RunPx71ctl({"check"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_EQ(run.out.rfind("device check 0x1B:", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("  0x04 no   a CardBus controller"), std::string::npos) << run.out;
    EXPECT_EQ(Count(run.out, " yes  "), 4u);

    machine.tree.RemoveSubtree(nodes.adapter);
    run = RunPx71ctl({"check"});
    EXPECT_EQ(run.code, px71ctl::kExitFailed);
    EXPECT_EQ(run.out.rfind("device check 0x00: nothing found: no adapter, or none of its positions holds a known "
                            "controller (Result 0, ",
                            0),
              0u)
        << run.out;
}

TEST_F(Px71ctlFormsTest, FiltersAddAndResetBridge)
{
    Captured run = RunPx71ctl({"filters", "add"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_EQ(run.out.rfind("filter drivers written for 1 adapter (Result 1, ", 0), 0u) << run.out;
    EXPECT_EQ(*machine.tree.MultiSz(nodes.root_port, CM_DRP_UPPERFILTERS), sim::WideList{u"PX711"});

    // The filter sits on the root port above the bridge, so the bridge is restarted.
    const std::size_t changes = machine.property_changes.size();
    run = RunPx71ctl({"reset-bridge"});
    EXPECT_EQ(run.code, px71ctl::kExitDone);
    EXPECT_EQ(run.out.rfind("bridge restart requested (disable, then enable); the service reports no result for it "
                            "(Result 0, ",
                            0),
              0u)
        << run.out;
    ASSERT_EQ(machine.property_changes.size(), changes + 3);
    EXPECT_EQ(machine.property_changes[changes].state_change, static_cast<DWORD>(DICS_DISABLE));
    EXPECT_EQ(machine.property_changes[changes].node, nodes.adapter);

    machine.tree.RemoveSubtree(nodes.adapter);
    run = RunPx71ctl({"filters", "add"});
    EXPECT_EQ(run.code, px71ctl::kExitFailed);
    EXPECT_EQ(run.out.rfind("no adapter found (the filter lists of earlier runs were deleted all the same) (Result 0,",
                            0),
              0u)
        << run.out;
    EXPECT_FALSE(machine.tree.MultiSz(nodes.root_port, CM_DRP_UPPERFILTERS).has_value()) << "deleted all the same";
}

TEST_F(Px71ctlFormsTest, ARootPortThatRefusesItsFilterIsAFailure)
{
    machine.tree.node(nodes.root_port).refuse_property_writes = true;
    Captured run = RunPx71ctl({"filters", "add"});
    EXPECT_EQ(run.code, px71ctl::kExitFailed);
    EXPECT_EQ(run.out.rfind("1 adapter failed: the root port's filter list could not be written (Result -1, ", 0), 0u)
        << run.out;
}

// Without the service no pipe answers; a pipe of its name that another process made
// (the name is free while the service is stopped) is sent nothing.
TEST_F(MachineTest, WithoutTheServiceAFormSaysSoAndExitsOne)
{
    struct Case {
        bool squatter;
        const char* err;
    } cases[] = {
        {false, "px71ctl: the service PX71Service is not running"},
        {true, "px71ctl: the pipe \\\\.\\pipe\\PX71Service is not served by the PX71Service service (process 4660); "
               "nothing was sent (error 1060)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        HANDLE squatter = INVALID_HANDLE_VALUE;
        if (c.squatter) {
            sim::InProcess other(4660);
            squatter = CreateNamedPipeW(u"\\\\.\\pipe\\PX71Service", PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 1000, nullptr);
        }
        Captured run = RunPx71ctl({"names", "ehci", "0", "--timeout", "200"});
        EXPECT_EQ(run.code, px71ctl::kExitNoAnswer);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
        if (squatter != INVALID_HANDLE_VALUE) CloseHandle(squatter);
    }
}

// The program itself: its exit codes and where its words go, on the machine its host
// session boots.
TEST(Px71ctlProgram, ExitCodesTellDoneFailedAndBadInput)
{
    struct Case {
        const char* args;
        int code;
        const char* out;  // a line it prints, on standard output
        const char* err;  // on standard error
    } cases[] = {
        {"names ehci 0", 0, "4 cards below ehci controller 0\n", ""},
        {"names ohci 0", 3, "0 cards below ohci controller 0\n", ""},
        {"eject cardbus 0 0", 0, "ejected; it can be pulled", ""},
        {"check", 0, "  0x10 yes  a USB driver", ""},
        {"names usb 0", 2, "", "px71ctl: unknown kind of controller \"usb\": cardbus, ehci, ohci or sata\n"},
        {"slot 6", 2, "", "px71ctl: slot needs --link on or --link off\n"},
        {"--help", 0, "  names         list the cards below a controller", ""},
        {"sizes --help", 0, "usage: px71ctl sizes --port N", ""},
        {"ehci-card-name --CardIndex 2", 0, "CardName   \"ZEK-PX71    SD\"\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const std::string err_file = ::testing::TempDir() + "px71ctl_err.txt";
        const std::string command = std::string(PX71CTL_PATH) + " " + c.args + " 2>" + err_file;
        std::FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        const int status = pclose(pipe);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.code) << out;
        std::string err;
        if (std::FILE* f = std::fopen(err_file.c_str(), "r")) {
            for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) err.append(buffer, n);
            std::fclose(f);
        }
        if (*c.out) {
            EXPECT_NE(out.find(c.out), std::string::npos) << out;
        } else {
            EXPECT_EQ(out, "");
        }
        EXPECT_EQ(err, c.err);
    }
}

} // namespace
