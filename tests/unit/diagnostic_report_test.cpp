// XU_WriteLog on simulated machines: the four sections as the log keeps them.
#include "library/px71.h"
#include "sim/files.h"
#include "support/log_image.h"
#include "support/machine_test.h"

#include <algorithm>
#include <cstring>

using px71test::MachineTest;

namespace {

constexpr char16_t kLog[] = u"C:\\Program Files\\PX71\\PX71.LOG";
constexpr SYSTEMTIME kNow = {2026, 12, 2, 8, 21, 5, 9, 0};

const std::string kHeading = "\r\n\r\nDiagnostics\r\n2026/12/08 21:05:09";
const std::string kRegistry = "\r\nRegistry\r\nOz888Len:0x400000\r\nUSBLen:0x100000";
const std::string kBridge =
    "\r\nBus:0X6\r\nHardwareID:0x2e31217\r\nSUBSYSID:0x1021e2a\r\nMemoryBase:0xd3f0d300\r\nSlotStatus:0x400000"
    "\r\nLinkStatus:0x10110000\r\nstatus:0x00000a\r\nproblem:00000000";
const std::string kCard =
    "\r\nExpressCard\r\nBus:0X7\r\nHardwareID:0x8240104c\r\nstatus:0x00000a\r\nproblem:00000000"
    "\r\nDeviceDesc:ExpressCard PCI Express to PCI Bridge";

// The log's records in writing order, as the texts they hold.
std::vector<std::string> Records(sim::Machine& m)
{
    auto bytes = m.files().Read(kLog);
    std::vector<std::string> out;
    if (!bytes) return out;
    const std::string file(bytes->begin(), bytes->end());
    for (std::uint32_t slot = 1; slot < px71test::NextSlot(file); ++slot)
        out.push_back(px71test::RecordText(px71test::Slot(file, slot)));
    return out;
}

using Report = std::vector<std::string>;

class ReportTest : public MachineTest {
protected:
    sim::DefaultNodes nodes;
    void SetUp() override
    {
        nodes = sim::BuildDefaultMachine(machine);
        machine.local_time = kNow;
    }
    Report Run(const char* title = "Diagnostics")
    {
        EXPECT_EQ(XU_WriteLog(title), 1);
        return Records(machine);
    }
};

TEST_F(ReportTest, TheDefaultMachine)
{
    EXPECT_EQ(Run(), (Report{kHeading, kRegistry, kBridge, kCard}));
}

TEST_F(ReportTest, Headings)
{
    struct Case {
        const char* what;
        const char* title;
        std::string record;
    } cases[] = {
        {"empty title: three line breaks", "", "\r\n\r\n\r\n2026/12/08 21:05:09"},
        {"no title at all", nullptr, "\r\n\r\n\r\n2026/12/08 21:05:09"},
        {"ANSI letters stay as they are", "Caf\xe9 \x80", "\r\n\r\nCaf\xe9 \x80\r\n2026/12/08 21:05:09"},
    };
    for (const auto& c : cases) {
        machine.files().Delete(kLog);
        EXPECT_EQ(Run(c.title).front(), c.record) << c.what;
    }
    // A title as long as the service's whole field, or longer, is cut with the record.
    for (const std::size_t length : {199, 300}) {
        machine.files().Delete(kLog);
        const std::string title(length, 't');
        EXPECT_EQ(Run(title.c_str()).front(), ("\r\n\r\n" + title).substr(0, 200));
    }
}

// The registry section alone, on a machine without devices.
TEST(ReportRegistry, WhatTheServiceKeyHolds)
{
    struct Value {
        const char16_t* name;
        DWORD type;
        sim::Bytes data;
    };
    auto dword = [](DWORD v) { return sim::DwordBytes(v); };
    const std::vector<Value> all = {
        {u"Oz888Len", REG_DWORD, dword(0x400000)}, {u"SxsLen", REG_DWORD, dword(0x200000)},
        {u"A3132Len", REG_DWORD, dword(0x1000)},   {u"B3132Len", REG_DWORD, dword(0x2000)},
        {u"USBLen", REG_DWORD, dword(0x100000)},   {u"PortLen", REG_DWORD, dword(0x800000)},
        {u"StartAdrs", REG_DWORD, dword(0xC0000000)}, {u"EndAdrs", REG_DWORD, dword(0xDFFFFFFF)},
        {u"Memory1", REG_DWORD, dword(0xE0000000)}, {u"Memory1Len", REG_DWORD, dword(0x10000)},
        {u"Memory2", REG_DWORD, dword(0xE8000000)}, {u"Memory2Len", REG_DWORD, dword(0x20000)},
    };
    const std::string everything =
        "\r\nRegistry\r\nOz888Len:0x400000\r\nSxsLen:0x200000\r\nA3132Len:0x001000\r\nB3132Len:0x002000"
        "\r\nUSBLen:0x100000\r\nPortLen:0x800000\r\nStartAdrs:0xc0000000\r\nEndAdrs:0xdfffffff"
        "\r\nMemory1:0xe0000000\r\nMemory1Len:0x010000\r\nMemory2:0xe8000000\r\nMemory2Len:0x020000";
    ASSERT_GT(everything.size(), 230u);

    struct Case {
        const char* what;
        bool key;
        std::vector<Value> values;
        std::optional<std::string> record;  // none: no registry record
    } cases[] = {
        {"every value: the record keeps the first 200 bytes", true, all, everything.substr(0, 200)},
        {"only Oz888Len and USBLen", true, {all[0], all[4]}, "\r\nRegistry\r\nOz888Len:0x400000\r\nUSBLen:0x100000"},
        {"Oz888Len alone, and zero", true, {{u"Oz888Len", REG_DWORD, dword(0)}}, "\r\nRegistry\r\nOz888Len:00000000"},
        {"Oz888Len absent, the others there", true, {all.begin() + 1, all.end()}, std::nullopt},
        {"the key absent", false, {}, std::nullopt},
        {"Oz888Len as text, which does not fit 4 bytes", true, {{u"Oz888Len", REG_SZ, sim::SzBytes(u"4096")}},
         std::nullopt},
        {"a two-byte value fills the low half", true,
         {all[0], {u"SxsLen", REG_BINARY, {0x34, 0x12}}, {u"PortLen", REG_SZ, sim::SzBytes(u"long text")}},
         "\r\nRegistry\r\nOz888Len:0x400000\r\nSxsLen:0x001234"},
        {"only Memory2Len besides Oz888Len", true, {all[0], all[11]},
         "\r\nRegistry\r\nOz888Len:0x400000\r\nMemory2Len:0x020000"},
    };
    for (const auto& c : cases) {
        sim::Machine machine;
        sim::ActiveMachine active(machine);
        machine.local_time = kNow;
        if (c.key) machine.registry.CreateKey(sim::kServiceKey);
        for (const auto& v : c.values) machine.registry.SetValue(sim::kServiceKey, v.name, v.type, v.data);
        EXPECT_EQ(XU_WriteLog("Diagnostics"), 1) << c.what;
        Report expected{kHeading};
        if (c.record) expected.push_back(*c.record);
        EXPECT_EQ(Records(machine), expected) << c.what;
        EXPECT_TRUE(px71test::NothingOpen(machine)) << c.what;
    }
}

TEST_F(ReportTest, DevicesWithAProductFilter)
{
    machine.tree.SetMultiSz(nodes.root_port, CM_DRP_UPPERFILTERS, {u"PX711"});
    machine.tree.SetMultiSz(nodes.adapter, CM_DRP_UPPERFILTERS, {u"px713"});
    machine.tree.node(nodes.adapter).problem = CM_PROB_FAILED_INSTALL;
    machine.tree.SetMultiSz(nodes.downstream[0], CM_DRP_UPPERFILTERS, {u"Other", u"PX714"});
    machine.tree.SetMultiSz(nodes.downstream[1], CM_DRP_UPPERFILTERS, {u"PX7"});
    machine.tree.SetMultiSz(nodes.downstream[2], CM_DRP_UPPERFILTERS, {u"XPX71"});
    machine.tree.SetMultiSz(nodes.ehci_root_hub, CM_DRP_UPPERFILTERS, {u"PX715"});  // not a PCI device
    sim::NewDevice gone;
    gone.enumerator = "PCI";
    gone.hardware_ids = {u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A&REV_01"};
    gone.upper_filters = {u"PX711"};
    gone.present = false;
    machine.tree.Add(nodes.root_complex, gone);

    EXPECT_EQ(Run(), (Report{kHeading, kRegistry,
                             "\r\nPX71\r\nHardwareID:PCI\\VEN_8086&DEV_1C10&SUBSYS_00000000&REV_B5"
                             "\r\nstatus:0x00000a\r\nproblem:00000000",
                             "\r\nPX71\r\nHardwareID:PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A&REV_01"
                             "\r\nstatus:0x00040a\r\nproblem:0x00001c",
                             "\r\nPX71\r\nHardwareID:PCI\\VEN_1E2A&DEV_0103&SUBSYS_01021E2A&REV_01"
                             "\r\nstatus:0x00000a\r\nproblem:00000000",
                             kBridge, kCard}));
}

TEST_F(ReportTest, NoFilterNoBridgeLeavesHeadingAndSettings)
{
    machine.tree.node(nodes.slot_bridge).present = false;
    machine.tree.node(nodes.express_card).present = false;
    EXPECT_EQ(Run(), (Report{kHeading, kRegistry}));
}

TEST_F(ReportTest, ABridgeWithoutACard)
{
    machine.tree.node(nodes.express_card).present = false;
    EXPECT_EQ(Run(), (Report{kHeading, kRegistry, kBridge}));
}

TEST_F(ReportTest, TwoBridgesInTheSetsOrder)
{
    // A second adapter: its bridge on bus 9 with no card in the slot, its card a node
    // without a bus number or a description.
    sim::NewDevice bridge;
    bridge.enumerator = "PCI";
    bridge.hardware_ids = {u"pci\\ven_1217&dev_02e3&subsys_00000000&rev_01"};
    bridge.bus_number = 0x109;  // printed whole, read on bus 9
    bridge.status = DN_DRIVER_LOADED;
    DEVINST second = machine.tree.Add(nodes.root_complex, bridge);
    sim::NewDevice card;
    card.enumerator = "PCI";
    card.hardware_ids = {u"PCI\\VEN_FFFF&DEV_0001"};
    machine.tree.Add(second, card);
    machine.dump.Set(9, 0x00, 0x02E31217);
    machine.dump.Set(9, 0x94, 0);
    machine.dump.Set(9, 0x58, 0x00000040);
    machine.dump.Set(9, 0x50, 0x10000010);
    machine.dump.Set(9, 0x20, 0);

    EXPECT_EQ(Run(), (Report{kHeading, kRegistry, kBridge, kCard,
                             "\r\nBus:0X109\r\nHardwareID:0x2e31217\r\nSUBSYSID:00000000\r\nMemoryBase:00000000"
                             "\r\nSlotStatus:0x000040\r\nLinkStatus:0x10000010\r\nstatus:0x000002\r\nproblem:00000000",
                             "\r\nExpressCard\r\nBus:00\r\nHardwareID:0xffffffff\r\nstatus:0x00000a"
                             "\r\nproblem:00000000\r\nDeviceDesc:"}));
}

TEST_F(ReportTest, WhatCouldNotBeReadPrintsAsNoDevice)
{
    const std::string bridge_unread =
        "\r\nBus:0X6\r\nHardwareID:0xffffffff\r\nSUBSYSID:0xffffffff\r\nMemoryBase:0xffffffff\r\nSlotStatus:0xffffffff"
        "\r\nLinkStatus:0xffffffff\r\nstatus:0x00000a\r\nproblem:00000000";
    const std::string card_unread =
        "\r\nExpressCard\r\nBus:0X7\r\nHardwareID:0xffffffff\r\nstatus:0x00000a\r\nproblem:00000000"
        "\r\nDeviceDesc:ExpressCard PCI Express to PCI Bridge";
    machine.dump.installed = false;
    EXPECT_EQ(Run(), (Report{kHeading, kRegistry, bridge_unread, card_unread})) << "dump driver absent";

    machine.files().Delete(kLog);
    machine.dump.installed = true;
    machine.dump.fail_requests = true;
    EXPECT_EQ(Run(), (Report{kHeading, kRegistry, bridge_unread, card_unread})) << "requests failing";

    machine.files().Delete(kLog);
    machine.dump.fail_requests = false;
    machine.ArmFault({"CM_Get_DevNode_Status", 1, ERROR_GEN_FAILURE, CR_FAILURE, true});
    Report report = Run();
    ASSERT_EQ(report.size(), 4u);
    // An unread status is no "no problem": it prints as unread registers do.
    EXPECT_NE(report[2].find("\r\nstatus:0xffffffff\r\nproblem:0xffffffff"), std::string::npos) << report[2];
    EXPECT_NE(report[3].find("\r\nstatus:0xffffffff\r\nproblem:0xffffffff"), std::string::npos) << report[3];
    machine.ClearFaults();
}

TEST_F(ReportTest, ALongDescriptionIsCutWithTheRecord)
{
    machine.tree.SetProperty(nodes.express_card, CM_DRP_DEVICEDESC, REG_SZ, sim::SzBytes(std::u16string(400, u'D')));
    Report report = Run();
    ASSERT_EQ(report.size(), 4u);
    EXPECT_EQ(report[3].size(), 200u);
    EXPECT_EQ(report[3].substr(0, 93), kCard.substr(0, 93));  // up to "DeviceDesc:"
    EXPECT_EQ(report[3].substr(150), std::string(50, 'D'));
}

TEST_F(ReportTest, AHardwareIdLongerThanItsBufferIsCutNotOverrun)
{
    const std::u16string id = u"PCI\\VEN_8086&DEV_1C10" + std::u16string(300, u'X');
    machine.tree.SetMultiSz(nodes.root_port, CM_DRP_HARDWAREID, {id});
    machine.tree.SetMultiSz(nodes.root_port, CM_DRP_UPPERFILTERS, {u"PX711"});
    Report report = Run();
    ASSERT_EQ(report.size(), 5u);
    EXPECT_EQ(report[2], ("\r\nPX71\r\nHardwareID:" + sim::Narrow(id)).substr(0, 200));
}

TEST_F(ReportTest, TheResultSaysWhetherEveryRecordReachedTheLog)
{
    machine.files().SetReadOnly(u"C:\\Program Files\\PX71");
    EXPECT_EQ(XU_WriteLog("Diagnostics"), 0);
    EXPECT_FALSE(machine.files().Read(kLog).has_value());
    machine.files().SetReadOnly(u"C:\\Program Files\\PX71", false);

    // The registry record's write fails (the heading took 3 writes, each record 2):
    // the report goes on, and tells.
    machine.ArmFault({"WriteFile", 4, ERROR_DISK_FULL});
    EXPECT_EQ(XU_WriteLog("Diagnostics"), 0);
    EXPECT_EQ(Records(machine), (Report{kHeading, kBridge, kCard}));
}

// Every API call of the report failed in turn: nothing stays open, and the result
// is 0 exactly when a call of the log file itself failed.
TEST(ReportFaults, EveryFailureIsToldOnlyWhenARecordIsLost)
{
    // Two filtered devices and two adapter bridges, so that a lost record is followed by
    // others of its section.
    auto build = [](sim::Machine& m) {
        sim::DefaultNodes n = sim::BuildDefaultMachine(m);
        m.tree.SetMultiSz(n.root_port, CM_DRP_UPPERFILTERS, {u"PX711"});
        m.tree.SetMultiSz(n.downstream[0], CM_DRP_UPPERFILTERS, {u"PX713"});
        sim::NewDevice bridge;
        bridge.enumerator = "PCI";
        bridge.hardware_ids = {u"PCI\\VEN_1217&DEV_02E3&SUBSYS_00000000&REV_01"};
        bridge.bus_number = 9;
        m.tree.Add(n.root_complex, bridge);
        m.local_time = kNow;
    };
    Report whole;
    {
        sim::Machine m;
        build(m);
        sim::ActiveMachine active(m);
        XU_WriteLog("Diagnostics");
        whole = Records(m);
    }
    int faults = px71test::SweepFaults<int>(
        build, [] { return XU_WriteLog("Diagnostics"); },
        [&](int result, sim::Machine& m, std::size_t n) {
            const sim::CallRecord* failed = nullptr;
            auto calls = m.calls();
            for (const auto& c : calls)
                if (c.failed) failed = &c;
            ASSERT_NE(failed, nullptr);
            const std::string& f = failed->function;
            // A failed LockFileEx is a file system without locks: the record still goes in.
            const bool log_call = f == "GetModuleFileNameW" || f == "SetFilePointer" ||
                                  f == "ReadFile" || f == "WriteFile" || f == "WideCharToMultiByte" ||
                                  (f == "CreateFileW" && failed->text.ends_with("PX71.LOG"));
            EXPECT_EQ(result, log_call ? 0 : 1) << "call " << n << ": " << f << " " << failed->text;
            if (f != "WriteFile") return;
            // Only the record being written is lost: every one after it still reaches the log.
            const Report log = Records(m);
            const auto [kept, lost] = std::mismatch(log.begin(), log.end(), whole.begin(), whole.end());
            EXPECT_TRUE(log.size() + 1 == whole.size() && std::equal(kept, log.end(), lost + 1, whole.end()))
                << "call " << n << ": " << log.size() << " of " << whole.size() << " records";
        });
    EXPECT_GT(faults, 100);
}

} // namespace
