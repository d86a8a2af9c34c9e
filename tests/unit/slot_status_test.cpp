// XU_GetStatus, XU_GetCardInfo, XU_SetStatus and the volume check, on the default
// machine: the slot bridge on bus 6 (with the OHCI and EHCI functions beside it), the
// ExpressCard on bus 7, the card reader's CF and SD volumes F: and G: below the EHCI.
#include "library/px71.h"
#include "library/slot_status.h"
#include "sim/files.h"
#include "sim/pnp.h"
#include "sim/slot.h"
#include "support/machine_test.h"

#include <cstring>
#include <functional>
#include <optional>
#include <string>

using px71test::MachineTest;

namespace {

constexpr DWORD kWriteConfig = 0x9C402440;
constexpr std::uint8_t kSlot = sim::kDefaultSlotBus;

class SlotTest : public MachineTest {
protected:
    sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);

    std::size_t Requests(DWORD code) const
    {
        std::size_t n = 0;
        for (const auto& c : machine.calls())
            if (c.function == "DeviceIoControl" && c.args[1] == code) ++n;
        return n;
    }
    bool LinkOff() const { return (machine.dump.Read(kSlot, 0x50) & sim::kLinkDisable) != 0; }
    bool Present(DEVINST node) const { return machine.tree.find(node)->present; }
    void SetBus(DEVINST node, DWORD bus) { machine.tree.SetProperty(node, CM_DRP_BUSNUMBER, REG_DWORD, sim::DwordBytes(bus)); }
};

using Prepare = std::function<void(sim::Machine&, const sim::DefaultNodes&)>;
void Nothing(sim::Machine&, const sim::DefaultNodes&) {}

// ---------------------------------------------------------------- XU_GetStatus
TEST_F(SlotTest, GetStatusTestsIdentityAndPresence)
{
    struct Case {
        const char* what;
        Prepare prepare;
        DWORD bus;
        bool pointer;
        int result;
        int card;
    } cases[] = {
        {"adapter with a card", Nothing, kSlot, true, 1, 1},
        {"empty slot", [](sim::Machine& m, auto&) { sim::SetCardInserted(m, kSlot, false); }, kSlot, true, 1, 0},
        {"slot status reads all ones: the function vanished",
         [](sim::Machine& m, auto&) { m.dump.Set(kSlot, 0x58, 0xFFFFFFFF); }, kSlot, true, 1, 0},
        {"other bits of slot status without presence",
         [](sim::Machine& m, auto&) { m.dump.Set(kSlot, 0x58, 0xFFBFFFFF); }, kSlot, true, 1, 0},
        {"other device ID", [](sim::Machine& m, auto&) { m.dump.Set(kSlot, 0x00, 0x02E41217); }, kSlot, true, 0, 0},
        {"other subsystem", [](sim::Machine& m, auto&) { m.dump.Set(kSlot, 0x94, 0x00000000); }, kSlot, true, 0, 0},
        {"nothing on the bus", Nothing, 9, true, 0, 0},
        {"only the low byte of the bus counts", Nothing, 0x300u + kSlot, true, 1, 1},
        {"no card pointer", Nothing, kSlot, false, 1, 0},
        {"no dump driver, card pointer given", [](sim::Machine& m, auto&) { m.dump.installed = false; }, kSlot, true,
         0, 0},
        {"no dump driver: the tree knows the bridge function",
         [](sim::Machine& m, auto&) { m.dump.installed = false; }, kSlot, false, 1, 0},
        {"no dump driver: the tree fallback tests no subsystem",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             m.dump.installed = false;
             m.tree.SetMultiSz(n.slot_bridge, CM_DRP_HARDWAREID, {u"pci\\ven_1217&dev_02e3&subsys_12345678"});
         },
         kSlot, false, 1, 0},
        {"no dump driver, a bus without the bridge function",
         [](sim::Machine& m, auto&) { m.dump.installed = false; }, 5, false, 0, 0},
        {"no dump driver, the bridge function not present",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             m.dump.installed = false;
             m.tree.node(n.slot_bridge).present = false;
         },
         kSlot, false, 0, 0},
    };
    for (const auto& c : cases) {
        sim::Machine m;
        auto n = sim::BuildDefaultMachine(m);
        sim::ActiveMachine active(m);
        c.prepare(m, n);
        int card = 7;
        EXPECT_EQ(XU_GetStatus(c.bus, c.pointer ? &card : nullptr), c.result) << c.what;
        if (c.pointer) {
            EXPECT_EQ(card, c.card) << c.what;
        }
        EXPECT_TRUE(px71test::NothingOpen(m)) << c.what;
    }
}

// ---------------------------------------------------------------- XU_GetCardInfo
TEST_F(SlotTest, CardInfoDescribesTheCardNode)
{
    // The slot bridge shares bus 6 with the OHCI and EHCI functions, whose root hubs are
    // nodes below them too: the card is the slot bridge's child.
    char16_t description[64];
    DWORD status = 0xAAAA, problem = 0xAAAA;
    ASSERT_EQ(XU_GetCardInfo(kSlot, description, sizeof description, &status, &problem), 1);
    EXPECT_EQ(std::u16string(description), u"ExpressCard PCI Express to PCI Bridge");
    EXPECT_EQ(status, static_cast<DWORD>(DN_DRIVER_LOADED | DN_STARTED));
    EXPECT_EQ(problem, 0u);

    machine.tree.node(nodes.express_card).problem = CM_PROB_FAILED_START;
    ASSERT_EQ(XU_GetCardInfo(kSlot, nullptr, 0, &status, &problem), 1);
    EXPECT_NE(status & DN_HAS_PROBLEM, 0u);
    EXPECT_EQ(problem, static_cast<DWORD>(CM_PROB_FAILED_START));
    // Either pointer may be null; the other is still filled.
    status = problem = 0xAAAA;
    ASSERT_EQ(XU_GetCardInfo(kSlot, nullptr, 0, nullptr, &problem), 1);
    EXPECT_EQ(problem, static_cast<DWORD>(CM_PROB_FAILED_START));
    ASSERT_EQ(XU_GetCardInfo(kSlot, nullptr, 0, &status, nullptr), 1);
    EXPECT_NE(status & DN_HAS_PROBLEM, 0u);

    sim::SetCardInserted(machine, kSlot, false);
    sim::ReenumerateSlots(machine, nodes.slot_bridge);  // Windows has seen it go
    description[0] = u'X';
    EXPECT_EQ(XU_GetCardInfo(kSlot, description, sizeof description, &status, &problem), 0) << "slot empty";
    EXPECT_EQ(description[0], 0);
}

