// px71sim: the walk-through judged by the machine it leaves behind, other machines,
// scripts, the refusals of bad input and the stability of --dump.
#include "library/px71.h"
#include "sim/default_machine.h"
#include "sim/files.h"
#include "sim/machine_json.h"
#include "sim/slot.h"
#include "support/machine_test.h"
#include "tools/px71log/log_reader.h"
#include "tools/px71sim/simulation.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

using px71sim::Simulation;
using px71sim::WalkThrough;

const char kTwoAdapters[] = PX71_TEST_MACHINES "/two-adapters.json";
const char kBoardSwitch[] = PX71_TEST_MACHINES "/board-switch-before-adapter.json";
const char kCardOut[] = PX71_TEST_MACHINES "/card-out.json";

std::string TempFile(const std::string& name, const std::string& content)
{
    const std::string path = ::testing::TempDir() + "px71sim_" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Ran {
    int code = 0;
    std::string out, err;
};

Ran RunPx71sim(std::vector<std::string> args)
{
    std::ostringstream out, err;
    Ran r;
    r.code = px71sim::Run(args, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

sim::WideList Filters(const sim::Machine& m, DEVINST node)
{
    return m.tree.MultiSz(node, CM_DRP_UPPERFILTERS).value_or(sim::WideList{});
}

// An EHCI name as the library gives it, called on the machine directly.
std::pair<int, std::string> EhciName(DWORD controller, DWORD card)
{
    WCHAR name[64] = {};
    const int result = XU_GetEhciExpressCardName(controller, card, name, sizeof name - sizeof(WCHAR));
    return {result, sim::Narrow(reinterpret_cast<const char16_t*>(name))};
}

// Link Disable as each write to the slot bridge's register 0x50 leaves it.
void RecordLinkWrites(sim::Machine& m, std::vector<std::uint32_t>& writes)
{
    std::lock_guard lock(m.mutex);
    m.dump.on_write = [&writes, previous = m.dump.on_write](std::uint8_t bus, std::uint8_t reg, std::uint32_t before,
                                                            std::uint32_t after) {
        if (bus == sim::kDefaultSlotBus && reg == 0x50) writes.push_back(after & sim::kLinkDisable);
        previous(bus, reg, before, after);
    };
}

// Each step of the walk-through on the embedded machine, and what it must have done.
TEST(Px71simWalkThrough, EachStepLeavesTheMachineAsItSays)
{
    Simulation s;
    const sim::DefaultNodes n = sim::BuildDefaultMachine(s.machine);
    std::string error;
    ASSERT_TRUE(s.Start(error)) << error;
    std::ostringstream out;
    WalkThrough walk(s, out);
    const std::string untouched = sim::DumpMachine(s.machine);

    // The device check only reads.
    ASSERT_TRUE(walk.CheckDevice());
    EXPECT_EQ(sim::DumpMachine(s.machine), untouched);

    // Filters: PX711 on the root port, PX713 to PX716 on the downstream ports, PX717 on
    // the CardBus controller, and no list anywhere else.
    ASSERT_TRUE(walk.InstallFilters());
    {
        const std::map<DEVINST, sim::WideList> expected = {
            {n.root_port, {u"PX711"}},     {n.downstream[0], {u"PX713"}}, {n.downstream[1], {u"PX714"}},
            {n.downstream[2], {u"PX715"}}, {n.downstream[3], {u"PX716"}}, {n.cardbus, {u"PX717"}},
        };
        for (DEVINST id : s.machine.tree.order()) {
            auto it = expected.find(id);
            EXPECT_EQ(Filters(s.machine, id), it == expected.end() ? sim::WideList{} : it->second)
                << sim::Narrow(s.machine.tree.MultiSz(id, CM_DRP_HARDWAREID).value_or(sim::WideList{u"root"})[0]);
        }
    }

    // The settings as the request carried them.
    ASSERT_TRUE(walk.StoreSettings());
    {
        const PipeRequest r = WalkThrough::SettingsRequest();
        const struct {
            const char16_t* name;
            DWORD value;
        } values[] = {{u"PortLen", r.PortLen},   {u"Oz888Len", r.Oz888Len},     {u"SxsLen", r.SxsLen},
                      {u"A3132Len", r.A3132Len}, {u"B3132Len", r.B3132Len},     {u"USBLen", r.USBLen},
                      {u"StartAdrs", r.StartAdrs}, {u"EndAdrs", r.EndAdrs},     {u"PayloadSize", r.PayloadSize},
                      {u"SataSSC", r.SataSSC}};
        for (const auto& v : values)
            EXPECT_EQ(s.machine.registry.Dword(sim::kServiceKey, v.name), v.value) << sim::Narrow(v.name);
    }

    // Looking at the slot and naming the cards change nothing.
    const std::string before_reading = sim::DumpMachine(s.machine);
    ASSERT_TRUE(walk.ShowSlots());
    ASSERT_TRUE(walk.NameCards());
    EXPECT_EQ(sim::DumpMachine(s.machine), before_reading);

    // The SD medium is out, the CF medium in; the card behind the SD medium moved up.
    ASSERT_EQ(EhciName(0, 2), std::make_pair(3, std::string("ZEK-PX71    SD")));
    ASSERT_TRUE(walk.EjectSdMedium());
    EXPECT_FALSE(s.machine.storage.disks.at(4).medium);
    EXPECT_TRUE(s.machine.storage.disks.at(3).medium);
    EXPECT_EQ(EhciName(0, 0), std::make_pair(1, std::string("USB Ethernet Adapter")));
    EXPECT_EQ(EhciName(0, 1), std::make_pair(2, std::string("ZEK-PX71    CF")));
    EXPECT_EQ(EhciName(0, 2), std::make_pair(1, std::string("USB Bluetooth Adapter")));
    EXPECT_EQ(EhciName(0, 3).first, 0);

    // The link went off (the card left the tree) and came back on (the card is back).
    std::vector<std::uint32_t> link_writes;
    RecordLinkWrites(s.machine, link_writes);
    ASSERT_TRUE(walk.SwitchLink());
    EXPECT_EQ(link_writes, (std::vector<std::uint32_t>{sim::kLinkDisable, 0}));
    EXPECT_EQ(s.machine.dump.Read(sim::kDefaultSlotBus, 0x50) & sim::kLinkDisable, 0u);
    EXPECT_TRUE(s.machine.tree.node(n.express_card).present);
    EXPECT_FALSE(s.machine.reenumerations.empty());

    // The bridge was disabled and enabled again, in that order.
    const std::size_t changes = s.machine.property_changes.size();
    ASSERT_TRUE(walk.RestartBridge());
    ASSERT_EQ(s.machine.property_changes.size(), changes + 3);
    const DWORD expected_changes[3][2] = {{DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC},
                                          {DICS_ENABLE, DICS_FLAG_GLOBAL},
                                          {DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC}};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& c = s.machine.property_changes[changes + i];
        EXPECT_EQ(c.node, n.adapter);
        EXPECT_EQ(c.state_change, expected_changes[i][0]);
        EXPECT_EQ(c.scope, expected_changes[i][1]);
    }
    EXPECT_TRUE(s.machine.tree.node(n.adapter).present);

    // The report is in PX71.LOG beside the service, under its title, with the settings.
    ASSERT_TRUE(walk.WriteReport());
    const auto image = s.machine.files().Read(px71sim::kLogPath);
    ASSERT_TRUE(image);
    const px71log::Log log = px71log::Parse(std::string(image->begin(), image->end()), image->size());
    EXPECT_TRUE(log.fatal.empty()) << log.fatal;
    EXPECT_TRUE(log.problems.empty());
    ASSERT_FALSE(log.entries.empty());
    EXPECT_NE(log.entries[0].text.find(WalkThrough::kReportTitle), std::string::npos);
    bool settings = false;
    for (const auto& e : log.entries) settings |= e.text.find("Oz888Len:0x400000") != std::string::npos;
    EXPECT_TRUE(settings);

    s.Stop();
    EXPECT_TRUE(px71test::NothingOpen(s.machine));
}

// A volume in use stops the link from going off; the card stays.
TEST(Px71simWalkThrough, BusyVolumeKeepsTheLinkOn)
{
    Simulation s;
    const sim::DefaultNodes n = sim::BuildDefaultMachine(s.machine);
    s.machine.storage.volumes.at('F').open_files = 1;
    std::string error;
    ASSERT_TRUE(s.Start(error)) << error;
    std::ostringstream out;
    WalkThrough walk(s, out);
    std::vector<std::uint32_t> link_writes;
    RecordLinkWrites(s.machine, link_writes);
    ASSERT_TRUE(walk.SwitchLink());
    for (std::uint32_t disable : link_writes) EXPECT_EQ(disable, 0u) << "the link went off under an open file";
    EXPECT_EQ(s.machine.dump.Read(sim::kDefaultSlotBus, 0x50) & sim::kLinkDisable, 0u);
    EXPECT_TRUE(s.machine.tree.node(n.express_card).present);
    EXPECT_TRUE(s.machine.slots.at(0).taken_down.empty());
}

// A disable that an open file below vetoes answers 0 and leaves nothing for the
// restart; once the restart closed the file, the same disable goes through.
TEST(Px71simWalkThrough, ARestartFindsNothingLeftPending)
{
    Simulation s;
    const sim::DefaultNodes n = sim::BuildDefaultMachine(s.machine);
    s.machine.storage.volumes.at('G').open_files = 1;
    std::string error;
    ASSERT_TRUE(s.Start(error)) << error;
    std::vector<px71sim::ScriptRequest> script;
    EXPECT_FALSE(px71sim::ParseScript("restart Bus=6\n", script, error));
    EXPECT_NE(error.find("1:9: restart takes nothing"), std::string::npos) << error;
    const std::string disable = "set-status Bus=6 StateChange=2 LinkEnable=1 CheckVolumes=0\n";
    ASSERT_TRUE(px71sim::ParseScript(disable + "restart\n", script, error)) << error;
    ASSERT_EQ(script[1].step, px71sim::ScriptRequest::Step::kRestart);
    std::ostringstream out;
    ASSERT_TRUE(px71sim::RunScript(s, script, out));
    EXPECT_NE(out.str().find("Result 0"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("the machine restarted; PX71Service is running again"), std::string::npos);
    for (DEVINST id : s.machine.tree.order()) EXPECT_NE(s.machine.tree.node(id).problem, static_cast<ULONG>(CM_PROB_DISABLED)) << id;

    ASSERT_TRUE(px71sim::ParseScript(disable, script, error)) << error;
    std::ostringstream again;
    ASSERT_TRUE(px71sim::RunScript(s, script, again));
    EXPECT_NE(again.str().find("Result 1"), std::string::npos) << again.str();
    EXPECT_EQ(s.machine.tree.node(n.slot_bridge).problem, static_cast<ULONG>(CM_PROB_DISABLED));
    EXPECT_FALSE(s.machine.tree.node(n.reader_disk[1]).present);
}

std::string Hardware(const sim::Machine& m, DEVINST id)
{
    auto ids = m.tree.MultiSz(id, CM_DRP_HARDWAREID);
    return ids && !ids->empty() ? sim::Narrow((*ids)[0]) : std::string();
}

// Two adapters, no card reader, a USB card that vetoes its removal.
TEST(Px71simOtherMachine, TwoAdaptersNoReaderAndAVetoingCard)
{
    Simulation s;
    std::string error;
    ASSERT_TRUE(sim::LoadMachine(s.machine, FileText(kTwoAdapters), error)) << error;
    ASSERT_TRUE(s.Start(error)) << error;
    std::ostringstream out;
    WalkThrough walk(s, out);
    ASSERT_TRUE(walk.RunAll()) << out.str();

    // Both root ports got PX711; no reader medium was ejected, nothing else went away.
    int root_ports = 0;
    for (DEVINST id : s.machine.tree.order())
        if (Hardware(s.machine, id).rfind("PCI\\VEN_8086&DEV_1C1", 0) == 0) {
            EXPECT_EQ(Filters(s.machine, id), sim::WideList{u"PX711"});
            ++root_ports;
        }
    EXPECT_EQ(root_ports, 2);
    for (const auto& [number, disk] : s.machine.storage.disks) EXPECT_TRUE(disk.medium) << number;
    EXPECT_EQ(s.machine.slots.size(), 2u);
    for (const auto& slot : s.machine.slots) {
        EXPECT_EQ(s.machine.dump.Read(slot.bus, 0x50) & sim::kLinkDisable, 0u) << unsigned(slot.bus);
        EXPECT_TRUE(s.machine.tree.node(slot.card).present) << unsigned(slot.bus);
    }
    // The walk-through said what it found.
    EXPECT_NE(out.str().find("2 adapters handled"), std::string::npos);
    EXPECT_NE(out.str().find("nothing to eject"), std::string::npos);

    // The vetoing card stays; the same card on the other adapter goes.
    std::vector<px71sim::ScriptRequest> script;
    ASSERT_TRUE(px71sim::ParseScript("stop-ehci-card ControllerIndex=0 CardIndex=0\n"
                                     "stop-ehci-card ControllerIndex=1 CardIndex=0\n",
                                     script, error))
        << error;
    std::ostringstream script_out;
    ASSERT_TRUE(px71sim::RunScript(s, script, script_out));
    EXPECT_EQ(EhciName(0, 0), std::make_pair(1, std::string("USB Ethernet Adapter")));
    EXPECT_EQ(EhciName(1, 0).first, 0);
    EXPECT_NE(script_out.str().find("Result 0"), std::string::npos);
}

// A switch of the board's between the root port and the adapter: the positions would
// name the switch's ports (one leads to a network card), so nothing is written and the
// device check finds none of the adapter's places.
TEST(Px71simOtherMachine, ABoardSwitchBeforeTheAdapterGetsNoFilters)
{
    Simulation s;
    std::string error;
    ASSERT_TRUE(sim::LoadMachine(s.machine, FileText(kBoardSwitch), error)) << error;
    ASSERT_TRUE(s.Start(error)) << error;
    EXPECT_EQ(XU_AddFilter(), -1);
    EXPECT_EQ(XU_CheckDevice(), 0);
    EXPECT_EQ(XU_DoesExistNoFilterRootPort(), 1);
    for (DEVINST id : s.machine.tree.order())
        EXPECT_FALSE(s.machine.tree.MultiSz(id, CM_DRP_UPPERFILTERS).has_value()) << Hardware(s.machine, id);
}

TEST(Px71simProgram, OtherMachineRunsFromTheCommandLine)
{
    const Ran r = RunPx71sim({"--machine", kTwoAdapters});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("slot 1, bus 22: a card is in the slot"), std::string::npos) << r.out;
}

// Bad input: the message names the place and the exit code says what kind of fault it is.
TEST(Px71simProgram, RefusalsNameThePlace)
{
    const std::string bad_json = TempFile("bad.json", "{\n  \"devices\": [\n    {\"bus\": 1,}\n  ]\n}\n");
    const std::string wrong_json = TempFile("wrong.json", "{\"devices\": [{\"bus\": \"six\"}]}");
    const std::string bad_command = TempFile("bad_command.txt", "check-device\n\n  eject-everything\n");
    const std::string bad_field = TempFile("bad_field.txt", "set-status Bus=6 CardIndex=1\n");
    const std::string bad_number = TempFile("bad_number.txt", "# switch\nset-status Bus=256\n");
    const std::string open_quote = TempFile("open_quote.txt", "write-log LogTitle=\"no end\n");
    const std::string long_title = TempFile("long_title.txt", "write-log LogTitle=" + std::string(200, 'x') + "\n");
    const std::string raw_bare = TempFile("raw_bare.txt", "raw Result=1\n");
    const std::string bad_wait = TempFile("bad_wait.txt", "insert 6\nwait 0\n");
    const std::string bare_pull = TempFile("bare_pull.txt", "pull\n");
    const std::string missing = ::testing::TempDir() + "px71sim_no_such_file.json";
    const struct {
        std::vector<std::string> args;
        int code;
        const char* message;
    } cases[] = {
        {{"--machine", bad_json}, 1, "bad.json: line 3, column 15: syntax error"},
        {{"--machine", wrong_json}, 1, "devices[0].bus: expected a number"},
        {{"--machine", missing}, 1, "px71sim_no_such_file.json: No such file"},
        {{"--script", bad_command}, 1, "bad_command.txt:3:3: unknown command \"eject-everything\""},
        {{"--script", bad_field}, 1, "bad_field.txt:1:18: set-status takes no field CardIndex"},
        {{"--script", bad_number}, 1, "bad_number.txt:2:12: Bus takes a number from 0 to 255"},
        {{"--script", open_quote}, 1, "open_quote.txt:1:20: the quote opened here is not closed"},
        {{"--script", long_title}, 1, "long_title.txt:1:11: LogTitle holds at most 199 bytes"},
        {{"--script", raw_bare}, 1, "raw_bare.txt:1:1: raw needs Command=N"},
        {{"--script", bad_wait}, 1, "bad_wait.txt:2:6: wait takes milliseconds from 1 to 86400000, not \"0\""},
        {{"--script", bare_pull}, 1, "bare_pull.txt:1:1: pull takes a bus from 0 to 255"},
        {{"--machine"}, 2, "--machine needs a file name"},
        {{"--caller"}, 2, "--caller needs user or admin"},
        {{"--caller", "root"}, 2, "--caller takes user or admin, not 'root'"},
        {{"--dump", "a", "--dump", "b"}, 2, "--dump given twice"},
        {{"--colour"}, 2, "unknown argument '--colour'"},
    };
    for (const auto& c : cases) {
        const Ran r = RunPx71sim(c.args);
        EXPECT_EQ(r.code, c.code) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_NE(r.err.find(c.message), std::string::npos) << "got: " << r.err;
        EXPECT_EQ(r.out.find("PX71Service is running"), std::string::npos) << "booted despite bad input";
    }
}

TEST(Px71simProgram, ScriptSendsWhatItSays)
{
    std::vector<px71sim::ScriptRequest> script;
    std::string error;
    // A bad value refuses the whole script, at its place.
    EXPECT_FALSE(px71sim::ParseScript("check-device\nraw Command=16 Result=-0\n", script, error));
    EXPECT_NE(error.find("2:16: Result takes a number"), std::string::npos) << error;

    ASSERT_TRUE(px71sim::ParseScript("set-status Bus=0x16 StateChange=3 LinkEnable=1 CheckVolumes=0\n"
                                     "write-log LogTitle=\"a \\\"quoted\\\" title\"   # and a comment\n"
                                     "ehci-card-name ControllerIndex=1 CardIndex=2\n"
                                     "3132-card-name CardNameSize=9\n"
                                     "raw Command=16 Result=7 EndAdrs=4294967295\n",
                                     script, error))
        << error;
    ASSERT_EQ(script.size(), 5u);
    EXPECT_EQ(script[0].request.Command, 2u);
    const std::uint8_t args[4] = {0x16, 3, 1, 0};
    EXPECT_EQ(std::memcmp(script[0].request.SetStatusArgs, args, 4), 0);
    EXPECT_STREQ(script[1].request.LogTitle, "a \"quoted\" title");
    EXPECT_EQ(script[2].request.Command, 11u);
    EXPECT_EQ(script[2].request.ControllerIndex, 1u);
    EXPECT_EQ(script[2].request.CardIndex, 2u);
    EXPECT_EQ(script[2].request.CardNameSize, 128u);
    EXPECT_EQ(script[3].request.Command, 13u);
    EXPECT_EQ(script[3].request.CardNameSize, 9u);
    EXPECT_EQ(script[4].request.Command, 16u);
    EXPECT_EQ(script[4].request.Result, 7);
    EXPECT_EQ(script[4].request.EndAdrs, 0xFFFFFFFFu);
    EXPECT_EQ(script[4].line, 5);
}

// Both sides of the caller rule from the command line: with a file open on the reader,
// a plain user's unchecked link-off answers 0; an administrator's goes through.
TEST(Px71simProgram, TheCallerDecidesWhetherTheVolumeCheckRuns)
{
    const std::string dump = ::testing::TempDir() + "px71sim_caller_machine.json";
    const Ran plain = RunPx71sim({"--script", "/dev/null", "--dump", dump});
    ASSERT_EQ(plain.code, 0) << plain.err;
    auto machine = nlohmann::json::parse(FileText(dump));
    for (auto& v : machine["volumes"])
        if (v["letter"] == "G") v["open_files"] = 1;
    const std::string busy = TempFile("caller_machine.json", machine.dump());
    const std::string script = TempFile("caller.txt", "set-status Bus=6 StateChange=0 LinkEnable=0 CheckVolumes=0\n");
    for (const auto& [who, result] : {std::pair{"user", "Result 0"}, std::pair{"admin", "Result 1"}}) {
        const Ran r = RunPx71sim({"--caller", who, "--machine", busy, "--script", script});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find(result), std::string::npos) << who << ": " << r.out;
    }
}

// Two runs of the same session on the same machine write the same bytes.
TEST(Px71simProgram, DumpIsStableAndShowsTheSession)
{
    const std::string first = ::testing::TempDir() + "px71sim_dump1.json";
    const std::string second = ::testing::TempDir() + "px71sim_dump2.json";
    for (const std::string& path : {first, second}) {
        const Ran r = RunPx71sim({"--dump", path});
        ASSERT_EQ(r.code, 0) << r.err;
    }
    const std::string a = FileText(first), b = FileText(second);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, b);

    const auto doc = nlohmann::json::parse(a);
    bool sd_out = false;
    std::function<void(const nlohmann::json&)> visit = [&](const nlohmann::json& d) {
        if (d.contains("disk") && d["disk"]["product_id"] == "ZEK-PX71    SD  ") sd_out = d["disk"]["medium"] == false;
        if (d.contains("children"))
            for (const auto& c : d["children"]) visit(c);
    };
    for (const auto& d : doc["devices"]) visit(d);
    EXPECT_TRUE(sd_out);
    EXPECT_EQ(doc["registry"]["HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711"]["PortLen"], 0x02000000);

    // The dump loads again as a machine, and a script runs on it.
    const std::string script = TempFile("dump_script.txt", "ehci-card-name CardIndex=1\n");
    const Ran again = RunPx71sim({"--machine", first, "--script", script});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_NE(again.out.find("CardName \"ZEK-PX71    CF\""), std::string::npos) << again.out;
}

