// The command table: every code reaches its export with the record's fields in the
// documented order, on the simulated default machine.
#include "service/command_dispatch.h"
#include "sim/files.h"
#include "support/machine_test.h"

#include <cstring>
#include <optional>
#include <utility>
#include <string>

using px71test::MachineTest;

namespace {

class DispatchTest : public MachineTest {
protected:
    sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);

    static PipeRequest Request(std::uint32_t command)
    {
        PipeRequest r;
        std::memset(&r, 0, sizeof r);
        r.Command = command;
        r.Result = 0x5A5A5A5A;  // what the client sent
        return r;
    }
    PipeRequest Run(PipeRequest r)
    {
        px71service::Caller administrator([](void*, bool& yes) noexcept -> DWORD {
            yes = true;
            return NO_ERROR;
        }, nullptr);
        px71service::RunCommand(r, administrator);
        return r;
    }
    static std::u16string Name(const PipeRequest& r)
    {
        std::u16string name;
        for (std::uint16_t c : r.CardName) {
            if (c == 0 || c == u'#') break;
            name.push_back(static_cast<char16_t>(c));
        }
        return name;
    }
};

TEST_F(DispatchTest, CodesOutsideTheTableRunNothing)
{
    for (std::uint32_t code : {0u, 16u, 0x80000001u, 0xFFFFFFFFu}) {
        machine.ClearCalls();
        PipeRequest r = Run(Request(code));
        EXPECT_EQ(r.Result, 0x5A5A5A5A) << code;
        EXPECT_EQ(machine.TotalCalls(), 0u) << code;
    }
}

TEST_F(DispatchTest, NameCommandsNameTheirControllersCards)
{
    struct Case {
        std::uint32_t code, controller, card;
        int result;
        std::u16string name;
    } cases[] = {
        {10, 0, 0, 1, u"CardBus Fast Ethernet Card"},
        {11, 0, 0, 1, u"USB Ethernet Adapter"},
        {11, 0, 1, 2, u"ZEK-PX71    CF"},
        {11, 0, 2, 3, u"ZEK-PX71    SD"},
        {12, 0, 0, 0, u""},
        {13, 0, 0, 2, u"ST3500418AS"},
        {13, 0, 1, 2, u"WDC WD5000AAKS-00V1A0"},
        {13, 1, 0, 0, u""},
    };
    for (const auto& c : cases) {
        PipeRequest r = Request(c.code);
        r.ControllerIndex = c.controller;
        r.CardIndex = c.card;
        r.CardNameSize = 64;
        for (auto& u : r.CardName) u = u'#';
        r = Run(r);
        EXPECT_EQ(r.Result, c.result) << c.code << " " << c.card;
        EXPECT_EQ(Name(r), c.name) << c.code << " " << c.card;
    }
}

TEST_F(DispatchTest, RemovalCommandsListTheSataControllerFirst)
{
    struct Case {
        std::uint32_t code, card;
        int result;
        DEVINST gone;
    } cases[] = {
        {6, 1, 1, nodes.sata_disk[1]},
        {7, 0, 1, nodes.cardbus_card},
        {9, 0, 0, 0},
    };
    for (const auto& c : cases) {
        PipeRequest r = Request(c.code);
        r.CardIndex = c.card;
        EXPECT_EQ(Run(r).Result, c.result) << c.code;
        if (c.gone) {
            EXPECT_FALSE(machine.tree.node(c.gone).present) << c.code;
        }
    }
    EXPECT_TRUE(machine.tree.node(nodes.sata_disk[0]).present);
    PipeRequest sd = Request(8);
    sd.CardIndex = 2;
    EXPECT_EQ(Run(sd).Result, 1);
    EXPECT_FALSE(machine.storage.disk(4)->medium) << "command 8 ejected the SD medium";
}

TEST_F(DispatchTest, SetStatusTakesItsFourBytesInOrder)
{
    PipeRequest r = Request(2);
    const std::uint8_t off[4] = {sim::kDefaultSlotBus, 0, 0, 0};  // re-enumerate, link off, no check
    std::memcpy(r.SetStatusArgs, off, 4);
    EXPECT_EQ(Run(r).Result, 1);
    EXPECT_NE(machine.dump.Read(sim::kDefaultSlotBus, 0x50) & 0x10, 0u);
    EXPECT_FALSE(machine.reenumerations.empty());
    EXPECT_TRUE(machine.property_changes.empty());

    const std::uint8_t disable_on[4] = {sim::kDefaultSlotBus, DICS_DISABLE, 1, 1};
    std::memcpy(r.SetStatusArgs, disable_on, 4);
    EXPECT_EQ(Run(r).Result, 1);
    EXPECT_EQ(machine.dump.Read(sim::kDefaultSlotBus, 0x50) & 0x10, 0u);
    ASSERT_FALSE(machine.property_changes.empty());
    EXPECT_EQ(machine.property_changes.back().state_change, static_cast<DWORD>(DICS_DISABLE));
}

