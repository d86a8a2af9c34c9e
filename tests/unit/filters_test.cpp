// The filter lists: what each export writes, deletes and counts, driven through the
// simulated machine.
#include "library/device_tree.h"
#include "library/px71.h"
#include "support/machine_test.h"

#include <optional>
#include <string>
#include <vector>

using px71test::MachineTest;

namespace {

using sim::WideList;

sim::NewDevice PciBridge(std::u16string hardware_id)
{
    sim::NewDevice dev;
    dev.enumerator = "PCI";
    dev.class_guid = sim::kClassSystem;
    dev.hardware_ids = {hardware_id, hardware_id.substr(0, hardware_id.rfind(u'&'))};
    dev.compatible_ids = {u"PCI\\CC_060400", u"PCI\\CC_0604"};
    return dev;
}

sim::NewDevice PciFunction(std::u16string hardware_id)
{
    sim::NewDevice dev = PciBridge(std::move(hardware_id));
    dev.compatible_ids = {u"PCI\\CC_0C0320"};
    return dev;
}

// An adapter in a root port of its own, with four downstream ports and a controller
// below the third.
struct Adapter {
    DEVINST root_port = 0;
    DEVINST adapter = 0;
    DEVINST downstream[4] = {};
    DEVINST third_child = 0;
};

Adapter AddAdapter(sim::Machine& m, DEVINST root_complex, std::u16string hardware_id)
{
    Adapter a;
    a.root_port = m.tree.Add(root_complex, PciBridge(u"PCI\\VEN_8086&DEV_1C12&SUBSYS_00000000&REV_B5"));
    a.adapter = m.tree.Add(a.root_port, PciBridge(std::move(hardware_id)));
    for (DEVINST& d : a.downstream) d = m.tree.Add(a.adapter, PciBridge(u"PCI\\VEN_1E2A&DEV_0103&SUBSYS_01021E2A&REV_01"));
    a.third_child = m.tree.Add(a.downstream[2], PciFunction(u"PCI\\VEN_1217&DEV_8134&SUBSYS_01021E2A&REV_02"));
    return a;
}

Adapter DefaultAdapter(const sim::DefaultNodes& n)
{
    Adapter a;
    a.root_port = n.root_port;
    a.adapter = n.adapter;
    for (int i = 0; i < 4; ++i) a.downstream[i] = n.downstream[i];
    a.third_child = n.cardbus;
    return a;
}

std::optional<WideList> ListOf(const sim::Machine& m, DEVINST node)
{
    return m.tree.MultiSz(node, CM_DRP_UPPERFILTERS);
}

sim::Bytes RawListOf(const sim::Machine& m, DEVINST node)
{
    const sim::Property* p = m.tree.property(node, CM_DRP_UPPERFILTERS);
    return p ? p->data : sim::Bytes{};
}

// The default machine, active for one case of a table, left with nothing open.
struct Fresh {
    sim::Machine m;
    sim::DefaultNodes n = sim::BuildDefaultMachine(m);
    sim::ActiveMachine active{m};
    ~Fresh() { EXPECT_TRUE(px71test::NothingOpen(m)); }
    void Set(DEVINST node, const WideList& list) { m.tree.SetMultiSz(node, CM_DRP_UPPERFILTERS, list); }
};

class FiltersTest : public MachineTest {
protected:
    sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);
    Adapter first = DefaultAdapter(nodes);

    std::optional<WideList> List(DEVINST node) const { return ListOf(machine, node); }
    sim::Bytes Raw(DEVINST node) const { return RawListOf(machine, node); }
    void SetList(DEVINST node, const WideList& entries) { machine.tree.SetMultiSz(node, CM_DRP_UPPERFILTERS, entries); }
    // A device that is not present, as a card that was pulled leaves behind.
    DEVINST AddAbsentDevice(const WideList& filters)
    {
        sim::NewDevice dev = PciFunction(u"PCI\\VEN_104C&DEV_8240&SUBSYS_00000000&REV_00");
        dev.present = false;
        dev.upper_filters = filters;
        return machine.tree.Add(nodes.slot_bridge, dev);
    }
};

