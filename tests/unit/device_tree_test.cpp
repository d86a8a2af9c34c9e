// The property readers, the match rule and FindTopBridge, driven through the simulator.
#include "library/device_tree.h"
#include "library/px71.h"
#include "support/machine_test.h"

#include <cstring>
#include <memory>
#include <vector>

using px71test::MachineTest;
using px71test::NothingOpen;

namespace {

// Both readers behind one signature, so the cases below run against each.
struct Reader {
    const char* name;
    // Reads the property given by its CM_DRP_ code from Node.
    int (*read)(DEVINST node, ULONG cm_code, const void* match, BYTE* buffer, DWORD size);
};

int ReadBySetupApi(DEVINST node, ULONG cm_code, const void* match, BYTE* buffer, DWORD size)
{
    px71::UniqueDevInfo set = px71::AllDevices();
    int result = -1;
    px71::ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (data.DevInst != node) return px71::Walk::Next;
        result = GetDeviceRegistryProperty(set.get(), &data, cm_code - 1, match, buffer, size);
        return px71::Walk::Stop;
    });
    return result;
}

int ReadByNode(DEVINST node, ULONG cm_code, const void* match, BYTE* buffer, DWORD size)
{
    return GetDevNodeRegistryProperty(node, cm_code, match, buffer, size);
}

void PrintTo(const Reader& reader, std::ostream* out) { *out << reader.name; }

const Reader kReaders[] = {{"GetDeviceRegistryProperty", ReadBySetupApi}, {"GetDevNodeRegistryProperty", ReadByNode}};

class ReaderTest : public MachineTest, public ::testing::WithParamInterface<Reader> {
protected:
    DEVINST device = 0;
    void SetUp() override
    {
        sim::NewDevice dev;
        dev.enumerator = "PCI";
        dev.hardware_ids = {u"PCI\\VEN_1217&DEV_02E3&SUBSYS_01021E2A&REV_01", u"pci\\ven_1e2a&dev_0102"};
        dev.upper_filters = {u"PX713"};
        dev.bus_number = 6;
        dev.description = u"O2Micro PCI Express ExpressCard Slot";
        device = machine.tree.Add(machine.tree.root(), dev);
    }
    int Read(ULONG cm_code, const void* match, BYTE* buffer = nullptr, DWORD size = 0)
    {
        return GetParam().read(device, cm_code, match, buffer, size);
    }
};