// The caller is identified once, and only when the answer changes what runs: a
// set-status request that can pull a volume from under an open file (link off, disable,
// restart, stop) and asks for no check, or a command the policy closes. After a failed
// identification nothing runs and the request comes back as sent.
TEST_F(DispatchTest, TheCallerIsAskedOnceAndOnlyWhenItDecides)
{
    struct Identity {
        bool administrator;
        DWORD failure;
        int asked = 0;
    };
    const DWORD kCloses2 = 1u << 2, kCloses3 = 1u << 3;
    const DWORD kBroken = ERROR_NO_IMPERSONATION_TOKEN;
    const std::int32_t kAsSent = 0x5A5A5A5A;
    struct Case {
        const char* what;
        bool administrator;
        DWORD failure;
        std::optional<std::pair<DWORD, sim::Bytes>> policy;  // type and data of AdminOnlyCommands
        std::uint32_t command;
        BYTE args[4];  // bus, state change, link enable, check volumes
        int asked;
        std::int32_t result;
    } cases[] = {
        {"a user's link off is checked", false, 0, {}, 2, {sim::kDefaultSlotBus, 0, 0, 0}, 1, 0},
        {"a user's disable", false, 0, {}, 2, {sim::kDefaultSlotBus, DICS_DISABLE, 1, 0}, 1, 0},
        {"a user's restart", false, 0, {}, 2, {sim::kDefaultSlotBus, DICS_PROPCHANGE, 1, 0}, 1, 0},
        {"a user's stop", false, 0, {}, 2, {sim::kDefaultSlotBus, DICS_STOP, 1, 0}, 1, 0},
        {"an enable asks no one", false, 0, {}, 2, {sim::kDefaultSlotBus, DICS_ENABLE, 1, 0}, 0, 1},
        {"nor a request that asks for the check", false, 0, {}, 2, {sim::kDefaultSlotBus, 0, 0, 1}, 0, 0},
        {"an administrator's link off as asked", true, 0, {}, 2, {sim::kDefaultSlotBus, 0, 0, 0}, 1, 1},
        {"a failed identification runs nothing", false, kBroken, {}, 2, {sim::kDefaultSlotBus, 0, 0, 0}, 1, kAsSent},
        {"even one that named an administrator", true, kBroken, {}, 2, {sim::kDefaultSlotBus, 0, 0, 0}, 1, kAsSent},
        {"a closed command refuses a user", false, 0, std::pair{DWORD{REG_DWORD}, sim::DwordBytes(kCloses3)}, 3, {}, 1, 0},
        {"and runs nothing after a failure", true, kBroken, std::pair{DWORD{REG_DWORD}, sim::DwordBytes(kCloses3)}, 3,
         {}, 1, kAsSent},
        {"an administrator's closed command runs", true, 0, std::pair{DWORD{REG_DWORD}, sim::DwordBytes(kCloses3)}, 3,
         {}, 1, 1},
        {"a closed set-status asks once", false, 0, std::pair{DWORD{REG_DWORD}, sim::DwordBytes(kCloses2)}, 2,
         {sim::kDefaultSlotBus, 0, 0, 0}, 1, 0},
        {"an administrator's, still once", true, 0, std::pair{DWORD{REG_DWORD}, sim::DwordBytes(kCloses2)}, 2,
         {sim::kDefaultSlotBus, 0, 0, 0}, 1, 1},
        {"a short DWORD closes nothing", false, 0, std::pair{DWORD{REG_DWORD}, sim::Bytes{0xFF, 0xFF}}, 3, {}, 0, 1},
    };
    machine.storage.volumes.at('G').open_files = 1;  // on the reader, below the slot
    const auto clean = machine.Snapshot();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        machine.Restore(*clean);
        if (c.policy)
            machine.registry.SetValue(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX71Service\\Parameters",
                                      u"AdminOnlyCommands", c.policy->first, c.policy->second);
        PipeRequest r = Request(c.command);
        std::memcpy(r.SetStatusArgs, c.args, 4);
        r.EndAdrs = 8;
        Identity identity{c.administrator, c.failure};
        px71service::Caller caller([](void* context, bool& administrator) noexcept -> DWORD {
            auto& who = *static_cast<Identity*>(context);
            ++who.asked;
            administrator = who.administrator;
            return who.failure;
        }, &identity);
        SetLastError(NO_ERROR);
        px71service::RunCommand(r, caller);
        EXPECT_EQ(identity.asked, c.asked);
        EXPECT_EQ(r.Result, c.result);
        EXPECT_EQ(caller.failure(), c.failure);
        if (c.policy && c.result == 0) {
            EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
        }
        if (c.result == kAsSent) {
            EXPECT_EQ(machine.dump.Read(sim::kDefaultSlotBus, 0x50) & 0x10, 0u) << "link left on";
        }
    }
}