TEST_F(FiltersTest, AddFilterWritesOneEntryPerPosition)
{
    EXPECT_EQ(XU_AddFilter(), 1);
    const struct {
        DEVINST node;
        const char16_t* filter;
    } positions[] = {
        {first.root_port, u"PX711"},     {first.downstream[0], u"PX713"}, {first.downstream[1], u"PX714"},
        {first.downstream[2], u"PX715"}, {first.third_child, u"PX717"},   {first.downstream[3], u"PX716"},
    };
    for (const auto& p : positions) {
        const sim::Bytes expected = sim::MultiSzBytes({p.filter});
        ASSERT_EQ(expected.size(), 14u);
        EXPECT_EQ(Raw(p.node), expected) << sim::Narrow(p.filter) << ": five letters, NUL, closing NUL";
    }
    for (const auto& write : Calls("CM_Set_DevNode_Registry_PropertyW")) {
        EXPECT_EQ(write.args[1], static_cast<std::uint64_t>(CM_DRP_UPPERFILTERS));
        EXPECT_EQ(write.args[3], 14u) << "byte count covers both NULs";
        EXPECT_EQ(write.args[4], 0u) << "flags";
    }
    EXPECT_EQ(Calls("CM_Set_DevNode_Registry_PropertyW").size(), 6u);
    EXPECT_FALSE(List(first.adapter)) << "the adapter's own node is no position";
    EXPECT_FALSE(List(nodes.slot_bridge)) << "nor is the fourth node's child";
    EXPECT_FALSE(List(nodes.sata[0]));
    // The older adapter's removal finds no "PX71" among the new names: it counts nothing
    // and writes nothing.
    machine.ClearCalls();
    EXPECT_EQ(XU_DelFilter_OLD(), 0);
    EXPECT_TRUE(Calls("SetupDiSetDeviceRegistryPropertyW").empty());
}

TEST_F(FiltersTest, AddFilterRemovesFirstThenAddsOverPresentDevices)
{
    const DEVINST absent = AddAbsentDevice({u"PX715", u"acme"});
    EXPECT_EQ(XU_AddFilter(), 1);
    EXPECT_FALSE(List(absent)) << "the removal step reaches devices that are not present";
    const auto sets = Calls("SetupDiGetClassDevsW");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].args[2], static_cast<std::uint64_t>(DIGCF_ALLCLASSES)) << "removal over all devices first";
    EXPECT_EQ(sets[1].args[2], static_cast<std::uint64_t>(DIGCF_PRESENT | DIGCF_ALLCLASSES));
    EXPECT_EQ(machine.CallCount("SetupDiDestroyDeviceInfoList"), 2u);
}