TEST_F(SlotTest, CardInfoOfTheLastDeviceOnABusWithoutTheSlotBridgeWins)
{
    char16_t description[64];
    ASSERT_EQ(XU_GetCardInfo(0x100 + kSlot, description, sizeof description, nullptr, nullptr), 1);
    EXPECT_EQ(std::u16string(description), u"ExpressCard PCI Express to PCI Bridge") << "only the low byte counts";
    EXPECT_EQ(machine.CallCount("CM_Get_DevNode_Status"), 0u) << "nothing asked for";
    // On bus 8, the OHCI and then the EHCI function, each with a root hub below it.
    SetBus(nodes.ohci, 8);
    SetBus(nodes.ehci, 8);
    ASSERT_EQ(XU_GetCardInfo(8, description, sizeof description, nullptr, nullptr), 1);
    EXPECT_EQ(std::u16string(description), u"USB Root Hub");
    machine.tree.SetProperty(nodes.ehci_root_hub, CM_DRP_DEVICEDESC, REG_SZ, sim::SzBytes(u"EHCI Root Hub"));
    ASSERT_EQ(XU_GetCardInfo(8, description, sizeof description, nullptr, nullptr), 1);
    EXPECT_EQ(std::u16string(description), u"EHCI Root Hub") << "the last one";
    sim::NewDevice lone;
    lone.enumerator = "PCI";
    lone.hardware_ids = {u"PCI\\VEN_1234&DEV_0001"};
    SetBus(machine.tree.Add(nodes.root_complex, lone), 9);
    description[0] = u'X';
    EXPECT_EQ(XU_GetCardInfo(9, description, sizeof description, nullptr, nullptr), 0) << "nothing below bus 9's device";
    EXPECT_EQ(description[0], 0);
}

TEST_F(SlotTest, CardInfoTruncatesTheDescriptionToTheBuffer)
{
    struct Case {
        DWORD size;
        std::u16string expected;  // the characters written; the rest keeps its 0xABAB
    } cases[] = {
        {0, u""},
        {2, u"E"},
        {10, u"Expre"},
    };
    for (const auto& c : cases) {
        char16_t buffer[16];
        std::memset(buffer, 0xAB, sizeof buffer);
        ASSERT_EQ(XU_GetCardInfo(kSlot, buffer, c.size, nullptr, nullptr), 1) << c.size;
        EXPECT_EQ(std::u16string(buffer, c.expected.size()), c.expected) << c.size;
        EXPECT_EQ(buffer[c.expected.size()], 0xABAB) << "no terminator, nothing past the size, size " << c.size;
    }
    // One byte: only that byte is written.
    BYTE bytes[4] = {0xAB, 0xAB, 0xAB, 0xAB};
    ASSERT_EQ(XU_GetCardInfo(kSlot, reinterpret_cast<WCHAR*>(bytes), 1, nullptr, nullptr), 1);
    EXPECT_EQ(bytes[0], 'E');
    EXPECT_EQ(bytes[1], 0xAB);
}

TEST_F(SlotTest, CardInfoReportsZeroWhenTheStatusCannotBeRead)
{
    machine.ArmFault({"CM_Get_DevNode_Status", 1});
    DWORD status = 0xAAAA, problem = 0xAAAA;
    EXPECT_EQ(XU_GetCardInfo(kSlot, nullptr, 0, &status, &problem), 1);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(problem, 0u);
}

// ---------------------------------------------------------------- XU_SetStatus: the link
TEST_F(SlotTest, SetStatusSwitchesTheLinkAndReadsItBack)
{
    struct Case {
        const char* what;
        Prepare prepare;
        DWORD bus;
        DWORD link_enable;
        int result;
        std::size_t writes;
        bool link_off_after;
    } cases[] = {
        {"link off", Nothing, kSlot, 0, 1, 1, true},
        {"link on, already on: nothing written", Nothing, kSlot, 1, 1, 0, false},
        {"link off, already off: nothing written",
         [](sim::Machine& m, auto&) { m.dump.Write(kSlot, 0x50, 0x10); }, kSlot, 0, 1, 0, true},
        {"link on after off", [](sim::Machine& m, auto&) { m.dump.Write(kSlot, 0x50, 0x10); }, kSlot, 1, 1, 1, false},
        {"LinkEnable 0x100 counts as 0", Nothing, kSlot, 0x100, 1, 1, true},
        {"the hardware does not take the write",
         [](sim::Machine& m, auto&) { m.dump.Set(kSlot, 0x50, 0x10110000, 0); }, kSlot, 0, 0, 1, false},
        {"other device ID", [](sim::Machine& m, auto&) { m.dump.Set(kSlot, 0x00, 0x02E41217); }, kSlot, 0, 0, 0,
         false},
        {"other subsystem", [](sim::Machine& m, auto&) { m.dump.Set(kSlot, 0x94, 0x01021E2B); }, kSlot, 0, 0, 0,
         false},
        {"no dump driver", [](sim::Machine& m, auto&) { m.dump.installed = false; }, kSlot, 0, 0, 0, false},
        {"driver fails requests", [](sim::Machine& m, auto&) { m.dump.fail_requests = true; }, kSlot, 0, 0, 0,
         false},
        {"bus without the adapter", Nothing, 5, 0, 0, 0, false},
    };
    for (const auto& c : cases) {
        sim::Machine m;
        auto n = sim::BuildDefaultMachine(m);
        sim::ActiveMachine active(m);
        c.prepare(m, n);
        m.ClearCalls();
        EXPECT_EQ(XU_SetStatus(c.bus, 0, c.link_enable, 0), c.result) << c.what;
        std::size_t writes = 0;
        for (const auto& call : m.calls())
            if (call.function == "DeviceIoControl" && call.args[1] == kWriteConfig) ++writes;
        EXPECT_EQ(writes, c.writes) << c.what;
        EXPECT_EQ((m.dump.Read(kSlot, 0x50) & 0x10) != 0, c.link_off_after) << c.what;
        EXPECT_EQ(m.dump.Read(kSlot, 0x50) & 0xFFFF0000u, 0x10110000u) << "link status kept: " << c.what;
        // The state-change step runs whatever the link did.
        EXPECT_FALSE(m.reenumerations.empty()) << c.what;
        EXPECT_TRUE(px71test::NothingOpen(m)) << c.what;
    }
}