TEST_P(ReaderTest, MatchesByTheRule)
{
    const DWORD bus6 = 6, bus7 = 7;
    struct Case {
        const char* what;
        ULONG property;
        const void* match;
        int expected;
    } cases[] = {
        {"no match value", CM_DRP_HARDWAREID, nullptr, 1},
        {"first entry, prefix", CM_DRP_HARDWAREID, u"PCI\\VEN_1217&DEV_02E3", 1},
        {"second entry, other letter case", CM_DRP_HARDWAREID, u"PCI\\VEN_1E2A&DEV_0102", 1},
        {"pattern longer than every entry", CM_DRP_HARDWAREID, u"PCI\\VEN_1217&DEV_02E3&SUBSYS_01021E2A&REV_01&X", 0},
        {"empty pattern", CM_DRP_HARDWAREID, u"", 1},
        {"no entry begins so", CM_DRP_HARDWAREID, u"PCI\\VEN_8086", 0},
        {"filter prefix", CM_DRP_UPPERFILTERS, u"PX71", 1},
        {"same bus number", CM_DRP_BUSNUMBER, &bus6, 1},
        {"other bus number", CM_DRP_BUSNUMBER, &bus7, 0},
        {"missing property", CM_DRP_FRIENDLYNAME, nullptr, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(Read(c.property, c.match), c.expected) << c.what;
}

TEST_P(ReaderTest, CopiesTheDataWhetherOrNotItMatches)
{
    const DWORD other_bus = 9;
    DWORD bus = 0xDEADBEEF;
    EXPECT_EQ(Read(CM_DRP_BUSNUMBER, &other_bus, reinterpret_cast<BYTE*>(&bus), sizeof bus), 0);
    EXPECT_EQ(bus, 6u);

    char16_t text[64];
    std::memset(text, 0xAB, sizeof text);
    EXPECT_EQ(Read(CM_DRP_DEVICEDESC, u"nothing like it", reinterpret_cast<BYTE*>(text), sizeof text), 0);
    EXPECT_EQ(std::u16string(text), u"O2Micro PCI Express ExpressCard Slot");
    EXPECT_EQ(text[63], 0) << "the rest of the buffer is cleared";
}

TEST_P(ReaderTest, TruncatesSilentlyToBufferSize)
{
    char16_t text[16];
    std::memset(text, 0xAB, sizeof text);
    EXPECT_EQ(Read(CM_DRP_DEVICEDESC, nullptr, reinterpret_cast<BYTE*>(text), 10), 1);
    EXPECT_EQ(std::u16string(text, 5), u"O2Mic");
    EXPECT_EQ(text[5], 0xABAB) << "no terminator is added and nothing past BufferSize is written";
}

TEST_P(ReaderTest, MissingPropertyLeavesTheBufferCleared)
{
    BYTE buffer[8];
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(Read(CM_DRP_SERVICE, nullptr, buffer, sizeof buffer), 0);
    for (BYTE b : buffer) EXPECT_EQ(b, 0);
}

TEST_P(ReaderTest, FailedAllocationIsNotRead)
{
    machine.ArmFault({"HeapAlloc", 1});
    BYTE buffer[16];
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(Read(CM_DRP_HARDWAREID, nullptr, buffer, sizeof buffer), 0);
    for (BYTE b : buffer) EXPECT_EQ(b, 0);
}

INSTANTIATE_TEST_SUITE_P(BothReaders, ReaderTest, ::testing::ValuesIn(kReaders),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MachineTest, SetupReaderAsksForTheSizeThenReadsIntoTwiceThat)
{
    sim::NewDevice dev;
    dev.hardware_ids = {u"PCI\\VEN_1E2A&DEV_0102"};
    DEVINST node = machine.tree.Add(machine.tree.root(), dev);
    ASSERT_EQ(ReadBySetupApi(node, CM_DRP_HARDWAREID, nullptr, nullptr, 0), 1);

    std::vector<sim::CallRecord> reads;
    for (const auto& c : machine.calls())
        if (c.function == "SetupDiGetDeviceRegistryPropertyW") reads.push_back(c);
    ASSERT_EQ(reads.size(), 2u);
    const std::uint64_t data_bytes = sim::MultiSzBytes(dev.hardware_ids).size();
    EXPECT_EQ(reads[0].args[3], 0u) << "size query without a buffer";
    EXPECT_EQ(reads[0].args[4], 0u);
    EXPECT_EQ(reads[1].args[4], 2 * data_bytes);
}

TEST_F(MachineTest, NodeReaderPassesTheUndoubledLength)
{
    sim::NewDevice dev;
    dev.description = u"Bridge";
    DEVINST node = machine.tree.Add(machine.tree.root(), dev);
    ASSERT_EQ(GetDevNodeRegistryProperty(node, CM_DRP_DEVICEDESC, nullptr, nullptr, 0), 1);
    std::vector<sim::CallRecord> reads;
    for (const auto& c : machine.calls())
        if (c.function == "CM_Get_DevNode_Registry_PropertyW") reads.push_back(c);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].args[3], 0u) << "length preset to 0";
    EXPECT_EQ(reads[1].args[3], sim::SzBytes(u"Bridge").size());
}

TEST_F(MachineTest, NodeReaderTreatsAFailedSecondReadAsNotRead)
{
    sim::NewDevice dev;
    dev.upper_filters = {u"PX711"};
    DEVINST node = machine.tree.Add(machine.tree.root(), dev);
    machine.ArmFault({"CM_Get_DevNode_Registry_PropertyW", 2});
    BYTE buffer[32];
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(GetDevNodeRegistryProperty(node, CM_DRP_UPPERFILTERS, u"PX711", buffer, sizeof buffer), 0);
    for (BYTE b : buffer) EXPECT_EQ(b, 0) << "nothing that was not read is copied";
}

TEST_F(MachineTest, SetupReaderGivesUpOnAPropertyThatNeverFits)
{
    sim::NewDevice dev;
    dev.hardware_ids = {u"PCI\\VEN_1E2A"};
    DEVINST node = machine.tree.Add(machine.tree.root(), dev);
    machine.ArmFault({"SetupDiGetDeviceRegistryPropertyW", 1, ERROR_INSUFFICIENT_BUFFER, CR_FAILURE, true});
    EXPECT_EQ(ReadBySetupApi(node, CM_DRP_HARDWAREID, nullptr, nullptr, 0), 0);
}

TEST_F(MachineTest, SkipWalkGivesUpOnASetThatFailsEveryMember)
{
    px71::UniqueDevInfo set = px71::AllPresentDevices();
    ASSERT_TRUE(set);
    machine.ArmFault({"SetupDiEnumDeviceInfo", 1, ERROR_GEN_FAILURE, CR_FAILURE, true});
    int visited = 0;
    px71::ForEachDeviceSkippingFailures(set.get(), [&](SP_DEVINFO_DATA&) {
        ++visited;
        return px71::Walk::Next;
    });
    EXPECT_EQ(visited, 0);
    EXPECT_EQ(machine.CallCount("SetupDiEnumDeviceInfo"), px71::kMaxSkippedMembers);
}