TEST_F(FiltersTest, AddFilterCountsAdapters)
{
    struct Case {
        const char* what;
        int adapters;  // 0 removes the default machine's adapter
        bool second_refuses_root_write;
        int expected;
    } cases[] = {
        {"no adapter", 0, false, 0},
        {"one adapter", 1, false, 1},
        {"two adapters, the second unprogrammed", 2, false, 2},
        {"two adapters, one root-port write refused", 2, true, -1},
    };
    for (const auto& c : cases) {
        Fresh f;
        if (c.adapters == 0) f.m.tree.SetMultiSz(f.n.adapter, CM_DRP_HARDWAREID, {u"PCI\\VEN_1E2A&DEV_0103"});
        Adapter second;
        if (c.adapters == 2) {
            second = AddAdapter(f.m, f.n.root_complex, u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_00000000&REV_01");
            f.m.tree.node(second.root_port).refuse_property_writes = c.second_refuses_root_write;
        }
        const DEVINST stale = f.m.tree.Add(f.n.root_port, PciFunction(u"PCI\\VEN_DEAD&DEV_BEEF"));
        f.Set(stale, {u"PX714"});
        EXPECT_EQ(XU_AddFilter(), c.expected) << c.what;
        EXPECT_FALSE(ListOf(f.m, stale)) << c.what << ": removed in any case";
        if (c.second_refuses_root_write) {
            EXPECT_FALSE(ListOf(f.m, second.downstream[0])) << "nodes below stay untouched";
        }
    }
}

TEST_F(FiltersTest, RootPortStillCarryingItsFilterIsDoneWithoutWrites)
{
    SetList(first.root_port, {u"PX711"});
    machine.tree.node(first.root_port).refuse_property_writes = true;  // the removal step fails on it
    EXPECT_EQ(XU_AddFilter(), 1);
    EXPECT_EQ(machine.CallCount("CM_Set_DevNode_Registry_PropertyW"), 0u);
    EXPECT_EQ(machine.CallCount("CM_Get_Child"), 1u) << "only the root port's first child: is it the adapter?";
    EXPECT_FALSE(List(first.downstream[0]));
}

TEST_F(FiltersTest, AddFilterReplacesOtherDriversButKeepsTheThirdChildsList)
{
    struct Case {
        const char* what;
        WideList root, d1, d2, child;
        WideList expected_child;
    } cases[] = {
        {"other drivers everywhere", {u"acme"}, {u"acme", u"PX713"}, {u"lower", u"acme"}, {u"pcmcia"}, {u"pcmcia"}},
        {"no list on the child", {}, {}, {}, {}, {u"PX717"}},
        {"the child kept PX717 from an earlier run", {u"PX711"}, {u"PX713"}, {u"PX714"}, {u"PX717"}, {u"PX717"}},
    };
    for (const auto& c : cases) {
        Fresh f;
        const std::pair<DEVINST, const WideList*> before[] = {
            {f.n.root_port, &c.root}, {f.n.downstream[0], &c.d1}, {f.n.downstream[1], &c.d2}, {f.n.cardbus, &c.child}};
        for (const auto& [node, list] : before)
            if (!list->empty()) f.Set(node, *list);
        EXPECT_EQ(XU_AddFilter(), 1) << c.what;
        EXPECT_EQ(ListOf(f.m, f.n.root_port), WideList{u"PX711"}) << c.what;
        EXPECT_EQ(ListOf(f.m, f.n.downstream[0]), WideList{u"PX713"}) << c.what;
        EXPECT_EQ(ListOf(f.m, f.n.downstream[1]), WideList{u"PX714"}) << c.what;
        EXPECT_EQ(ListOf(f.m, f.n.cardbus), c.expected_child) << c.what;
    }
    // A list of no bytes at all on the child counts as none.
    Fresh f;
    f.m.tree.SetProperty(f.n.cardbus, CM_DRP_UPPERFILTERS, REG_MULTI_SZ, {});
    EXPECT_EQ(XU_AddFilter(), 1);
    EXPECT_EQ(ListOf(f.m, f.n.cardbus), WideList{u"PX717"});
}

TEST_F(FiltersTest, MissingPositionsAreNeverWritten)
{
    struct Case {
        const char* what;
        std::vector<int> absent_downstream;  // downstream ports (0-based) taken out of the live tree
        bool third_without_child;
        std::vector<int> written;  // downstream ports that get their list
        bool child_written;
    } cases[] = {
        {"three downstream nodes", {3}, false, {0, 1, 2}, true},
        {"two downstream nodes", {2, 3}, false, {0, 1}, false},
        {"no downstream node", {0, 1, 2, 3}, false, {}, false},
        {"third node without a child", {}, true, {0, 1, 2, 3}, false},
    };
    for (const auto& c : cases) {
        Fresh f;
        for (int d : c.absent_downstream) f.m.tree.node(f.n.downstream[d]).present = false;
        if (c.third_without_child) f.m.tree.node(f.n.cardbus).present = false;
        EXPECT_EQ(XU_AddFilter(), 1) << c.what << ": the root port was written";
        EXPECT_EQ(ListOf(f.m, f.n.root_port), WideList{u"PX711"}) << c.what;
        const char16_t* names[] = {u"PX713", u"PX714", u"PX715", u"PX716"};
        std::vector<int> written;
        for (int d = 0; d < 4; ++d) {
            auto list = ListOf(f.m, f.n.downstream[d]);
            if (!list) continue;
            written.push_back(d);
            EXPECT_EQ(*list, WideList{names[d]}) << c.what << ": each name on its own position only";
        }
        EXPECT_EQ(written, c.written) << c.what;
        EXPECT_EQ(ListOf(f.m, f.n.cardbus).has_value(), c.child_written) << c.what;
        // No name lands anywhere else.
        for (DEVINST id : f.m.tree.order()) {
            bool position = id == f.n.root_port || id == f.n.cardbus;
            for (DEVINST d : f.n.downstream) position |= id == d;
            if (!position) {
                EXPECT_FALSE(ListOf(f.m, id)) << c.what << ": node " << id;
            }
        }
    }
}

TEST_F(FiltersTest, DelFilterDeletesWholeListsThatCarryOurNames)
{
    struct Case {
        const char* what;
        WideList list;
        std::optional<WideList> after;
    } cases[] = {
        {"root port filter", {u"PX711"}, std::nullopt},
        {"ours and another driver's", {u"PX713", u"acme"}, std::nullopt},
        {"small letters", {u"px714"}, std::nullopt},
        {"behind another entry", {u"acme", u"PX716"}, std::nullopt},
        {"a longer name beginning with ours", {u"PX7150"}, std::nullopt},
        {"the third child's filter alone", {u"PX717"}, WideList{u"PX717"}},
        {"the old adapter's filter", {u"PX71"}, WideList{u"PX71"}},
        {"another driver only", {u"acme"}, WideList{u"acme"}},
    };
    std::vector<DEVINST> devices;
    for (const auto& c : cases) {
        devices.push_back(machine.tree.Add(nodes.root_complex, PciFunction(u"PCI\\VEN_DEAD&DEV_BEEF")));
        SetList(devices.back(), c.list);
    }
    const DEVINST absent = AddAbsentDevice({u"PX716"});
    EXPECT_EQ(XU_DelFilter(), 6) << "five present devices and one that is not";
    for (std::size_t i = 0; i < devices.size(); ++i) EXPECT_EQ(List(devices[i]), cases[i].after) << cases[i].what;
    EXPECT_FALSE(List(absent));
    for (const auto& write : Calls("SetupDiSetDeviceRegistryPropertyW")) {
        EXPECT_EQ(write.args[2], static_cast<std::uint64_t>(SPDRP_UPPERFILTERS));
        EXPECT_EQ(write.args[3], 0u) << "no buffer: the list is deleted";
        EXPECT_EQ(write.args[4], 0u);
    }
}

TEST_F(FiltersTest, DelFilterCountsRefusedDeletions)
{
    const DEVINST a = machine.tree.Add(nodes.root_complex, PciFunction(u"PCI\\VEN_DEAD&DEV_BEEF"));
    const DEVINST b = machine.tree.Add(nodes.root_complex, PciFunction(u"PCI\\VEN_DEAD&DEV_BEEF"));
    const DEVINST c = machine.tree.Add(nodes.root_complex, PciFunction(u"PCI\\VEN_DEAD&DEV_BEEF"));
    SetList(a, {u"PX711"});
    SetList(b, {u"PX713"});
    SetList(c, {u"PX715"});
    machine.tree.node(b).refuse_property_writes = true;
    machine.tree.node(c).refuse_property_writes = true;
    EXPECT_EQ(XU_DelFilter(), -2);
    EXPECT_FALSE(List(a));
    EXPECT_EQ(List(b), WideList{u"PX713"});
    EXPECT_EQ(XU_DelFilter(), -2) << "the walk goes on past each failure";
    machine.ArmFault({"SetupDiGetClassDevsW", 1});
    EXPECT_EQ(XU_DelFilter(), 0) << "no device set";
}

TEST_F(FiltersTest, RootPortWithoutItsFilter)
{
    struct Case {
        const char* what;
        bool adapter;
        std::optional<WideList> first_root;
        std::optional<WideList> second_root;  // no second adapter when absent
        int expected;
        const char* failing = nullptr;  // an API call that fails once
    } cases[] = {
        {"no adapter", false, std::nullopt, std::nullopt, 0},
        {"the root port carries PX711", true, WideList{u"PX711"}, std::nullopt, 0},
        {"in small letters, behind another", true, WideList{u"acme", u"px711"}, std::nullopt, 0},
        {"no list", true, std::nullopt, std::nullopt, 1},
        {"only the old filter", true, WideList{u"PX71"}, std::nullopt, 1},
        {"another driver's filter", true, WideList{u"acme"}, std::nullopt, 1},
        {"two adapters, both filtered", true, WideList{u"PX711"}, WideList{u"PX711"}, 0},
        {"two adapters, the second without", true, WideList{u"PX711"}, WideList{u"PX713"}, 1},
        // A root port that cannot be found cannot be seen to carry the filter.
        {"the climb to the root port fails", true, WideList{u"PX711"}, std::nullopt, 1, "CM_Get_Parent"},
    };
    for (const auto& c : cases) {
        Fresh f;
        if (c.failing) f.m.ArmFault({c.failing, 1});
        if (!c.adapter) f.m.tree.SetMultiSz(f.n.adapter, CM_DRP_HARDWAREID, {u"PCI\\VEN_1E2A&DEV_0103"});
        if (c.first_root) f.Set(f.n.root_port, *c.first_root);
        if (c.second_root)
            f.Set(AddAdapter(f.m, f.n.root_complex, u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A&REV_01").root_port,
                  *c.second_root);
        EXPECT_EQ(XU_DoesExistNoFilterRootPort(), c.expected) << c.what;
        EXPECT_EQ(f.m.CallCount("CM_Set_DevNode_Registry_PropertyW") +
                      f.m.CallCount("SetupDiSetDeviceRegistryPropertyW"),
                  0u);
        const auto calls = f.m.calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].text, "(no class) PCI") << "present PCI devices";
        EXPECT_EQ(calls[0].args[2], static_cast<std::uint64_t>(DIGCF_PRESENT | DIGCF_ALLCLASSES));
    }
}