TEST_F(SlotTest, LinkOffTakesTheCardAwayAndLinkOnWithReenumerationBringsItBack)
{
    ASSERT_EQ(XU_SetStatus(kSlot, 0, 0, 0), 1);
    EXPECT_FALSE(Present(nodes.express_card));
    DWORD card_id = 0;
    ASSERT_NE(XU_ReadPCI(sim::kDefaultCardBus, 0, &card_id), 0);
    EXPECT_EQ(card_id, 0xFFFFFFFFu);
    int card = 0;
    EXPECT_EQ(XU_GetStatus(kSlot, &card), 1);
    EXPECT_EQ(card, 1) << "the card is still in the slot";

    ASSERT_EQ(XU_SetStatus(kSlot, 0, 1, 0), 1);
    EXPECT_TRUE(Present(nodes.express_card)) << "the bridge was re-enumerated after the link came up";
    ASSERT_NE(XU_ReadPCI(sim::kDefaultCardBus, 0, &card_id), 0);
    EXPECT_EQ(card_id, 0x8240104Cu);
}

// ---------------------------------------------------------------- XU_SetStatus: the state change
TEST_F(SlotTest, StateChangeReachesTheAdaptersDevicesOnTheBus)
{
    struct Case {
        const char* what;
        DWORD bus;
        DWORD state_change;
        std::vector<DEVINST> reenumerated;
        std::vector<DEVINST> changed;
        DWORD dics;
    } cases[] = {
        {"0 re-enumerates", kSlot, 0, {nodes.slot_bridge, nodes.ohci, nodes.ehci}, {}, 0},
        {"DICS_DISABLE", kSlot, DICS_DISABLE, {}, {nodes.slot_bridge, nodes.ohci, nodes.ehci}, DICS_DISABLE},
        {"DICS_PROPCHANGE", kSlot, DICS_PROPCHANGE, {}, {nodes.slot_bridge, nodes.ohci, nodes.ehci}, DICS_PROPCHANGE},
        {"only the low byte: 0x105 is DICS_STOP", kSlot, 0x105, {}, {nodes.slot_bridge, nodes.ohci, nodes.ehci},
         DICS_STOP},
        {"0x100 is 0", kSlot, 0x100, {nodes.slot_bridge, nodes.ohci, nodes.ehci}, {}, 0},
        {"another bus of the adapter, without the slot bridge", 5, DICS_ENABLE, {}, {nodes.cardbus}, DICS_ENABLE},
        {"the adapter's own bridge on bus 1", 1, DICS_PROPCHANGE, {}, {nodes.adapter}, DICS_PROPCHANGE},
        {"the downstream ports below it", 2, DICS_ENABLE, {},
         {nodes.downstream[0], nodes.downstream[1], nodes.downstream[2], nodes.downstream[3]}, DICS_ENABLE},
        {"bus 0: the root port and the chipset are never disabled", 0, DICS_DISABLE, {}, {}, 0},
        {"bus 0: nor re-enumerated", 0, 0, {}, {}, 0},
        {"6 is no DICS code: the installer is not asked", kSlot, 6, {}, {}, 0},
        {"nor is 255", kSlot, 0xFF, {}, {}, 0},
    };
    // Whether the dump driver answers decides only the link, never which devices change;
    // nor does the generation of the adapter's bridge (the older one is 1217:02EB).
    for (const char16_t* adapter : {u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A&REV_01",
                                    u"PCI\\VEN_1217&DEV_02EB&SUBSYS_01021E2A&REV_01"})
    for (const bool dump : {true, false})
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::Narrow(adapter));
        SCOPED_TRACE(dump ? "with the dump driver" : "without the dump driver");
        machine.tree.SetMultiSz(nodes.adapter, CM_DRP_HARDWAREID, {adapter});
        machine.dump.installed = dump;
        machine.reenumerations.clear();
        machine.property_changes.clear();
        machine.ClearCalls();
        XU_SetStatus(c.bus, c.state_change, 1, 0);
        EXPECT_EQ(machine.reenumerations, c.reenumerated) << c.what;
        std::vector<DEVINST> changed;
        for (const auto& p : machine.property_changes) {
            changed.push_back(p.node);
            EXPECT_EQ(p.state_change, c.dics) << c.what;
            EXPECT_EQ(p.scope, static_cast<DWORD>(DICS_FLAG_CONFIGSPECIFIC)) << c.what;
            EXPECT_EQ(p.hw_profile, 0u) << c.what;
        }
        EXPECT_EQ(changed, c.changed) << c.what;
        if (c.changed.empty()) {
            EXPECT_EQ(machine.CallCount("SetupDiSetClassInstallParamsW"), 0u) << c.what;
            EXPECT_EQ(machine.CallCount("SetupDiCallClassInstaller"), 0u) << c.what;
        }
        for (const auto& call : machine.calls())
            if (call.function == "SetupDiSetClassInstallParamsW") {
                EXPECT_EQ(call.args[3], 20u) << c.what;
            }
    }
    // The state change took effect on the node.
    machine.dump.installed = true;
    XU_SetStatus(kSlot, DICS_DISABLE, 1, 0);
    EXPECT_EQ(machine.tree.node(nodes.slot_bridge).problem, static_cast<ULONG>(CM_PROB_DISABLED));
    XU_SetStatus(kSlot, DICS_ENABLE, 1, 0);
    EXPECT_EQ(machine.tree.node(nodes.slot_bridge).problem, 0u);
}