TEST_F(MachineTest, SetupReaderOfAnEmptyPropertyIsNotRead)
{
    sim::NewDevice dev;
    DEVINST node = machine.tree.Add(machine.tree.root(), dev);
    machine.tree.SetProperty(node, CM_DRP_FRIENDLYNAME, REG_SZ, {});
    EXPECT_EQ(ReadBySetupApi(node, CM_DRP_FRIENDLYNAME, nullptr, nullptr, 0), 0);
    EXPECT_EQ(GetDevNodeRegistryProperty(node, CM_DRP_FRIENDLYNAME, nullptr, nullptr, 0), 0) << "the node reader";
}

TEST(ReaderFaults, EveryFailureEndsInZeroAndNothingOpen)
{
    auto build = [](sim::Machine& m) { sim::BuildDefaultMachine(m); };
    int faults = px71test::SweepFaults<int>(
        build,
        [] {
            px71::UniqueDevInfo set = px71::PresentPciDevices();
            int matched = 0;
            px71::ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
                BYTE buffer[64];
                matched += GetDeviceRegistryProperty(set.get(), &data, SPDRP_HARDWAREID, u"PCI\\VEN_1217", buffer,
                                                     sizeof buffer);
                matched += GetDevNodeRegistryProperty(data.DevInst, CM_DRP_UPPERFILTERS, nullptr, buffer,
                                                      sizeof buffer);
                return px71::Walk::Next;
            });
            return matched;
        },
        [](int matched, sim::Machine&, std::size_t) {
            // Five O2Micro functions in the default machine and no filters: a fault can
            // only take matches away.
            EXPECT_LE(matched, 5);
        });
    EXPECT_GT(faults, 20);
}

// ---------------------------------------------------------------- MatchMultiSz
// Data in a heap block of exactly its size, so the sanitizers see any read past it.
struct ExactData {
    std::unique_ptr<char16_t[]> data;
    DWORD bytes;
    explicit ExactData(std::u16string_view units, DWORD byte_count = 0)
        : data(new char16_t[units.size() ? units.size() : 1]),
          bytes(byte_count ? byte_count : static_cast<DWORD>(units.size() * 2))
    {
        std::memcpy(data.get(), units.data(), units.size() * 2);
    }
};

TEST(MatchMultiSz, FollowsThePrefixRuleWithinDataBytes)
{
    using namespace std::string_view_literals;
    struct Case {
        const char* what;
        const char16_t* pattern;
        std::u16string_view data;
        DWORD bytes;  // 0: all of data
        int expected;
    } cases[] = {
        {"first entry", u"PX71", u"PX711\0\0"sv, 0, 1},
        {"second entry, other case", u"px714", u"pcmcia\0PX714\0\0"sv, 0, 1},
        {"only letters fold", u"root\\{4d36}", u"ROOT\\{4D36}\0\0"sv, 0, 1},
        {"signs beyond 'z' stay as they are", u"A|", u"a\\\0\0"sv, 0, 0},
        {"entry shorter than pattern", u"PX7111", u"PX711\0\0"sv, 0, 0},
        {"empty pattern matches the first entry", u"", u"A\0\0"sv, 0, 1},
        {"empty pattern on an empty list", u"", u"\0\0"sv, 0, 1},
        {"the closing empty entry matches no letter", u"B", u"A\0\0"sv, 0, 0},
        {"no terminator at all", u"PX711", u"PX71"sv, 0, 0},
        {"no terminator, pattern fits", u"PX7", u"PX71"sv, 0, 1},
        {"odd byte count", u"AB", u"ABC"sv, 5, 1},
        {"odd byte count cuts the pattern", u"ABC", u"ABC"sv, 5, 0},
        {"entries past DataBytes are not read", u"X", u"A\0X\0\0"sv, 4, 0},
        {"DataBytes 0", u"", u"A\0"sv, 1, 1},
        {"null pattern, first entry present", nullptr, u"A\0\0"sv, 0, 1},
        {"null pattern, empty first entry", nullptr, u"\0A\0\0"sv, 0, 0},
    };
    for (const auto& c : cases) {
        ExactData data(c.data, c.bytes);
        EXPECT_EQ(px71::MatchMultiSz(c.pattern, data.data.get(), data.bytes), c.expected) << c.what;
    }
}

TEST(MatchMultiSz, NoDataNoMatch)
{
    EXPECT_EQ(px71::MatchMultiSz(u"A", nullptr, 10), 0);
    EXPECT_EQ(px71::MatchMultiSz(nullptr, nullptr, 10), 0);
    ExactData empty(u"");
    EXPECT_EQ(px71::MatchMultiSz(u"", empty.data.get(), 0), 0);
    EXPECT_EQ(px71::MatchMultiSz(nullptr, empty.data.get(), 0), 0) << "nothing to read, nothing read";
}

