// XU_CheckDevice over tree shapes made from the default machine, which has every
// position filled: SI3132 below the first two downstream nodes, the CardBus bridge
// below the third, and below the fourth the slot bridge (C1, its card a PCI bridge),
// the OHCI function and the EHCI function (C3, its root hub served by usbhub).
#include "library/px71.h"
#include "sim/slot.h"
#include "support/machine_test.h"

#include <functional>

namespace {

using Prepare = std::function<void(sim::Machine&, const sim::DefaultNodes&)>;

void Gone(sim::Machine& m, DEVINST node) { m.tree.node(node).present = false; }
void Service(sim::Machine& m, DEVINST node, std::u16string service)
{
    m.tree.SetProperty(node, CM_DRP_SERVICE, REG_SZ, sim::SzBytes(service));
}

TEST(DeviceCheck, ReportsTheDriversAtTheAdaptersPositions)
{
    struct Case {
        const char* what;
        Prepare prepare;
        int expected;
    } cases[] = {
        {"every position filled", [](auto&, auto&) {}, 0x1F},
        {"no adapter bridge",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             m.tree.SetMultiSz(n.adapter, CM_DRP_HARDWAREID, {u"PCI\\VEN_1E2A&DEV_0103&SUBSYS_01021E2A"});
         },
         0},
        {"unprogrammed subsystem",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             m.tree.SetMultiSz(n.adapter, CM_DRP_HARDWAREID, {u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_00000000&REV_01"});
         },
         0x1F},
        {"an ID list longer than the stack buffer, the adapter's ID last",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             sim::WideList ids(40, u"PCI\\VEN_ABCD&DEV_0001");  // 40 x 22 units: 1 760 bytes
             ids.push_back(u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A");
             m.tree.SetMultiSz(n.adapter, CM_DRP_HARDWAREID, ids);
         },
         0x1F},
        {"another subsystem",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             m.tree.SetMultiSz(n.adapter, CM_DRP_HARDWAREID, {u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_12345678"});
         },
         0},
        {"fourth downstream node without children",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             for (DEVINST d : {n.slot_bridge, n.ohci, n.ehci}) Gone(m, d);
         },
         0x07},
        {"only two downstream nodes",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             Gone(m, n.downstream[2]);
             Gone(m, n.downstream[3]);
         },
         0x03},
        {"no downstream node", [](sim::Machine& m, const sim::DefaultNodes& n) {
             for (DEVINST d : n.downstream) Gone(m, d);
         },
         0},
        {"CardBus bridge with another service but pcmcia as first upper filter",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             Service(m, n.cardbus, u"ozcbus");
             m.tree.SetMultiSz(n.cardbus, CM_DRP_UPPERFILTERS, {u"PCMCIA", u"PX715"});
         },
         0x1F},
        {"pcmcia only as second upper filter",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             Service(m, n.cardbus, u"ozcbus");
             m.tree.SetMultiSz(n.cardbus, CM_DRP_UPPERFILTERS, {u"PX715", u"pcmcia"});
         },
         0x1B},
        {"first SATA position with another driver",
         [](sim::Machine& m, const sim::DefaultNodes& n) { Service(m, n.sata[0], u"ahcix"); }, 0x1E},
        {"a service name longer than the buffer matches nothing",
         [](sim::Machine& m, const sim::DefaultNodes& n) { Service(m, n.sata[1], u"SI3132" + std::u16string(200, u'x')); },
         0x1D},
        {"service names in other letter cases",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             Service(m, n.sata[0], u"si3132");
             Service(m, n.express_card, u"PCI");
             Service(m, n.ehci_root_hub, u"usbhub3");
         },
         0x1F},
        {"the card pulled: C1 has no child",
         [](sim::Machine& m, auto& n) {
             sim::SetCardInserted(m, 6, false);
             sim::ReenumerateSlots(m, n.slot_bridge);  // Windows has seen it go
         },
         0x17},
        {"no C1 bridge: positions move up and C3 is missing",
         [](sim::Machine& m, const sim::DefaultNodes& n) { Gone(m, n.slot_bridge); }, 0x07},
        {"C3 without its root hub",
         [](sim::Machine& m, const sim::DefaultNodes& n) { Gone(m, n.ehci_root_hub); }, 0x0F},
        {"second adapter adds its bits",
         [](sim::Machine& m, const sim::DefaultNodes& n) {
             Service(m, n.sata[0], u"ahcix");  // the first adapter lacks bit 0x01
             sim::NewDevice bridge;
             bridge.enumerator = "PCI";
             bridge.hardware_ids = {u"PCI\\VEN_8086&DEV_1C12"};
             bridge.compatible_ids = {u"PCI\\CC_060400"};
             DEVINST port = m.tree.Add(n.root_complex, bridge);
             bridge.hardware_ids = {u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A"};
             DEVINST adapter = m.tree.Add(port, bridge);
             bridge.hardware_ids = {u"PCI\\VEN_1E2A&DEV_0103"};
             DEVINST down = m.tree.Add(adapter, bridge);
             sim::NewDevice sata;
             sata.service = u"SI3132";
             m.tree.Add(down, sata);
         },
         0x1F},
    };
    for (const auto& c : cases) {
        sim::Machine m;
        auto n = sim::BuildDefaultMachine(m);
        sim::ActiveMachine active(m);
        c.prepare(m, n);
        EXPECT_EQ(XU_CheckDevice(), c.expected) << c.what;
        EXPECT_EQ(m.CallCount("CM_Get_DevNode_Registry_PropertyW"),
                  m.CallCount("CM_Get_Parent") * 2)
            << "only FindTopBridge reads wide: " << c.what;
        EXPECT_TRUE(px71test::NothingOpen(m)) << c.what;
    }
}

TEST(DeviceCheckFaults, AFailureOnlyTakesBitsAway)
{
    int faults = px71test::SweepFaults<int>(
        [](sim::Machine& m) {
            const sim::DefaultNodes n = sim::BuildDefaultMachine(m);
            // The adapter's IDs too long for the stack buffer: their heap read is swept too.
            sim::WideList ids(40, u"PCI\\VEN_ABCD&DEV_0001");
            ids.push_back(u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A");
            m.tree.SetMultiSz(n.adapter, CM_DRP_HARDWAREID, ids);
        },
        [] { return XU_CheckDevice(); },
        [](int mask, sim::Machine&, std::size_t n) { EXPECT_EQ(mask & ~0x1F, 0) << "call " << n; });
    EXPECT_GT(faults, 30);
}

} // namespace