// A 32-bit program on 64-bit Windows: the class installer refuses it, so the state change
// and the bridge restart do nothing; the link, which goes through the dump driver,
// still switches, and XU_SetStatus reports the link. A SATA disk is not removed.
TEST_F(SlotTest, UnderWow64TheDevicesAreLeftAsTheyAre)
{
    machine.wow64 = true;
    EXPECT_EQ(XU_SetStatus(kSlot, DICS_DISABLE, 0, 0), 1) << "the link's result";
    EXPECT_NE(machine.dump.Read(kSlot, 0x50) & 0x10, 0u) << "the link went off";
    EXPECT_TRUE(machine.property_changes.empty());
    EXPECT_EQ(machine.tree.node(nodes.slot_bridge).problem, 0u) << "not disabled";
    EXPECT_EQ(XU_ResetPCIBridge(0), 0);
    EXPECT_EQ(machine.tree.node(nodes.adapter).problem, 0u) << "the bridge was not restarted";
    EXPECT_TRUE(machine.property_changes.empty());
    EXPECT_EQ(XU_Stop3132Card(0, 0), 0) << "a disk that stays is not reported removed";
    EXPECT_TRUE(machine.tree.node(nodes.sata_disk[0]).present);
}

// ---------------------------------------------------------------- the volume check
TEST_F(SlotTest, VolumeCheckGuardsTheLink)
{
    auto volume = [](sim::Machine& m, char letter) -> sim::Volume& { return m.storage.volumes.at(letter); };
    struct Case {
        const char* what;
        Prepare prepare;
        DWORD check;
        int result;
    } cases[] = {
        {"every volume below the bus free", Nothing, 1, 1},
        {"a file open on the SD volume", [&](sim::Machine& m, auto&) { volume(m, 'G').open_files = 2; }, 1, 0},
        {"a busy CF volume stands though the SD disk after it is free",
         [&](sim::Machine& m, auto&) { volume(m, 'F').open_files = 1; }, 1, 0},
        {"CF without a medium does not block",
         [&](sim::Machine& m, auto&) {
             volume(m, 'F').open_files = 1;
             m.storage.disk(3)->medium = false;
         },
         1, 1},
        {"a volume without a file system does not block",
         [&](sim::Machine& m, auto&) {
             volume(m, 'G').open_files = 1;
             volume(m, 'G').total_bytes = 0;
         },
         1, 1},
        {"a volume that cannot be opened for reading and writing",
         [&](sim::Machine& m, auto&) { volume(m, 'F').deny_read_write = true; }, 1, 0},
        // Device numbers count per type: a CD-ROM drive numbered as the CF disk is no disk.
        {"a busy CD-ROM drive with the CF disk's number",
         [&](sim::Machine& m, auto&) { sim::AddVolume(m, 'R', 3, 650'000'000, DRIVE_CDROM).open_files = 1; }, 1, 1},
        {"a busy network drive", [&](sim::Machine& m, auto&) { sim::AddVolume(m, 'N', 3, 1'000'000, DRIVE_REMOTE).open_files = 1; },
         1, 1},
        {"busy volumes on disks elsewhere do not count",
         [&](sim::Machine& m, auto&) {
             for (char c : {'C', 'D', 'E'}) volume(m, c).open_files = 1;
         },
         1, 1},
        // A check that cannot be made counts as "not free", with a file open on F: or without.
        {"the disk-interface set cannot be had",
         [&](sim::Machine& m, auto&) {
             volume(m, 'F').open_files = 1;
             m.ArmFault({"SetupDiGetClassDevsW", 1});
         },
         1, 0},
        {"an interface detail cannot be read",
         [&](sim::Machine& m, auto&) {
             volume(m, 'F').open_files = 1;
             m.ArmFault({"SetupDiGetDeviceInterfaceDetailW", 1});
         },
         1, 0},
        {"GetLogicalDrives fails", [&](sim::Machine& m, auto&) { m.ArmFault({"GetLogicalDrives", 1}); }, 1, 0},
        {"the disk's number cannot be read", [&](sim::Machine& m, auto&) { m.ArmFault({"DeviceIoControl", 1}); }, 1,
         0},
        {"a volume's size cannot be read",
         [&](sim::Machine& m, auto&) { m.ArmFault({"GetDiskFreeSpaceExW", 1, ERROR_GEN_FAILURE}); }, 1, 0},
        {"a busy disk elsewhere whose place cannot be told",
         [&](sim::Machine& m, auto&) {
             for (char c : {'C', 'D', 'E'}) volume(m, c).open_files = 1;
             m.ArmFault({"CM_Get_Parent", 1});  // the climb from the first disk
         },
         1, 0},
        // Unchecked, the link goes off; the restart of the devices, vetoed by the open
        // file, would wait for the next start of Windows: the answer is 0.
        {"no check asked for", [&](sim::Machine& m, auto&) { volume(m, 'F').open_files = 1; }, 0, 0},
        {"CheckVolumes 0x100 is no check", [&](sim::Machine& m, auto&) { volume(m, 'F').open_files = 1; }, 0x100, 0},
    };
    for (const auto& c : cases) {
        sim::Machine m;
        auto n = sim::BuildDefaultMachine(m);
        sim::ActiveMachine active(m);
        c.prepare(m, n);
        EXPECT_EQ(XU_SetStatus(kSlot, DICS_PROPCHANGE, 0, c.check), c.result) << c.what;
        const bool passed = (c.check & 0xFF) == 0 || c.result == 1;
        const bool link_off = (m.dump.Read(kSlot, 0x50) & 0x10) != 0;
        EXPECT_EQ(link_off, passed) << c.what;
        // A failed check changes nothing at all: no state change either.
        EXPECT_EQ(m.property_changes.size(), passed ? 3u : 0u) << c.what;
        EXPECT_EQ(m.CallCount("SetupDiCallClassInstaller"), passed ? 3u : 0u) << c.what;
        EXPECT_TRUE(px71test::NothingOpen(m)) << c.what;
        EXPECT_TRUE(m.system_boxes.empty()) << c.what << ": " << m.system_boxes.front();
    }
    // The thread's own error mode comes back.
    EXPECT_EQ(GetThreadErrorMode(), 0u);
}