// ---------------------------------------------------------------- the older adapter
class OldFiltersTest : public MachineTest {
protected:
    DEVINST root_complex = 0, root_port = 0, adapter = 0, below = 0;
    void SetUp() override
    {
        sim::NewDevice complex;
        complex.enumerator = "ACPI";
        complex.hardware_ids = {u"ACPI\\PNP0A08"};
        complex.compatible_ids = {u"ACPI\\PNP0A03"};
        root_complex = machine.tree.Add(machine.tree.root(), complex);
        root_port = machine.tree.Add(root_complex, PciBridge(u"PCI\\VEN_8086&DEV_1C10&SUBSYS_00000000&REV_B5"));
        adapter = machine.tree.Add(root_port, PciBridge(u"PCI\\VEN_1217&DEV_02EB&SUBSYS_01021E2A&REV_01"));
        below = machine.tree.Add(adapter, PciFunction(u"PCI\\VEN_1217&DEV_8134&SUBSYS_01021E2A&REV_02"));
    }
    std::optional<WideList> List(DEVINST node) const { return ListOf(machine, node); }
    sim::Bytes Raw(DEVINST node) const { return RawListOf(machine, node); }
    void SetRaw(DEVINST node, sim::Bytes data)
    {
        machine.tree.SetProperty(node, CM_DRP_UPPERFILTERS, REG_MULTI_SZ, std::move(data));
    }
};

