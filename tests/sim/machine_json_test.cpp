// Machines described in JSON: what loads, what is refused and how the refusal reads.
#include "sim/machine_json.h"
#include "sim/slot.h"
#include "support/machine_test.h"

namespace {

TEST(MachineJson, DefaultMachineRoundTrips)
{
    sim::Machine original;
    sim::BuildDefaultMachine(original);
    const std::string dumped = sim::DumpMachine(original);

    sim::Machine loaded;
    std::string error;
    ASSERT_TRUE(sim::LoadMachine(loaded, dumped, error)) << error;
    EXPECT_EQ(sim::DumpMachine(loaded), dumped);
    EXPECT_EQ(loaded.dump.Read(sim::kDefaultSlotBus, 0x94), 0x01021E2Au);
    EXPECT_EQ(loaded.registry.Dword(sim::kServiceKey, u"Oz888Len"), 0x00400000u);
    // The storage floor and the slot come back working, not only written down.
    ASSERT_EQ(loaded.storage.volumes.count('G'), 1u);
    EXPECT_EQ(loaded.storage.volumes['G'].drive_type, static_cast<UINT>(DRIVE_REMOVABLE));
    const sim::PhysicalDisk* sd = loaded.storage.disk(loaded.storage.volumes['G'].disk);
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(sd->product_id, "ZEK-PX71    SD  ");
    ASSERT_EQ(loaded.slots.size(), 1u);
    const DEVINST card = loaded.slots[0].card;
    ASSERT_NE(card, 0u);
    loaded.dump.Write(sim::kDefaultSlotBus, 0x50, loaded.dump.Read(sim::kDefaultSlotBus, 0x50) | sim::kLinkDisable);
    EXPECT_FALSE(loaded.tree.node(card).present);
}

TEST(MachineJson, BuildsTheTreeItDescribes)
{
    const char* text = R"({
      "devices": [
        {"enumerator": "PCI", "class": "System", "hardware_ids": ["PCI\\VEN_8086&DEV_1C10"],
         "compatible_ids": ["PCI\\CC_060400"], "bus": 0,
         "children": [
           {"enumerator": "PCI", "class": "{4D36E97D-E325-11CE-BFC1-08002BE10318}",
            "hardware_ids": ["PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A"], "bus": "0x1",
            "upper_filters": ["PX711"], "started": false, "problem": 10, "veto": "OutstandingOpen"},
           {"hardware_ids": ["GONE"], "present": false}
         ]}
      ],
      "registry": {"HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711": {"USBLen": 16, "FilePathName": "C:\\x.exe",
                   "List": ["a", "b"]}},
      "dump_driver": {"installed": false, "buses": {"6": {"registers": {"0x00": "0x02E31217"},
                                                          "writable": {"0x50": "0xFFFF"}}}}
    })";
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(sim::LoadMachine(m, text, error)) << error;
    const auto& top = m.tree.node(m.tree.node(m.tree.root()).children.at(0));
    ASSERT_EQ(top.children.size(), 2u);
    const auto& adapter = m.tree.node(top.children[0]);
    EXPECT_EQ(adapter.problem, 10u);
    EXPECT_EQ(adapter.status & DN_STARTED, 0u);
    EXPECT_EQ(adapter.veto, PNP_VetoOutstandingOpen);
    EXPECT_TRUE(adapter.class_guid == sim::kClassSystem);
    EXPECT_EQ(*m.tree.MultiSz(adapter.id, CM_DRP_UPPERFILTERS), sim::WideList{u"PX711"});
    EXPECT_FALSE(m.tree.node(top.children[1]).present);
    EXPECT_EQ(m.registry.Dword(sim::kServiceKey, u"USBLen"), 16u);
    EXPECT_EQ(m.registry.Value(sim::kServiceKey, u"List")->type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_FALSE(m.dump.installed);
    EXPECT_EQ(m.dump.Read(6, 0), 0x02E31217u);
    EXPECT_EQ(m.dump.functions[6].writable[0x50 / 4], 0xFFFFu);
}

TEST(MachineJson, RefusalsNameThePlace)
{
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"{\n  \"devices\": [\n    {\"bus\": 1,}\n  ]\n}", "line 3, column 15: syntax error"},
        {"{\"devices\": [{\"bus\": -1}]}", "devices[0].bus: expected a number"},
        {"{\"devices\": [{\"children\": [{\"class\": \"Printer\"}]}]}", "devices[0].children[0].class: \"Printer\""},
        {"{\"devices\": [{\"colour\": \"red\"}]}", "devices[0]: unknown member \"colour\""},
        {"{\"registry\": {\"SYSTEM\\\\X\": {}}}", "a key path begins with HKLM or HKCU"},
        {"{\"dump_driver\": {\"buses\": {\"300\": {}}}}", "a bus number is 0 to 255"},
        {"{\"dump_driver\": {\"buses\": {\"6\": {\"registers\": {\"0x51\": 1}}}}}", "multiple of 4"},
        {"[1, 2]", "machine: expected an object"},
        {"", "line 1, column 1: syntax error"},
        {"{\"devices\": [{\"bus\": 12E31217}]}", "number overflow"},
        {"{\"volumes\": [{\"letter\": \"F\", \"disk\": 4}]}", "volumes[0].disk: no device describes disk 4"},
        {"{\"devices\": [{\"disk\": {\"number\": 1}}], \"volumes\": [{\"letter\": \"A\", \"disk\": 1}]}",
         "volumes[0].letter: a drive letter is one of C to Z"},
        {"{\"devices\": [{\"disk\": {\"number\": 1}}, {\"disk\": {\"number\": 1}}]}",
         "devices[1].disk.number: disk 1 is described twice"},
        {"{\"devices\": [{\"disk\": {\"blocks\": 5}}]}", "devices[0].disk: a disk needs its \"number\""},
        {"{\"devices\": [{\"slot\": {\"card_bus\": 7}}]}", "devices[0].slot: a slot's bridge function needs its \"bus\""},
        {"{\"devices\": [{\"bus\": 6, \"slot\": {\"card_bus\": 256}}]}", "devices[0].slot.card_bus: a bus number"},
        {"{\"devices\": [{\"disk\": {\"number\": 1}}], \"volumes\": [{\"letter\": \"F\", \"disk\": 1, "
         "\"type\": \"floppy\"}]}",
         "volumes[0].type: unknown drive type \"floppy\""},
    };
    for (const auto& c : cases) {
        sim::Machine m;
        std::string error;
        EXPECT_FALSE(sim::LoadMachine(m, c.text, error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << "got: " << error;
    }
}

// A description nested deeper than any device tree is refused, not walked until the
// stack runs out; one just within the bound loads.
TEST(MachineJson, DeepTreesAreBounded)
{
    auto nested = [](int levels) {
        std::string text = "{\"devices\": [";
        for (int i = 1; i < levels; ++i) text += "{\"children\": [";
        text += "{}";
        for (int i = 1; i < levels; ++i) text += "]}";
        return text + "]}";
    };
    sim::Machine within;
    std::string error;
    EXPECT_TRUE(sim::LoadMachine(within, nested(64), error)) << error;
    for (int levels : {65, 100000}) {
        sim::Machine m;
        EXPECT_FALSE(sim::LoadMachine(m, nested(levels), error));
        EXPECT_NE(error.find("deeper than 64 levels"), std::string::npos) << error.substr(0, 200);
    }
}

} // namespace
