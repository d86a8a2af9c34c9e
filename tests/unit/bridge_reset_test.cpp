// XU_ResetPCIBridge on the default machine, whose adapter bridge is a System-class
// device without upper filters.
#include "library/px71.h"
#include "sim/pnp.h"
#include "support/machine_test.h"

#include <functional>
#include <utility>

using px71test::MachineTest;

namespace {

using Requests = std::vector<std::pair<DWORD, DWORD>>;  // state change, scope

Requests Made(const sim::Machine& m, DEVINST bridge)
{
    Requests out;
    for (const auto& p : m.property_changes) {
        EXPECT_EQ(p.node, bridge) << "no other node is touched";
        EXPECT_EQ(p.hw_profile, 0u);
        out.emplace_back(p.state_change, p.scope);
    }
    return out;
}

const Requests kDisable = {{DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC}};
const Requests kEnable = {{DICS_ENABLE, DICS_FLAG_GLOBAL}, {DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC}};

// A filter list longer than the bridge's hardware IDs, led by the root-port filter.
sim::WideList LongFilterList()
{
    sim::WideList filters = {u"PX711"};
    for (int i = 0; i < 12; ++i) filters.push_back(u"SomeVendorsUpperFilterDriverNumber" + std::u16string(1, u'A' + i));
    return filters;
}

TEST(BridgeReset, RestartsTheBridgeUnlessTheRootPortFilterLeads)
{
    using Prepare = std::function<void(sim::Machine&, const sim::DefaultNodes&)>;
    auto filters = [](sim::WideList list) {
        return [list](sim::Machine& m, const sim::DefaultNodes& n) { m.tree.SetMultiSz(n.adapter, CM_DRP_UPPERFILTERS, list); };
    };
    struct Case {
        const char* what;
        Prepare prepare;
        DWORD enable;
        Requests expected;
    } cases[] = {
        {"no filters, disable", [](auto&, auto&) {}, 0, kDisable},
        {"no filters, enable: global scope first", [](auto&, auto&) {}, 1, kEnable},
        {"Enable 0x100 counts as 0", [](auto&, auto&) {}, 0x100, kDisable},
        {"Enable 0xFF", [](auto&, auto&) {}, 0xFF, kEnable},
        {"PX711 first, disable", filters({u"PX711"}), 0, {}},
        {"PX711 first, enable", filters({u"PX711", u"other"}), 1, {}},
        {"px711 in small letters", filters({u"px711"}), 0, {}},
        {"PX711 second: only the first name counts", filters({u"pcmcia", u"PX711"}), 0, kDisable},
        {"another product filter", filters({u"PX713"}), 1, kEnable},
        {"a long list led by PX711", filters(LongFilterList()), 0, {}},
        {"a list whose size reads but whose names do not: left alone",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             m.tree.SetMultiSz(n.adapter, CM_DRP_UPPERFILTERS, {u"PX713"});  // would be restarted
             sim::Fault fault{"SetupDiGetDeviceRegistryPropertyA", 2};
             fault.argument = {{2, SPDRP_UPPERFILTERS}};  // the read after the size query
             m.ArmFault(fault);
         },
         0, {}},
        {"hardware ID in small letters",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             m.tree.SetMultiSz(n.adapter, CM_DRP_HARDWAREID, {u"pci\\ven_1e2a&dev_0102&subsys_00000000"});
         },
         0, kDisable},
        {"no adapter bridge",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             m.tree.SetMultiSz(n.adapter, CM_DRP_HARDWAREID, {u"PCI\\VEN_1E2A&DEV_0103"});
         },
         0, {}},
        {"the bridge in another setup class",
         [](sim::Machine& m, const sim::DefaultNodes& n) { m.tree.node(n.adapter).class_guid = sim::kClassUsb; }, 0,
         {}},
        {"a failing member is skipped, not the end",
         [](sim::Machine& m, auto&) { m.ArmFault({"SetupDiEnumDeviceInfo", 1}); }, 0, kDisable},
        {"the first enable request cannot be set: the second still runs",
         [](sim::Machine& m, auto&) { m.ArmFault({"SetupDiSetClassInstallParamsW", 1}); }, 1,
         {{DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC}}},
    };
    for (const auto& c : cases) {
        sim::Machine m;
        auto n = sim::BuildDefaultMachine(m);
        sim::ActiveMachine active(m);
        c.prepare(m, n);
        EXPECT_EQ(XU_ResetPCIBridge(c.enable), 0) << c.what;
        EXPECT_EQ(Made(m, n.adapter), c.expected) << c.what;
        EXPECT_EQ(m.CallCount("SetupDiGetDeviceRegistryPropertyW"), 0u) << "ANSI reads only: " << c.what;
        for (const auto& call : m.calls()) {
            if (call.function == "SetupDiGetClassDevsA") {
                EXPECT_EQ(call.args[2], static_cast<std::uint64_t>(DIGCF_PRESENT));
            }
            if (call.function == "SetupDiSetClassInstallParamsW") {
                EXPECT_EQ(call.args[3], 20u);
            }
        }
        EXPECT_TRUE(px71test::NothingOpen(m)) << c.what;
    }
}