TEST_F(DispatchTest, SizesChooseTheVariantByEndAdrs)
{
    PipeRequest r = Request(3);
    r.PortLen = 1, r.Oz888Len = 2, r.SxsLen = 3, r.A3132Len = 4, r.B3132Len = 5, r.USBLen = 6;
    r.StartAdrs = 7, r.EndAdrs = 8, r.PayloadSize = 9, r.SataSSC = 10;
    EXPECT_EQ(Run(r).Result, 1);
    const char16_t* names[] = {u"PortLen",   u"Oz888Len", u"SxsLen",      u"A3132Len", u"B3132Len",
                               u"USBLen",    u"StartAdrs", u"EndAdrs",    u"PayloadSize", u"SataSSC"};
    for (DWORD i = 0; i < 10; ++i) EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, names[i]), i + 1);

    r.EndAdrs = 0;
    r.Oz888Len = 20, r.USBLen = 60, r.StartAdrs = 70, r.PortLen = 10;
    EXPECT_EQ(Run(r).Result, 1);
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"Oz888LenDef"), 20u);
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"USBLenDef"), 60u);
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"StartAdrs"), 7u) << "the defaults leave the range alone";
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"EndAdrs"), 8u);
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"PortLen"), 1u);
}

TEST_F(DispatchTest, ResetLeavesResultAndRestartsTheBridge)
{
    PipeRequest r = Run(Request(5));
    EXPECT_EQ(r.Result, 0x5A5A5A5A);
    ASSERT_EQ(machine.property_changes.size(), 3u);
    EXPECT_EQ(machine.property_changes[0].state_change, static_cast<DWORD>(DICS_DISABLE));
    EXPECT_EQ(machine.property_changes[1].state_change, static_cast<DWORD>(DICS_ENABLE));
    EXPECT_EQ(machine.property_changes[1].scope, static_cast<DWORD>(DICS_FLAG_GLOBAL));
    EXPECT_EQ(machine.property_changes[2].scope, static_cast<DWORD>(DICS_FLAG_CONFIGSPECIFIC));
}

TEST_F(DispatchTest, FiltersAndCheck)
{
    EXPECT_EQ(Run(Request(1)).Result, 1);
    EXPECT_EQ(*machine.tree.MultiSz(nodes.root_port, CM_DRP_UPPERFILTERS), sim::WideList{u"PX711"});
    EXPECT_EQ(Run(Request(14)).Result, 0x1F);
}

TEST_F(DispatchTest, TheReportTitleCannotRunPastItsField)
{
    PipeRequest r = Request(4);
    std::memset(r.LogTitle, 'T', sizeof r.LogTitle);  // no NUL anywhere in the field
    r.Oz888Len = 0x41414141;                           // what follows the field
    PipeRequest reply = Run(r);
    EXPECT_EQ(reply.Result, 1);
    EXPECT_EQ(std::memcmp(reply.LogTitle, r.LogTitle, sizeof r.LogTitle), 0) << "the field is echoed unchanged";
    auto log = machine.files().Read(machine.files().ProgramFolder() + u"PX71.LOG");
    ASSERT_TRUE(log.has_value());
    // The heading record: two line breaks and the title cut where the record ends.
    const std::string heading(reinterpret_cast<const char*>(log->data()) + 200, 200);
    EXPECT_EQ(heading, "\r\n\r\n" + std::string(196, 'T'));
}

TEST_F(DispatchTest, TheCardNameCannotRunPastItsField)
{
    machine.tree.SetProperty(nodes.cardbus_card, CM_DRP_DEVICEDESC, REG_SZ, sim::SzBytes(std::u16string(100, u'x')));
    PipeRequest r = Request(10);
    r.CardNameSize = 1000;
    r.PortLen = 0x12345678;
    PipeRequest reply = Run(r);
    EXPECT_EQ(reply.Result, 1);
    EXPECT_EQ(reply.CardName[0], 0) << "202 bytes do not fit 128";
    EXPECT_EQ(reply.CardNameSize, 1000u) << "echoed as the client sent it";
    EXPECT_EQ(reply.PortLen, 0x12345678u) << "nothing written past CardName";

    // 62 characters and the terminator are 126 bytes, below the capped 128.
    machine.tree.SetProperty(nodes.cardbus_card, CM_DRP_DEVICEDESC, REG_SZ, sim::SzBytes(std::u16string(62, u'y')));
    reply = Run(r);
    EXPECT_EQ(Name(reply), std::u16string(62, u'y'));
}

} // namespace