// With the check, the link goes off only once Plug and Play agreed to let the card go:
// a file open on a volume in a folder, a raw handle on the card's disk, a program's veto
// or another function in use keep the link on and the card as it was, with who refused
// in PX71.LOG; a change that stops the devices comes first, and a deferred one leaves
// the link on. No row is a surprise removal. Without the check the link goes first.
TEST_F(SlotTest, LinkOffWithTheCheckWaitsForPlugAndPlayToAgree)
{
    constexpr DWORD kCardDisk = 9;
    struct Case {
        const char* what;
        std::function<void(sim::Machine&, DEVINST disk, DEVINST second)> prepare;
        DWORD state_change, check;
        int result;
        const char* logged;  // the refusal's line in PX71.LOG, or null
    } cases[] = {
        {"nothing open", [](auto&, auto, auto) {}, 0, 1, 1, nullptr},
        {"a file open on the volume in a folder",
         [](sim::Machine& m, auto, auto) { m.storage.unlettered[0].open_files = 1; }, 0, 1, 0,
         "Link off refused (veto type 5): STORAGE\\Volume\\Disk9#Partition2"},
        {"a raw handle on the card's disk",
         [](sim::Machine& m, auto, auto) { m.storage.disk(kCardDisk)->raw_handles = 1; }, 0, 1, 0,
         "Link off refused (veto type 5): SCSI\\DISK&VEN_CARD\\6&1F&0&0"},
        {"a program that asked to be told vetoes",
         [](sim::Machine& m, DEVINST disk, auto) {
             m.tree.node(disk).veto = PNP_VetoWindowsApp;
             m.tree.node(disk).veto_name = u"Backup.exe";
         },
         0, 1, 0, "Link off refused (veto type 3): Backup.exe"},
        {"the card's second function is in use: the first comes back",
         [](sim::Machine& m, auto, DEVINST second) {
             m.tree.node(second).veto = PNP_VetoDevice;
             m.tree.node(second).veto_name = u"PCI\\VEN_104C&DEV_8241";
         },
         0, 1, 0, "Link off refused (veto type 6): PCI\\VEN_104C&DEV_8241"},
        {"a disable that goes through, then the link", [](auto&, auto, auto) {}, DICS_DISABLE, 1, 1, nullptr},
        {"a disable Windows keeps for its next start leaves the link on",
         [](sim::Machine& m, auto, auto) { m.storage.unlettered[0].open_files = 1; }, DICS_DISABLE, 1, 0, nullptr},
        {"a stop likewise", [](sim::Machine& m, auto, auto) { m.storage.unlettered[0].open_files = 1; }, DICS_STOP, 1,
         0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine m;
        auto n = sim::BuildDefaultMachine(m);
        sim::ActiveMachine active(m);
        sim::NewDevice d;
        d.enumerator = "SCSI";
        d.class_guid = sim::kClassDiskDrive;
        d.description = u"Card disk";
        const DEVINST disk = m.tree.Add(n.express_card, d);
        sim::AddDisk(m, disk, kCardDisk, u"\\\\?\\scsi#disk&ven_card#6&1f&0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
        sim::AddMountedVolume(m, u"C:\\Mnt\\Card\\", kCardDisk, 2000).partition = 2;
        sim::NewDevice f;
        f.enumerator = "PCI";
        f.description = u"ExpressCard second function";
        f.bus_number = sim::kDefaultCardBus;
        const DEVINST second = m.tree.Add(n.slot_bridge, f);
        c.prepare(m, disk, second);

        EXPECT_EQ(XU_SetStatus(kSlot, c.state_change, 0, c.check), c.result);
        const bool off = (m.dump.Read(kSlot, 0x50) & 0x10) != 0;
        EXPECT_EQ(off, c.result == 1);
        EXPECT_TRUE(m.surprise_removals.empty()) << "what was open on the card was cut";
        if (c.result == 0) {
            EXPECT_TRUE(m.tree.node(n.express_card).present) << "the card is as it was";
            EXPECT_TRUE(m.tree.node(second).present);
            EXPECT_TRUE(m.tree.node(n.slot_bridge).status & DN_STARTED);
            for (const DEVINST id : {n.slot_bridge, n.ohci, n.ehci}) EXPECT_EQ(m.tree.node(id).pending, sim::Pending::kNone);
        }
        if (c.logged) {
            const auto log = m.files().Read(m.files().ProgramFolder() + u"PX71.LOG");
            ASSERT_TRUE(log.has_value());
            EXPECT_NE(std::string(log->begin(), log->end()).find(c.logged), std::string::npos);
        }
        EXPECT_TRUE(m.system_boxes.empty());
        EXPECT_TRUE(px71test::NothingOpen(m));
    }
    // Without the check the link goes first: whatever was open on the card is cut.
    sim::Machine m;
    auto n = sim::BuildDefaultMachine(m);
    sim::ActiveMachine active(m);
    sim::AddDisk(m, m.tree.Add(n.express_card, sim::NewDevice{}), kCardDisk, u"");
    sim::AddMountedVolume(m, u"C:\\Mnt\\Card\\", kCardDisk, 2000).open_files = 1;
    EXPECT_EQ(XU_SetStatus(kSlot, 0, 0, 0), 1);
    ASSERT_EQ(m.surprise_removals.size(), 1u);
    EXPECT_EQ(m.surprise_removals[0].open_files.at(0).files, 1);
}

// The check runs only where it guards something: with a file open on the reader, the
// slot can still be brought back (link on, re-enumerate, enable, start).
TEST_F(SlotTest, VolumeCheckOnlyStopsWhatCanLoseData)
{
    struct Case {
        const char* what;
        DWORD state_change, link_on;
        int result;
    } cases[] = {
        {"link on, re-enumerate", 0, 1, 1},  {"link on, enable", DICS_ENABLE, 1, 1},
        {"link on, start", DICS_START, 1, 1}, {"link on, disable", DICS_DISABLE, 1, 0},
        {"link on, restart", DICS_PROPCHANGE, 1, 0}, {"link on, stop", DICS_STOP, 1, 0},
        {"link off, enable", DICS_ENABLE, 0, 0},
    };
    for (const auto& c : cases) {
        sim::Machine m;
        sim::BuildDefaultMachine(m);
        sim::ActiveMachine active(m);
        m.storage.volumes.at('F').open_files = 1;
        EXPECT_EQ(XU_SetStatus(kSlot, c.state_change, c.link_on, 1), c.result) << c.what;
        const bool changed = !m.property_changes.empty() || !m.reenumerations.empty();
        EXPECT_EQ(changed, c.result == 1) << c.what;
        EXPECT_EQ((m.dump.Read(kSlot, 0x50) & 0x10) == 0, true) << c.what << ": the link stays on";
    }
}

TEST_F(SlotTest, VolumeCheckOfTheCardVolumesAsksAsDocumented)
{
    ASSERT_EQ(px71::AreDiskVolumesFree(3), 1);
    std::vector<sim::CallRecord> opens;
    std::vector<std::string> roots;
    for (const auto& c : machine.calls()) {
        if (c.function == "CreateFileW" && c.text == "\\\\.\\F:") opens.push_back(c);
        if (c.function == "GetDiskFreeSpaceExW") roots.push_back(c.text);
    }
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].args[0], 0u) << "the device number is asked with access 0";
    EXPECT_EQ(opens[1].args[0], static_cast<std::uint64_t>(GENERIC_READ | GENERIC_WRITE));
    for (const auto& open : opens) {
        EXPECT_EQ(open.args[1], 3u) << "FILE_SHARE_READ | FILE_SHARE_WRITE";
        EXPECT_EQ(open.args[2], static_cast<std::uint64_t>(OPEN_EXISTING));
    }
    EXPECT_EQ(roots, std::vector<std::string>{"F:\\"}) << "only the volume on disk 3 is sized";
    EXPECT_EQ(Requests(FSCTL_LOCK_VOLUME), 1u);
    EXPECT_EQ(Requests(FSCTL_UNLOCK_VOLUME), 1u);
    EXPECT_EQ(Requests(IOCTL_STORAGE_GET_DEVICE_NUMBER), 5u) << "one per drive letter C: to G:";
}

