// The slot watch of PX71Service on the simulated machine, on virtual time: cards put in
// and pulled at moments of the machine's clock while the service runs, what the watch
// does about them, and what it costs while nothing happens.
#include "client/pipe_client.h"
#include "service/service_host.h"
#include "sim/files.h"
#include "sim/processes.h"
#include "sim/slot.h"
#include "support/machine_test.h"

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>

namespace {

constexpr std::uint8_t kSlot = sim::kDefaultSlotBus;
constexpr DWORD kReadConfig = 0x9C40243C;

class SlotWatchTest : public px71test::MachineTest {
protected:
    sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);
    std::thread service;
    std::optional<sim::TakePart> part;

    void SetUp() override
    {
        machine.SetVirtualTime(true);
        part.emplace(machine, true);  // this thread drives the machine: its clock stands while it runs
    }
    void Start()
    {
        sim::LaunchService(machine, u"PX71Service");
        service = std::thread([] { px71service::RunServiceProcess(); });
        ASSERT_TRUE(sim::WaitForServiceState(machine, SERVICE_RUNNING, 5000));
    }
    void TearDown() override
    {
        if (service.joinable()) {
            EXPECT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
            service.join();
        }
        part.reset();
        MachineTest::TearDown();
    }
    // Lets the machine's time pass while the service runs.
    void Pass(DWORD ms)
    {
        std::unique_lock lock(machine.mutex);
        sim::WaitUntil(machine, lock, ms, [] { return false; });
    }
    void Card(bool in)
    {
        std::lock_guard lock(machine.mutex);
        sim::SetCardInserted(machine, kSlot, in);
    }
    // The slot starts empty, as Windows knows it.
    void Empty()
    {
        sim::SetCardInserted(machine, kSlot, false);
        sim::ReenumerateSlots(machine, nodes.slot_bridge);
        machine.surprise_removals.clear();  // the machine starts so
    }
    // A disk on the card, number 9.
    void CardDisk()
    {
        sim::NewDevice d;
        d.description = u"Card disk";
        sim::AddDisk(machine, machine.tree.Add(nodes.express_card, d), 9,
                     u"\\\\?\\scsi#disk&ven_card#6&1f&0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    }
    bool CardThere() { return machine.tree.node(nodes.express_card).present; }
    bool LinkOn() { return (machine.dump.Read(kSlot, 0x50) & sim::kLinkDisable) == 0; }
    std::string Log()
    {
        const auto log = machine.files().Read(machine.files().ProgramFolder() + u"PX71.LOG");
        return log ? std::string(log->begin(), log->end()) : std::string();
    }
    static std::size_t Count(const std::string& text, const std::string& what)
    {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    PipeRequest Ask(PipeRequest request)
    {
        PipeRequest reply{};
        EXPECT_EQ(px71client::Transact(request, reply, 5000).outcome, px71client::Outcome::kAnswered);
        return reply;
    }
    static PipeRequest LinkOff(DWORD state_change)
    {
        PipeRequest r{};
        r.Command = PX71_CMD_SET_STATUS;
        const BYTE args[4] = {kSlot, static_cast<BYTE>(state_change), 0, 1};  // link off, with the check
        std::memcpy(r.SetStatusArgs, args, 4);
        return r;
    }
};

// A card put in appears by itself, once its presence has held for a tick; a presence
// that bounces acts once, and one that does not hold acts not at all.
TEST_F(SlotWatchTest, ACardPutInAppearsAfterOneTickMore)
{
    Empty();
    Start();  // the watch ticks once a second from here
    Pass(500);
    Card(true);
    Pass(1000);  // one tick has seen it
    EXPECT_FALSE(CardThere()) << "nothing before the presence held";
    Pass(1000);  // the next one acts
    EXPECT_TRUE(CardThere());
    EXPECT_TRUE(LinkOn());
    EXPECT_NE(Log().find("\r\nExpressCard put in on bus 6: ExpressCard PCI Express to PCI Bridge (status 0xa, "
                         "problem 0)"),
              std::string::npos)
        << Log();

    // Out for a moment between two ticks that both see it in: nothing to do.
    Pass(400);
    Card(false);
    Pass(300);
    Card(true);
    Pass(3000);
    EXPECT_EQ(Count(Log(), "ExpressCard put in"), 1u);
    EXPECT_EQ(Count(Log(), "pulled"), 0u);
    EXPECT_TRUE(machine.surprise_removals.size() == 1u) << "the bounce itself cut the card";
}

TEST_F(SlotWatchTest, AStoppedCardStaysOffUntilPulledAndPutInAgain)
{
    Start();
    EXPECT_EQ(Ask(LinkOff(0)).Result, 1);
    EXPECT_FALSE(CardThere());
    Pass(5000);
    EXPECT_FALSE(LinkOn()) << "the card in the slot stays stopped";
    EXPECT_FALSE(CardThere());
    Card(false);
    Pass(3000);
    Card(true);
    Pass(3000);
    EXPECT_TRUE(CardThere());
    EXPECT_TRUE(LinkOn());
    EXPECT_EQ(Count(Log(), "pulled without being stopped"), 0u);
    EXPECT_TRUE(machine.surprise_removals.empty());
}

// Pulled without being stopped, with a file open on its disk: the file is lost (a
// surprise removal), the watch lets Windows see the card go and says so in PX71.LOG.
TEST_F(SlotWatchTest, APullUnderAnOpenFileIsLoggedAndTheDevicesGo)
{
    CardDisk();
    sim::AddVolume(machine, 'K', 9, 1'000'000).open_files = 1;
    Start();
    Card(false);
    Pass(3000);
    ASSERT_EQ(machine.surprise_removals.size(), 1u);
    EXPECT_EQ(machine.surprise_removals[0].open_files.at(0).volume, u"K:");
    EXPECT_FALSE(CardThere()) << "Windows was told";
    EXPECT_NE(Log().find("\r\nExpressCard pulled without being stopped on bus 6: ExpressCard PCI Express to PCI "
                         "Bridge; data being written to it may be lost"),
              std::string::npos)
        << Log();
}

// Through the service, a link off with the check: what holds the card keeps the link on.
TEST_F(SlotWatchTest, LinkOffIsRefusedWhilePlugAndPlayIsNot)
{
    CardDisk();
    sim::AddMountedVolume(machine, u"C:\\Mnt\\Card\\", 9, 2000).open_files = 1;
    Start();
    for (const DWORD change : {0u, static_cast<unsigned>(DICS_DISABLE)}) {
        SCOPED_TRACE(change);
        EXPECT_EQ(Ask(LinkOff(change)).Result, 0);
        EXPECT_TRUE(LinkOn());
        EXPECT_TRUE(CardThere());
        EXPECT_EQ(machine.tree.node(nodes.slot_bridge).pending, sim::Pending::kNone);
    }
    machine.storage.unlettered[0].open_files = 0;
    machine.storage.disk(9)->raw_handles = 1;
    EXPECT_EQ(Ask(LinkOff(0)).Result, 0);
    EXPECT_TRUE(LinkOn());
    EXPECT_EQ(Count(Log(), "Link off refused (veto type 5)"), 2u) << Log();
    EXPECT_TRUE(machine.surprise_removals.empty());
}

// A read that fails is no change: while the dump driver is gone the card stays as it
// is, and once the driver is back the slots are found again and a pull is seen.
TEST_F(SlotWatchTest, AFailedReadIsNoChangeAndTheSlotIsFoundAgain)
{
    Start();
    PipeRequest restart{};
    restart.Command = PX71_CMD_RESET_PCI_BRIDGE;
    Ask(restart);  // the slots are looked for again at the next tick, and stay as they were
    Pass(3000);
    EXPECT_TRUE(CardThere());
    {
        std::lock_guard lock(machine.mutex);
        machine.dump.installed = false;
    }
    Pass(10000);
    EXPECT_TRUE(CardThere());
    EXPECT_EQ(Count(Log(), "ExpressCard"), 0u) << Log();
    {
        std::lock_guard lock(machine.mutex);
        machine.dump.installed = true;
    }
    Card(false);
    Pass(20000);  // within the longest wait before the slots are looked for again
    EXPECT_FALSE(CardThere());
    EXPECT_EQ(Count(Log(), "pulled without being stopped"), 1u) << Log();
}

// What the watch costs while nothing happens: one configuration read per slot per second
// and the wait that ends on the tick; switched off, nothing at all.
TEST_F(SlotWatchTest, AnIdleMinuteCostsOneReadASecondAndNothingWhenSwitchedOff)
{
    const std::u16string parameters = u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX71Service\\Parameters";
    for (const bool watching : {true, false}) {
        SCOPED_TRACE(watching);
        // A value that is no REG_DWORD leaves the watch on, as no value does.
        if (watching) machine.registry.SetString(parameters, u"WatchSlot", u"0");
        if (!watching) px71test::WithoutSlotWatch(machine);
        Start();
        Pass(1);  // the service has come to its wait for a client
        machine.ClearCalls();
        Pass(60000);
        std::map<std::string, std::size_t> calls;
        std::size_t reads = 0;
        for (const auto& c : machine.calls()) {
            ++calls[c.function];
            if (c.function == "DeviceIoControl" && c.args[1] == kReadConfig) ++reads;
        }
        const std::map<std::string, std::size_t> expected =
            watching ? std::map<std::string, std::size_t>{{"CloseHandle", 60}, {"CreateFileW", 60},
                                                          {"DeviceIoControl", 60}, {"WaitForMultipleObjects", 60}}
                     : std::map<std::string, std::size_t>{};
        EXPECT_EQ(calls, expected);
        EXPECT_EQ(reads, watching ? 60u : 0u);
        EXPECT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
        service.join();
    }
}

} // namespace