// A card put into an empty slot appears by itself while the machine's time passes, and
// goes when pulled; the session reads the same every time.
TEST(Px71simProgram, ACardPutInAppearsAndAPulledOneGoes)
{
    const std::string script = TempFile("arrive.txt", "insert 6\nwait 3000\n3132-card-name ControllerIndex=1\n"
                                                      "pull 6\nwait 3000\nget-slot\n");
    const Ran r = RunPx71sim({"--machine", kCardOut, "--script", script});
    ASSERT_EQ(r.code, 0) << r.err;
    const char* expected[] = {
        "the card in the slot on bus 6: \"Silicon Image SiI 3132 eSATA ExpressCard\" in the slot, not in the device tree",
        "PX71.LOG: ExpressCard put in on bus 6: Silicon Image SiI 3132 eSATA ExpressCard (status 0xa, problem 0)",
        "the card in the slot on bus 6: \"Silicon Image SiI 3132 eSATA ExpressCard\" present",
        "CardName \"WDC WD10JMVW External\"",
        "the card in the slot on bus 6: \"Silicon Image SiI 3132 eSATA ExpressCard\" pulled, still in the device tree",
        "PX71.LOG: ExpressCard pulled without being stopped on bus 6: Silicon Image SiI 3132 eSATA ExpressCard;",
        "the card in the slot on bus 6: none",
        "slot 0, bus 6: the slot is empty; the link is on; no card device in the tree",
    };
    std::size_t at = 0;
    for (const char* line : expected) {
        at = r.out.find(line, at);
        ASSERT_NE(at, std::string::npos) << "missing, in this order: " << line << "\n" << r.out;
    }
    EXPECT_EQ(RunPx71sim({"--machine", kCardOut, "--script", script}).out, r.out);
}