TEST_F(SlotTest, DiskVolumesFromCToZOnly)
{
    // A busy volume on A: or B: is never looked at.
    sim::AddVolume(machine, 'A', 3, 1'000'000).open_files = 1;
    sim::AddVolume(machine, 'B', 3, 1'000'000).open_files = 1;
    EXPECT_EQ(px71::AreDiskVolumesFree(3), 1);
    sim::AddVolume(machine, 'Z', 3, 1'000'000).open_files = 1;
    EXPECT_EQ(px71::AreDiskVolumesFree(3), 0);
}

TEST_F(SlotTest, BusVolumesFollowTheDisksAboveWhichTheBusLies)
{
    machine.storage.volumes.at('D').open_files = 1;  // the SATA disk behind the first SI3132, bus 3
    struct Case {
        DWORD bus;
        int expected;
    } cases[] = {{3, 0}, {2, 0}, {1, 0}, {4, 1}, {kSlot, 1}, {0x55, 1}};
    for (const auto& c : cases) EXPECT_EQ(px71::AreBusVolumesFree(c.bus), c.expected) << "bus " << c.bus;
    // Only PCI nodes count: a USB hub that reports bus number 4 does not put the reader's
    // busy volume into the check of PCI bus 4.
    machine.storage.volumes.at('F').open_files = 1;
    machine.tree.SetProperty(nodes.reader_hub, CM_DRP_BUSNUMBER, REG_DWORD, {4, 0, 0, 0});
    EXPECT_EQ(px71::AreBusVolumesFree(4), 1);
    EXPECT_EQ(px71::AreBusVolumesFree(kSlot), 0);
    // The SI3132 above the busy SATA disk, on bus 3: only a PCI node with a bus number
    // places the disk, and one whose number cannot be told leaves the check "not free".
    struct Shape {
        const char* what;
        ULONG property;
        DWORD type;
        std::optional<sim::Bytes> data;  // nullopt: the property is not there
        int free;
    } shapes[] = {
        {"\"PCI\" without its NUL", CM_DRP_ENUMERATOR_NAME, REG_SZ, sim::Bytes{'P', 0, 'C', 0, 'I', 0}, 0},
        {"\"PCIIDE\"", CM_DRP_ENUMERATOR_NAME, REG_SZ, sim::SzBytes(u"PCIIDE"), 1},
        {"\"PC\"", CM_DRP_ENUMERATOR_NAME, REG_SZ, sim::SzBytes(u"PC"), 1},
        {"\"PC\" without its NUL", CM_DRP_ENUMERATOR_NAME, REG_SZ, sim::Bytes{'P', 0, 'C', 0}, 1},
        {"no enumerator", CM_DRP_ENUMERATOR_NAME, REG_SZ, std::nullopt, 1},
        {"no bus number", CM_DRP_BUSNUMBER, REG_DWORD, std::nullopt, 1},
        {"a bus number of two bytes", CM_DRP_BUSNUMBER, REG_BINARY, sim::Bytes{3, 0}, 0},
    };
    for (const auto& c : shapes) {
        if (c.data) {
            machine.tree.SetProperty(nodes.sata[0], c.property, c.type, *c.data);
        } else {
            machine.tree.DeleteProperty(nodes.sata[0], c.property);
        }
        EXPECT_EQ(px71::AreBusVolumesFree(3), c.free) << c.what;
        machine.tree.SetProperty(nodes.sata[0], CM_DRP_ENUMERATOR_NAME, REG_SZ, sim::SzBytes(u"PCI"));
        SetBus(nodes.sata[0], 3);
    }
    EXPECT_EQ(px71::AreBusVolumesFree(3), 0) << "as it was";
    // A disk whose climb never reaches the top (deeper than any real tree) may lie below
    // any bus: its busy volume keeps bus 4 "not free" as well.
    DEVINST deep = machine.tree.root();
    for (int i = 0; i < 300; ++i) deep = machine.tree.Add(deep, sim::NewDevice{});
    sim::AddDisk(machine, deep, 9, u"\\\\?\\scsi#disk&ven_deep#1");
    sim::AddVolume(machine, 'K', 9, 1'000'000).open_files = 1;
    EXPECT_EQ(px71::AreBusVolumesFree(4), 0);
}