TEST(MatchProperty, DwordNeedsFourBytes)
{
    const DWORD six = 6;
    const BYTE data[4] = {6, 0, 0, 0};
    EXPECT_EQ(px71::MatchProperty(&six, REG_DWORD, data, 4), 1);
    EXPECT_EQ(px71::MatchProperty(&six, REG_DWORD, data, 2), 0);
    EXPECT_EQ(px71::MatchProperty(nullptr, REG_DWORD, data, 0), 1);
}

// ---------------------------------------------------------------- FindTopBridge
class TopBridgeTest : public MachineTest {
protected:
    sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);
};

TEST_F(TopBridgeTest, ClimbsTheBridgeChainToTheRootPort)
{
    EXPECT_EQ(px71::FindTopBridge(nodes.adapter), nodes.root_port);
    EXPECT_EQ(px71::FindTopBridge(nodes.express_card), nodes.root_port) << "four bridges stacked";
    EXPECT_EQ(px71::FindTopBridge(nodes.root_port), nodes.root_port) << "parent is the root bus";
    EXPECT_EQ(px71::FindTopBridge(machine.tree.root()), machine.tree.root()) << "no parent at all";
}

TEST_F(TopBridgeTest, StopsBelowAParentThatIsNoBridge)
{
    // The reader hub's parent is a USB root hub, not a PCI-to-PCI bridge.
    EXPECT_EQ(px71::FindTopBridge(nodes.reader), nodes.reader);
    // A parent without compatible IDs ends the walk too.
    machine.tree.DeleteProperty(nodes.downstream[3], CM_DRP_COMPATIBLEIDS);
    EXPECT_EQ(px71::FindTopBridge(nodes.express_card), nodes.slot_bridge);
}

TEST_F(TopBridgeTest, FindsTheAdapterPositions)
{
    px71::AdapterNodes found = px71::FindAdapterNodes(nodes.adapter);
    EXPECT_EQ(found.root_port, nodes.root_port);
    EXPECT_EQ(found.upstream, nodes.adapter);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(found.downstream[i], nodes.downstream[i]) << i;
    EXPECT_EQ(px71::FirstChild(found.downstream[3]), nodes.slot_bridge);
    EXPECT_EQ(px71::NextSibling(px71::NextSibling(nodes.slot_bridge)), nodes.ehci);
    EXPECT_EQ(machine.CallCount("CM_Get_Sibling"), 5u) << "three for the downstream nodes, two above";
}

TEST_F(TopBridgeTest, MissingPositionsStayZero)
{
    // Two downstream nodes go away: the third and fourth positions are not found.
    machine.tree.node(nodes.downstream[2]).present = false;
    machine.tree.node(nodes.downstream[3]).present = false;
    px71::AdapterNodes found = px71::FindAdapterNodes(nodes.adapter);
    EXPECT_EQ(found.downstream[1], nodes.downstream[1]);
    EXPECT_EQ(found.downstream[2], 0u);
    EXPECT_EQ(found.downstream[3], 0u);
    // An adapter hanging straight from the root complex is its own top bridge, with no
    // root port above it: no position is its own.
    sim::NewDevice lone;
    lone.hardware_ids = {u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A"};
    DEVINST adapter = machine.tree.Add(nodes.root_complex, lone);
    EXPECT_EQ(px71::FindTopBridge(adapter), adapter);
    found = px71::FindAdapterNodes(adapter);
    EXPECT_EQ(found.root_port, 0u);
    EXPECT_EQ(found.upstream, 0u);
    EXPECT_EQ(found.downstream[0], 0u);
    EXPECT_EQ(px71::FirstChild(0), 0u);
    EXPECT_EQ(px71::NextSibling(0), 0u);
}

TEST(TopBridgeFaults, AFailureEndsTheWalkWhereItStands)
{
    sim::DefaultNodes nodes;
    int faults = px71test::SweepFaults<DEVINST>(
        [&](sim::Machine& m) { nodes = sim::BuildDefaultMachine(m); },
        [&] { return px71::FindTopBridge(nodes.express_card); },
        [&](DEVINST found, sim::Machine&, std::size_t n) {
            const DEVINST chain[] = {nodes.express_card, nodes.slot_bridge, nodes.downstream[3], nodes.adapter,
                                     nodes.root_port};
            bool on_chain = false;
            for (DEVINST c : chain) on_chain |= found == c;
            EXPECT_TRUE(on_chain) << "call " << n;
        });
    EXPECT_EQ(faults, 5 * 5) << "per parent: parent, size query, allocation, read, free";
}

} // namespace