// With a slot whose card is out: put in, it comes with its link on; a link off with the
// check while a file is open on a volume of the card's disk that has only a mount folder
// is refused and leaves the link on and the disk in place; without the file, the same
// request switches the link off and the card's nodes go.
TEST(Px71simProgram, LinkOffWaitsForTheFileInTheFolder)
{
    const std::string script =
        TempFile("link_off.txt", "insert 6\nwait 3000\nset-status Bus=6 StateChange=0 LinkEnable=0 CheckVolumes=1\n");
    for (const bool open : {true, false}) {
        SCOPED_TRACE(open ? "a file open" : "nothing open");
        auto machine = nlohmann::json::parse(FileText(kCardOut));
        for (auto& v : machine["volumes"])
            if (v.contains("mount")) v["open_files"] = open ? 1 : 0;
        const std::string file = TempFile("card_out.json", machine.dump(2));
        const std::string dump = ::testing::TempDir() + "px71sim_link_off.json";
        const Ran r = RunPx71sim({"--machine", file, "--script", script, "--dump", dump});
        ASSERT_EQ(r.code, 0) << r.err;
        const auto after = nlohmann::json::parse(FileText(dump));
        const std::string link = after["dump_driver"]["buses"]["6"]["registers"]["0x50"];
        EXPECT_EQ(link, open ? "0x10110000" : "0x10110010") << "Link Disable";
        bool disk = false;
        std::function<void(const nlohmann::json&)> visit = [&](const nlohmann::json& d) {
            if (d.contains("disk") && d["disk"]["number"] == 9) disk = d["present"];
            if (d.contains("children"))
                for (const auto& c : d["children"]) visit(c);
        };
        for (const auto& d : after["devices"]) visit(d);
        EXPECT_EQ(disk, open);
        EXPECT_EQ(r.out.find("PX71.LOG: Link off refused (veto type 5): STORAGE\\Volume\\Disk9#Partition1") !=
                      std::string::npos,
                  open)
            << r.out;
        EXPECT_FALSE(after.contains("surprise_removals")) << "nothing was cut";
    }
}

} // namespace