// Every bus of the default machine is guarded by the disks below it and no others. Its
// USB and storage nodes carry bus numbers of their own kind (the reader's hub is USB
// bus 4, the number of a SATA controller's PCI bus), which must not place a disk.
TEST_F(SlotTest, EachBusIsGuardedByItsOwnDisksOnly)
{
    const std::string below[8] = {"CDEFG", "DEFG", "DEFG", "D", "E", "", "FG", ""};
    for (DWORD bus = 0; bus < 8; ++bus) {
        for (char letter : std::string("CDEFG")) {
            machine.storage.volumes.at(letter).open_files = 1;
            const int free = below[bus].find(letter) == std::string::npos ? 1 : 0;
            EXPECT_EQ(px71::AreBusVolumesFree(bus), free) << "bus " << bus << ", " << letter << ": busy";
            machine.storage.volumes.at(letter).open_files = 0;
        }
    }
}

TEST_F(SlotTest, AnUnallocatableDetailLeavesTheBusNotFree)
{
    machine.ArmFault({"HeapAlloc", 1, ERROR_GEN_FAILURE, CR_FAILURE, true});
    EXPECT_EQ(px71::AreBusVolumesFree(kSlot), 0) << "a disk below the bus that cannot be checked";
    EXPECT_EQ(machine.CallCount("SetupDiGetDeviceInterfaceDetailW"), 1u) << "the first disk below the bus, no retry";
    EXPECT_EQ(px71::AreBusVolumesFree(4), 0) << "the SATA disk below bus 4 neither";
}

// ---------------------------------------------------------------- faults
TEST(SlotFaults, GetStatus)
{
    int faults = px71test::SweepFaults<int>(
        [](sim::Machine& m) { sim::BuildDefaultMachine(m); },
        [] {
            int card = 5;
            int result = XU_GetStatus(kSlot, &card);
            return result * 2 + card;
        },
        [](int r, sim::Machine&, std::size_t n) {
            // Found with a card, found with the presence read failed, or not found.
            EXPECT_TRUE(r == 3 || r == 2 || r == 0) << "call " << n << ": " << r;
        });
    EXPECT_GE(faults, 9);
    px71test::SweepFaults<int>(
        [](sim::Machine& m) {
            sim::BuildDefaultMachine(m);
            m.dump.installed = false;
        },
        [] { return XU_GetStatus(kSlot, nullptr); },
        [](int r, sim::Machine&, std::size_t n) { EXPECT_TRUE(r == 1 || r == 0) << "call " << n; });
}

TEST(SlotFaults, GetCardInfo)
{
    int faults = px71test::SweepFaults<int>(
        [](sim::Machine& m) { sim::BuildDefaultMachine(m); },
        [] {
            char16_t description[64] = {};
            DWORD status = 0xAAAA, problem = 0xAAAA;
            int result = XU_GetCardInfo(kSlot, description, sizeof description - 2, &status, &problem);
            const std::u16string text(description);
            if (result == 0) return text.empty() ? 0 : -1;
            if (status != 0xAAAA && !(status == 0 && problem == 0) && !(status & DN_STARTED)) return -2;
            return text.empty() || text == u"USB Root Hub" || text == u"ExpressCard PCI Express to PCI Bridge" ? 1 : -3;
        },
        [](int r, sim::Machine&, std::size_t n) { EXPECT_TRUE(r == 0 || r == 1) << "call " << n << ": " << r; });
    EXPECT_GT(faults, 20);
}

