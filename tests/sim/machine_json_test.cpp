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
    EXPECT_EQ(loaded.dump.Read(sim::kDefaultCardBus, 0x00), 0xFFFFFFFFu) << "no link, no card";
    sim::ReenumerateSlots(loaded, loaded.slots[0].bridge);
    EXPECT_FALSE(loaded.tree.node(card).present);
    // A card that does not answer goes into the dump with its registers, and answers
    // again from the machine loaded from it once its link is up.
    sim::Machine again;
    ASSERT_TRUE(sim::LoadMachine(again, sim::DumpMachine(loaded), error)) << error;
    EXPECT_EQ(sim::DumpMachine(again), sim::DumpMachine(loaded));
    again.dump.Write(sim::kDefaultSlotBus, 0x50, again.dump.Read(sim::kDefaultSlotBus, 0x50) & ~sim::kLinkDisable);
    sim::ReenumerateSlots(again, again.slots[0].bridge);
    EXPECT_TRUE(again.tree.node(again.slots[0].card).present);
    EXPECT_EQ(again.dump.Read(sim::kDefaultCardBus, 0x00), 0x8240104Cu);
}

// A volume in a folder, with or without a letter, a disk held open raw and what a
// surprise removal cut come back from a dump as they were.
TEST(MachineJson, MountFoldersRawHandlesAndSurpriseRemovalsRoundTrip)
{
    const char* text = R"({
      "devices": [{"disk": {"number": 5, "raw_handles": 2}}],
      "volumes": [{"letter": "K", "mount": "C:\\Data\\", "disk": 5, "total_bytes": 1000},
                  {"mount": "C:\\Mnt\\Card\\", "disk": 5, "partition": 2, "total_bytes": 2000, "open_files": 1}],
      "surprise_removals": [{"bus": 6, "devices": ["Card"], "open_files": [{"volume": "K:", "files": 3}],
                             "raw_handles": [{"disk": 5, "handles": 1}], "handles": 2}]
    })";
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(sim::LoadMachine(m, text, error)) << error;
    EXPECT_EQ(m.storage.volumes.at('K').mount, u"C:\\Data\\");
    ASSERT_EQ(m.storage.unlettered.size(), 1u);
    EXPECT_EQ(m.storage.unlettered[0].Name(), u"C:\\Mnt\\Card\\");
    EXPECT_EQ(m.storage.unlettered[0].open_files, 1);
    EXPECT_EQ(m.storage.disk(5)->raw_handles, 2);
    ASSERT_EQ(m.surprise_removals.size(), 1u);
    EXPECT_EQ(m.surprise_removals[0].open_files[0].files, 3);
    sim::Machine again;
    ASSERT_TRUE(sim::LoadMachine(again, sim::DumpMachine(m), error)) << error;
    EXPECT_EQ(sim::DumpMachine(again), sim::DumpMachine(m));
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
        {"{\"devices\": [{\"disk\": {\"number\": 1}}], \"volumes\": [{\"disk\": 1}]}",
         "volumes[0]: a volume needs its \"disk\" and a \"letter\", a \"mount\" folder or both"},
        {"{\"devices\": [{\"disk\": {\"number\": 1}}], \"volumes\": [{\"mount\": \"Mnt\", \"disk\": 1}]}",
         "volumes[0].mount: a mount folder is a path such as"},
        {"{\"devices\": [{\"disk\": {\"number\": 1}}], \"volumes\": [{\"mount\": \"C:\\\\M\\\\\", \"disk\": 1}, "
         "{\"mount\": \"c:\\\\m\\\\\", \"disk\": 1}]}",
         "volumes[1].mount: the folder c:\\m\\ holds two volumes"},
        {"{\"surprise_removals\": [{\"open_files\": [{\"files\": 1}]}]}",
         "surprise_removals[0].open_files[0]: needs its \"volume\" and its \"files\""},
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