TEST(BridgeReset, DisableThenEnableRestartsIt)
{
    sim::Machine m;
    auto n = sim::BuildDefaultMachine(m);
    sim::ActiveMachine active(m);
    ULONG status = 0, problem = 0;
    // A file open below vetoes the disable: it is taken back rather than left to switch
    // the adapter off at the next start of Windows.
    m.storage.volumes.at('D').open_files = 1;
    EXPECT_EQ(XU_ResetPCIBridge(0), 0);
    EXPECT_EQ(m.tree.node(n.adapter).pending, sim::Pending::kNone);
    sim::Restart(m);
    EXPECT_EQ(m.tree.node(n.adapter).problem, 0u);
    EXPECT_TRUE(m.tree.node(n.sata_disk[0]).present);
    XU_ResetPCIBridge(0);
    EXPECT_FALSE(m.tree.node(n.sata_disk[0]).present) << "the disable took the children along";
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, n.adapter, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_DISABLED));
    EXPECT_EQ(status & DN_STARTED, 0u);
    XU_ResetPCIBridge(1);
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, n.adapter, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(problem, 0u);
    EXPECT_NE(status & DN_STARTED, 0u);
    EXPECT_TRUE(m.tree.node(n.sata_disk[0]).present);
    EXPECT_TRUE(px71test::NothingOpen(m));
}

TEST(BridgeReset, OnlyTheFirstBridgeIsActedOn)
{
    sim::Machine m;
    auto n = sim::BuildDefaultMachine(m);
    sim::NewDevice second;
    second.enumerator = "PCI";
    second.class_guid = sim::kClassSystem;
    second.hardware_ids = {u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A&REV_01"};
    m.tree.Add(n.root_complex, second);
    sim::ActiveMachine active(m);
    XU_ResetPCIBridge(0);
    EXPECT_EQ(Made(m, n.adapter), kDisable);
}

TEST(BridgeResetFaults, EveryFailureReturnsZeroAndLeavesNothingOpen)
{
    for (DWORD enable : {0u, 1u}) {
        sim::DefaultNodes nodes;
        int faults = px71test::SweepFaults<int>(
            [&](sim::Machine& m) {
                nodes = sim::BuildDefaultMachine(m);
                // A list on the bridge that does not lead with PX711: it is read, and acted on.
                m.tree.SetMultiSz(nodes.adapter, CM_DRP_UPPERFILTERS, {u"acme"});
            },
            [enable] { return static_cast<int>(XU_ResetPCIBridge(enable)); },
            [&](int r, sim::Machine& m, std::size_t n) {
                EXPECT_EQ(r, 0) << "call " << n;
                Requests made = Made(m, nodes.adapter);
                const Requests& full = enable ? kEnable : kDisable;
                // A disable whose install parameters cannot be read may be waiting for the
                // next start: it is taken back, and the bridge is left running.
                if (!enable && made.size() == 2) {
                    EXPECT_EQ(made[1], (std::pair<DWORD, DWORD>{DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC})) << "call " << n;
                    EXPECT_EQ(m.tree.node(nodes.adapter).problem, 0u) << "call " << n;
                    return;
                }
                EXPECT_LE(made.size(), full.size()) << "call " << n;
            });
        EXPECT_GT(faults, 10);
    }
}

} // namespace