TEST(SlotFaults, SetStatusWithTheVolumeCheck)
{
    int faults = px71test::SweepFaults<int>(
        [](sim::Machine& m) { sim::BuildDefaultMachine(m); },
        [] { return XU_SetStatus(kSlot, 0, 0, 1); },
        [](int r, sim::Machine& m, std::size_t n) {
            const bool link_off = (m.dump.Read(kSlot, 0x50) & 0x10) != 0;
            EXPECT_TRUE(r == 0 || r == 1) << "call " << n;
            if (r == 1) {
                EXPECT_TRUE(link_off) << "a 1 means the link is off, call " << n;
            }
            EXPECT_LE(m.reenumerations.size(), 3u) << "call " << n;
        });
    EXPECT_GT(faults, 50);
}

// Unchecked, a disable or stop that an open file below vetoes would wait in the
// profile and switch the adapter's devices off at the next start of Windows: every one
// made is taken back, and the answer is 0. Without the file, it goes through.
TEST_F(SlotTest, AChangeWindowsWouldDeferIsTakenBack)
{
    auto pending = [&] {
        std::size_t count = 0;
        for (DEVINST id : machine.tree.order()) count += machine.tree.node(id).pending != sim::Pending::kNone;
        return count;
    };
    auto present = [&] {
        std::vector<bool> out;
        for (DEVINST id : machine.tree.order()) out.push_back(machine.tree.node(id).present);
        return out;
    };
    const auto before = present();
    for (DWORD change : {DICS_DISABLE, DICS_STOP}) {
        machine.storage.volumes.at('G').open_files = 1;
        EXPECT_EQ(XU_SetStatus(kSlot, change, 1, 0), 0) << change;
        EXPECT_EQ(pending(), 0u) << change;
        sim::Restart(machine);
        EXPECT_EQ(present(), before) << change << ": the restart changed nothing";
        EXPECT_EQ(machine.tree.node(nodes.slot_bridge).problem, 0u) << change;
    }
    EXPECT_EQ(XU_SetStatus(kSlot, DICS_DISABLE, 1, 0), 1);
    EXPECT_FALSE(machine.tree.node(nodes.reader_disk[1]).present) << "the children left";
    EXPECT_EQ(XU_SetStatus(kSlot, DICS_ENABLE, 1, 0), 1);
    EXPECT_EQ(present(), before) << "and came back";
}

// A disable Windows keeps for the next start that cannot be taken back (the class
// installer refuses from some call on, both tries of the undo included) is told: a line
// in PX71.LOG names the device, and the answer is 0.
TEST_F(SlotTest, ADisableThatCannotBeTakenBackIsLogged)
{
    machine.storage.volumes.at('G').open_files = 1;
    const auto start = machine.Snapshot();
    machine.ClearCalls();
    XU_SetStatus(kSlot, DICS_DISABLE, 1, 0);
    const std::size_t calls = machine.CallCount("SetupDiCallClassInstaller");
    const std::u16string log = machine.files().ProgramFolder() + u"PX71.LOG";
    std::size_t told = 0;
    for (std::size_t n = 1; n <= calls; ++n) {
        machine.Restore(*start);
        machine.files().Delete(log);
        machine.ArmFault({"SetupDiCallClassInstaller", n, ERROR_GEN_FAILURE, CR_FAILURE, true});
        const int result = XU_SetStatus(kSlot, DICS_DISABLE, 1, 0);
        machine.ClearFaults();
        std::vector<std::string> waiting;
        for (DEVINST id : machine.tree.order())
            if (machine.tree.node(id).pending != sim::Pending::kNone)
                for (const ULONG code : {CM_DRP_FRIENDLYNAME, CM_DRP_DEVICEDESC}) {
                    const sim::Property* p = machine.tree.property(id, code);
                    if (!p) continue;
                    waiting.push_back(sim::Narrow(sim::ParseMultiSz(p->data).at(0)));  // as the user sees it
                    break;
                }
        const auto bytes = machine.files().Read(log);
        const std::string text = bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
        SCOPED_TRACE(n);
        if (waiting.empty()) continue;
        EXPECT_EQ(result, 0);
        for (const auto& name : waiting)
            EXPECT_NE(text.find("Disable not taken back; it takes effect at the next start of Windows: " + name),
                      std::string::npos)
                << text;
        ++told;
    }
    EXPECT_GT(told, 0u) << "some fault left a disable waiting";
}

TEST(SlotFaults, SetStatusUncheckedUnderAnOpenFile)
{
    px71test::SweepFaults<int>(
        [](sim::Machine& m) {
            sim::BuildDefaultMachine(m);
            m.storage.volumes.at('F').open_files = 1;
        },
        [] { return XU_SetStatus(kSlot, DICS_DISABLE, 1, 0); },
        [](int r, sim::Machine& m, std::size_t n) {
            // Whatever fails, a change left waiting for the next start is never reported
            // done, nor left untold.
            bool waiting = false;
            for (DEVINST id : m.tree.order()) waiting |= m.tree.node(id).pending != sim::Pending::kNone;
            EXPECT_TRUE(!waiting || r == 0) << "call " << n;
            const auto log = m.files().Read(m.files().ProgramFolder() + u"PX71.LOG");
            const bool told = log && std::string(log->begin(), log->end()).find("not taken back") != std::string::npos;
            EXPECT_TRUE(!waiting || told) << "call " << n;
        });
}

TEST(SlotFaults, SetStatusWithABusyVolume)
{
    px71test::SweepFaults<int>(
        [](sim::Machine& m) {
            sim::BuildDefaultMachine(m);
            m.storage.volumes.at('F').open_files = 1;
        },
        [] { return XU_SetStatus(kSlot, DICS_DISABLE, 0, 1); },
        [](int r, sim::Machine& m, std::size_t n) {
            // No fault ever lets the link go off or a device be disabled under the open file.
            EXPECT_EQ(r, 0) << "call " << n;
            EXPECT_TRUE(m.property_changes.empty()) << "call " << n;
            EXPECT_EQ(m.dump.Read(kSlot, 0x50) & 0x10, 0u) << "call " << n;
        });
}

} // namespace