sim::Bytes Units(std::u16string_view units)
{
    sim::Bytes out;
    for (char16_t c : units) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

TEST_F(OldFiltersTest, AddAppendsBehindTheLastEntry)
{
    using namespace std::string_view_literals;
    WideList fits = WideList(50, u"ABCD");  // 250 units with their NULs
    fits.push_back(u"XYZ");                // 254: "PX71", NUL and the closing NUL just fit in 260
    WideList too_long = WideList(50, u"ABCD");
    too_long.push_back(u"WXYZ");  // 255: one unit too many
    struct Case {
        const char* what;
        std::optional<sim::Bytes> before;
        int expected;
        std::optional<sim::Bytes> after;
    } cases[] = {
        {"no list", std::nullopt, 1, sim::MultiSzBytes({u"PX71"})},
        {"an empty list", Units(u"\0\0"sv), 1, sim::MultiSzBytes({u"PX71"})},
        {"one other entry", sim::MultiSzBytes({u"pcmcia"}), 1, sim::MultiSzBytes({u"pcmcia", u"PX71"})},
        {"already there", sim::MultiSzBytes({u"acme", u"px71"}), 1, sim::MultiSzBytes({u"acme", u"px71"})},
        {"a list that just fits", sim::MultiSzBytes(fits), 1, [&] {
             WideList w = fits;
             w.push_back(u"PX71");
             return sim::MultiSzBytes(w);
         }()},
        {"one unit too long", sim::MultiSzBytes(too_long), -1, sim::MultiSzBytes(too_long)},
        {"longer than the buffer", sim::MultiSzBytes(WideList(200, u"ABCD")), -1,
         sim::MultiSzBytes(WideList(200, u"ABCD"))},
        {"no closing NUL", Units(u"pcmcia"sv), 1, sim::MultiSzBytes({u"pcmcia", u"PX71"})},
        {"no NUL in 260 units", Units(std::u16string(260, u'A')), -1, Units(std::u16string(260, u'A'))},
        {"an entry whose NUL is the buffer's last unit", Units(std::u16string(259, u'A') + u'\0'), -1,
         Units(std::u16string(259, u'A') + u'\0')},
    };
    ASSERT_EQ(sim::MultiSzBytes({u"PX71"}).size(), 12u);
    for (const auto& c : cases) {
        machine.tree.DeleteProperty(root_port, CM_DRP_UPPERFILTERS);
        if (c.before) SetRaw(root_port, *c.before);
        machine.ClearCalls();
        EXPECT_EQ(XU_AddFilter_OLD(), c.expected) << c.what;
        EXPECT_EQ(Raw(root_port), *c.after) << c.what;
        for (const auto& call : machine.calls()) {
            if (call.function != "CM_Set_DevNode_Registry_PropertyW") continue;
            EXPECT_EQ(call.args[0], root_port) << c.what << ": the root port only";
            EXPECT_EQ(call.args[3], c.after->size()) << c.what << ": up to and including the closing NUL";
        }
        EXPECT_FALSE(List(adapter)) << c.what;
        EXPECT_FALSE(List(below)) << c.what;
    }
}

TEST_F(OldFiltersTest, AddCountsARootPortCarryingTheNewFilterAsDone)
{
    // The current removal step cannot delete it, and "PX711" begins with "PX71".
    SetRaw(root_port, sim::MultiSzBytes({u"PX711"}));
    machine.tree.node(root_port).refuse_property_writes = true;
    EXPECT_EQ(XU_AddFilter_OLD(), 1);
    EXPECT_EQ(machine.CallCount("CM_Set_DevNode_Registry_PropertyW"), 0u);
    // Without that, the removal step takes it away and "PX71" is written.
    machine.tree.node(root_port).refuse_property_writes = false;
    EXPECT_EQ(XU_AddFilter_OLD(), 1);
    EXPECT_EQ(List(root_port), WideList{u"PX71"});
    // A refused write counts as a failure.
    machine.tree.DeleteProperty(root_port, CM_DRP_UPPERFILTERS);
    machine.tree.node(root_port).refuse_property_writes = true;
    EXPECT_EQ(XU_AddFilter_OLD(), -1);
}

TEST_F(OldFiltersTest, DelTakesOutTheOneEntry)
{
    using namespace std::string_view_literals;
    WideList long_list{u"PX71"};
    for (int i = 0; i < 60; ++i) long_list.push_back(u"ABCD");  // 306 units, more than the buffer holds
    struct Case {
        const char* what;
        sim::Bytes before;
        int expected;
        std::optional<sim::Bytes> after;  // nullopt: the list is deleted
    } cases[] = {
        {"in the middle", sim::MultiSzBytes({u"acme", u"PX71", u"pcmcia"}), 1,
         sim::MultiSzBytes({u"acme", u"pcmcia"})},
        {"first, small letters", sim::MultiSzBytes({u"px71", u"acme"}), 1, sim::MultiSzBytes({u"acme"})},
        {"last", sim::MultiSzBytes({u"acme", u"PX71"}), 1, sim::MultiSzBytes({u"acme"})},
        {"alone", sim::MultiSzBytes({u"PX71"}), 1, std::nullopt},
        {"only as the start of a longer entry: not counted", sim::MultiSzBytes({u"PX711", u"acme"}), 0,
         sim::MultiSzBytes({u"PX711", u"acme"})},
        {"not there", sim::MultiSzBytes({u"acme"}), 0, sim::MultiSzBytes({u"acme"})},
        {"no closing NULs", Units(u"acme\0PX71"sv), 1, sim::MultiSzBytes({u"acme"})},
        {"longer than the buffer", sim::MultiSzBytes(long_list), -1, sim::MultiSzBytes(long_list)},
    };
    for (const auto& c : cases) {
        SetRaw(below, c.before);
        machine.ClearCalls();
        EXPECT_EQ(XU_DelFilter_OLD(), c.expected) << c.what;
        if (c.after) {
            EXPECT_EQ(Raw(below), *c.after) << c.what;
        } else {
            EXPECT_FALSE(List(below)) << c.what;
        }
        for (const auto& call : machine.calls()) {
            if (call.function != "SetupDiSetDeviceRegistryPropertyW") continue;
            EXPECT_EQ(call.args[1], below) << c.what;
            EXPECT_EQ(call.args[4], c.after ? c.after->size() : 0u) << c.what << ": byte count up to the closing NUL";
        }
    }
}

TEST_F(OldFiltersTest, DelReachesDevicesThatAreNotPresentAndCountsFailures)
{
    sim::NewDevice gone = PciFunction(u"PCI\\VEN_104C&DEV_8240");
    gone.present = false;
    gone.upper_filters = {u"PX71", u"acme"};
    const DEVINST absent = machine.tree.Add(below, gone);
    machine.tree.SetMultiSz(root_port, CM_DRP_UPPERFILTERS, {u"PX71"});
    machine.tree.node(root_port).refuse_property_writes = true;
    EXPECT_EQ(XU_DelFilter_OLD(), -1) << "two matched, one refused";
    EXPECT_EQ(List(absent), WideList{u"acme"});
    EXPECT_EQ(List(root_port), WideList{u"PX71"});
}

TEST_F(OldFiltersTest, RootPortWithoutTheOldFilter)
{
    struct Case {
        const char* what;
        std::optional<WideList> list;
        int expected;
    } cases[] = {
        {"no list", std::nullopt, 1},
        {"PX71", WideList{u"acme", u"PX71"}, 0},
        {"PX711 counts too", WideList{u"PX711"}, 0},
        {"another driver", WideList{u"acme"}, 1},
    };
    for (const auto& c : cases) {
        machine.tree.DeleteProperty(root_port, CM_DRP_UPPERFILTERS);
        if (c.list) machine.tree.SetMultiSz(root_port, CM_DRP_UPPERFILTERS, *c.list);
        EXPECT_EQ(XU_DoesExistNoFilterRootPort_OLD(), c.expected) << c.what;
        EXPECT_EQ(XU_DoesExistNoFilterRootPort(), 0) << c.what << ": no current adapter";
    }
}

// The filter functions write to the root port they find, so a walk cut short by a
// failed call must not pass for the top.
TEST(TopBridgeChecked, TellsAFailedCallFromTheTop)
{
    struct Case {
        const char* what;
        const char* failing;  // empty: nothing fails
        std::uint64_t nth;
        bool expected;
        bool stops_at_adapter;
    } cases[] = {
        {"nothing fails", "", 0, true, false},
        {"the adapter's parent query", "CM_Get_Parent", 1, false, true},
        {"the root port's parent query", "CM_Get_Parent", 2, false, false},
        {"the root port's compatible IDs, size query", "CM_Get_DevNode_Registry_PropertyW", 1, false, true},
        {"the root port's compatible IDs, read", "CM_Get_DevNode_Registry_PropertyW", 2, false, true},
        {"the buffer for them", "HeapAlloc", 1, false, true},
    };
    for (const auto& c : cases) {
        Fresh f;
        if (*c.failing) f.m.ArmFault({c.failing, c.nth});
        DEVINST top = 0;
        EXPECT_EQ(px71::FindTopBridgeChecked(f.n.adapter, top), c.expected) << c.what;
        EXPECT_EQ(top, c.stops_at_adapter ? f.n.adapter : f.n.root_port) << c.what;
    }
    // A parent without compatible IDs ends the walk without a failure.
    Fresh f;
    f.m.tree.DeleteProperty(f.n.root_port, CM_DRP_COMPATIBLEIDS);
    DEVINST top = 0;
    EXPECT_TRUE(px71::FindTopBridgeChecked(f.n.adapter, top));
    EXPECT_EQ(top, f.n.adapter);
}

// ---------------------------------------------------------------- fault sweeps
// Every failure of a platform call leaves nothing open, gives a documented result and
// never puts a name on a node that is not its position, nor loses another driver's
// list that was to be kept.
TEST(FilterFaults, AddFilter)
{
    sim::DefaultNodes n;
    int faults = px71test::SweepFaults<int>(
        [&](sim::Machine& m) {
            n = sim::BuildDefaultMachine(m);
            m.tree.SetMultiSz(n.cardbus, CM_DRP_UPPERFILTERS, {u"pcmcia"});
            m.tree.SetMultiSz(n.downstream[1], CM_DRP_UPPERFILTERS, {u"PX714"});
        },
        [] { return XU_AddFilter(); },
        [&](int result, sim::Machine& m, std::size_t call) {
            EXPECT_TRUE(result == 1 || result == 0 || result == -1) << result << ", call " << call;
            EXPECT_EQ(m.tree.MultiSz(n.cardbus, CM_DRP_UPPERFILTERS), WideList{u"pcmcia"}) << "call " << call;
            const char16_t* names[] = {u"PX713", u"PX714", u"PX715", u"PX716"};
            for (int d = 0; d < 4; ++d) {
                auto list = m.tree.MultiSz(n.downstream[d], CM_DRP_UPPERFILTERS);
                if (list) {
                    EXPECT_EQ(*list, WideList{names[d]}) << "call " << call;
                }
            }
            EXPECT_FALSE(m.tree.MultiSz(n.adapter, CM_DRP_UPPERFILTERS)) << "call " << call;
            if (result == 1) {
                EXPECT_EQ(m.tree.MultiSz(n.root_port, CM_DRP_UPPERFILTERS), WideList{u"PX711"}) << "call " << call;
            }
        });
    ::testing::Test::RecordProperty("faults_XU_AddFilter", faults);
    EXPECT_GT(faults, 50);
}

TEST(FilterFaults, DelFilterAndRootPortTest)
{
    sim::DefaultNodes n;
    auto build = [&](sim::Machine& m) {
        n = sim::BuildDefaultMachine(m);
        m.tree.SetMultiSz(n.root_port, CM_DRP_UPPERFILTERS, {u"PX711"});
        m.tree.SetMultiSz(n.downstream[0], CM_DRP_UPPERFILTERS, {u"PX713", u"acme"});
    };
    int faults = px71test::SweepFaults<int>(build, [] { return XU_DelFilter(); },
                                            [](int result, sim::Machine&, std::size_t call) {
                                                EXPECT_TRUE(result >= -2 && result <= 2) << result << ", call " << call;
                                            });
    ::testing::Test::RecordProperty("faults_XU_DelFilter", faults);
    EXPECT_GT(faults, 20);
    faults = px71test::SweepFaults<int>(build, [] { return XU_DoesExistNoFilterRootPort(); },
                                        [](int result, sim::Machine&, std::size_t call) {
                                            EXPECT_TRUE(result == 0 || result == 1) << "call " << call;
                                        });
    ::testing::Test::RecordProperty("faults_XU_DoesExistNoFilterRootPort", faults);
    EXPECT_GT(faults, 10);
}

void BuildOld(sim::Machine& m, DEVINST& root_port)
{
    sim::NewDevice complex;
    complex.hardware_ids = {u"ACPI\\PNP0A08"};
    DEVINST rc = m.tree.Add(m.tree.root(), complex);
    root_port = m.tree.Add(rc, PciBridge(u"PCI\\VEN_8086&DEV_1C10&SUBSYS_00000000&REV_B5"));
    m.tree.Add(root_port, PciBridge(u"PCI\\VEN_1217&DEV_02EB&SUBSYS_01021E2A&REV_01"));
}

TEST(FilterFaults, OldVariants)
{
    DEVINST root_port = 0;
    int faults = px71test::SweepFaults<int>(
        [&](sim::Machine& m) {
            BuildOld(m, root_port);
            m.tree.SetMultiSz(root_port, CM_DRP_UPPERFILTERS, {u"pcmcia"});
        },
        [] { return XU_AddFilter_OLD(); },
        [&](int result, sim::Machine& m, std::size_t call) {
            auto list = m.tree.MultiSz(root_port, CM_DRP_UPPERFILTERS);
            EXPECT_TRUE(result == 1 || result == 0 || result == -1) << "call " << call;
            EXPECT_TRUE(list == WideList{u"pcmcia"} || list == (WideList{u"pcmcia", u"PX71"}))
                << "another driver's entry is never lost, call " << call;
            if (result == 1) {
                EXPECT_EQ(list, (WideList{u"pcmcia", u"PX71"})) << "call " << call;
            }
        });
    ::testing::Test::RecordProperty("faults_XU_AddFilter_OLD", faults);
    EXPECT_GT(faults, 20);

    faults = px71test::SweepFaults<int>(
        [&](sim::Machine& m) {
            BuildOld(m, root_port);
            m.tree.SetMultiSz(root_port, CM_DRP_UPPERFILTERS, {u"acme", u"PX71", u"pcmcia"});
        },
        [] { return XU_DelFilter_OLD(); },
        [&](int result, sim::Machine& m, std::size_t call) {
            auto list = m.tree.MultiSz(root_port, CM_DRP_UPPERFILTERS);
            EXPECT_TRUE(result == 1 || result == 0 || result == -1) << "call " << call;
            EXPECT_TRUE(list == (WideList{u"acme", u"PX71", u"pcmcia"}) || list == (WideList{u"acme", u"pcmcia"}))
                << "call " << call;
            if (result == 1) {
                EXPECT_EQ(list, (WideList{u"acme", u"pcmcia"})) << "call " << call;
            }
        });
    ::testing::Test::RecordProperty("faults_XU_DelFilter_OLD", faults);
    EXPECT_GT(faults, 10);

    faults = px71test::SweepFaults<int>([&](sim::Machine& m) { BuildOld(m, root_port); },
                                        [] { return XU_DoesExistNoFilterRootPort_OLD(); },
                                        [](int result, sim::Machine&, std::size_t call) {
                                            EXPECT_TRUE(result == 0 || result == 1) << "call " << call;
                                        });
    ::testing::Test::RecordProperty("faults_XU_DoesExistNoFilterRootPort_OLD", faults);
    EXPECT_GT(faults, 5);
}

} // namespace
