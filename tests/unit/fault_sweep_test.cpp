// Every export of the library and the service's serving loop with each API call they
// make failed in turn: every result stays one the export documents, nothing is left
// open, and the service goes on serving. The number of faults each survived is
// printed and kept as a test property.
#include "library/device_tree.h"
#include "tests/support/numbered_request.h"
#include "library/px71.h"
#include "service/service_host.h"
#include "sim/processes.h"
#include "support/machine_test.h"
#include "client/pipe_client.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <thread>

namespace {

struct Export {
    const char* name;
    std::function<int()> call;
    std::function<bool(int)> documented;  // results the export may give at all
};

void PrintTo(const Export& e, std::ostream* os) { *os << e.name; }

bool ZeroOrOne(int r) { return r == 0 || r == 1; }

// Name buffers hold 64 characters; the size given is the whole buffer.
int Name(int (*function)(DWORD, DWORD, LPWSTR, DWORD), DWORD controller, DWORD card)
{
    WCHAR name[64];
    std::memset(name, 0x5A, sizeof name);
    const int result = function(controller, card, name, 64);
    // The first character is cleared on entry, so a name is always a string or empty.
    if (name[0] == 0x5A5A) return -100;
    return result;
}

const Export kExports[] = {
    {"GetDeviceRegistryProperty",
     [] {
         px71::UniqueDevInfo set = px71::PresentPciDevices();
         int matched = 0;
         px71::ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& element) {
             BYTE buffer[64];
             matched += GetDeviceRegistryProperty(set.get(), &element, SPDRP_HARDWAREID, u"PCI\\VEN_1217", buffer,
                                                  sizeof buffer);
             return px71::Walk::Next;
         });
         return matched;
     },
     [](int r) { return r >= 0 && r <= 5; }},  // five O2Micro functions on the default machine
    {"GetDevNodeRegistryProperty",
     [] {
         px71::UniqueDevInfo set = px71::PresentPciDevices();
         int matched = 0;
         px71::ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& element) {
             const DWORD bus = sim::kDefaultSlotBus;
             matched += GetDevNodeRegistryProperty(element.DevInst, CM_DRP_BUSNUMBER, &bus, nullptr, 0);
             return px71::Walk::Next;
         });
         return matched;
     },
     [](int r) { return r >= 0 && r <= 3; }},  // the slot bridge, OHCI and EHCI functions
    {"XU_ReadPCI",
     [] {
         DWORD value = 0xAAAAAAAA;
         const int read = XU_ReadPCI(sim::kDefaultSlotBus, 0, &value);
         if (read) return value == 0x02E31217 ? 1 : -1;
         return value == 0xAAAAAAAA || value == 0xFFFFFFFF ? 0 : -2;
     },
     [](int r) { return r == 0 || r == 1; }},
    {"XU_WritePCI", [] { return XU_WritePCI(sim::kDefaultSlotBus, 0x50, 0x10) ? 1 : 0; }, ZeroOrOne},
    {"XU_GetStatus",
     [] {
         int card = -1;
         const int result = XU_GetStatus(sim::kDefaultSlotBus, &card);
         return card == 0 || card == 1 ? result : -1;
     },
     ZeroOrOne},
    {"XU_GetCardInfo",
     [] {
         WCHAR description[64];
         DWORD status = 0, problem = 0;
         return XU_GetCardInfo(sim::kDefaultSlotBus, description, sizeof description, &status, &problem);
     },
     ZeroOrOne},
    {"XU_SetStatus", [] { return XU_SetStatus(sim::kDefaultSlotBus, 0, 1, 1); }, ZeroOrOne},
    {"XU_ResetPCIBridge", [] { return XU_ResetPCIBridge(0) + XU_ResetPCIBridge(1); }, [](int r) { return r == 0; }},
    {"XU_CheckDevice", [] { return XU_CheckDevice(); }, [](int r) { return (r & ~0x1F) == 0; }},
    // The add and delete functions count devices handled, or failed ones negatively.
    {"XU_AddFilter", [] { return XU_AddFilter(); }, [](int r) { return r >= -20 && r <= 20; }},
    {"XU_DelFilter", [] { return XU_DelFilter(); }, [](int r) { return r >= -20 && r <= 20; }},
    {"XU_DoesExistNoFilterRootPort", [] { return XU_DoesExistNoFilterRootPort(); }, ZeroOrOne},
    {"XU_AddFilter_OLD", [] { return XU_AddFilter_OLD(); }, [](int r) { return r >= -20 && r <= 20; }},
    {"XU_DelFilter_OLD", [] { return XU_DelFilter_OLD(); }, [](int r) { return r >= -20 && r <= 20; }},
    {"XU_DoesExistNoFilterRootPort_OLD", [] { return XU_DoesExistNoFilterRootPort_OLD(); }, ZeroOrOne},
    {"XU_SetSize", [] { return XU_SetSize(1, 2, 3); }, ZeroOrOne},
    {"XU_SetSize_Pro", [] { return XU_SetSize_Pro(1, 2, 3, 4, 5, 6, 7); }, ZeroOrOne},
    {"XU_SetSize_Pro2", [] { return XU_SetSize_Pro2(1, 2, 3, 4, 5, 6, 7, 8, 9, 10); }, ZeroOrOne},
    {"XU_SetSize_Pro2_DEF", [] { return XU_SetSize_Pro2_DEF(1, 2, 3, 4, 5, 6, 7, 8); }, ZeroOrOne},
    {"XU_GetCardBusCardName", [] { return Name(XU_GetCardBusCardName, 0, 0); }, ZeroOrOne},
    {"XU_GetEhciExpressCardName", [] { return Name(XU_GetEhciExpressCardName, 0, 1); },
     [](int r) { return r >= 0 && r <= 3; }},
    {"XU_GetOhciExpressCardName", [] { return Name(XU_GetOhciExpressCardName, 0, 0); }, ZeroOrOne},
    {"XU_Get3132CardName", [] { return Name(XU_Get3132CardName, 0, 1); }, [](int r) { return r >= 0 && r <= 2; }},
    {"XU_StopCardBusCard", [] { return XU_StopCardBusCard(0, 0); }, ZeroOrOne},
    {"XU_StopEhciExpressCard", [] { return XU_StopEhciExpressCard(0, 2); }, ZeroOrOne},
    {"XU_StopOhciExpressCard", [] { return XU_StopOhciExpressCard(0, 0); }, ZeroOrOne},
    {"XU_Stop3132Card", [] { return XU_Stop3132Card(0, 1); }, ZeroOrOne},
    {"WriteLogFile", [] { return WriteLogFile(u"a record") ? 1 : 0; }, ZeroOrOne},
    {"XU_WriteLog", [] { return XU_WriteLog("Report"); }, ZeroOrOne},
};

// Faults survived, by export or service case; printed once at the end.
std::map<std::string, int>& Tally()
{
    static std::map<std::string, int> tally;
    return tally;
}

class FaultTally : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (Tally().empty()) return;
        int total = 0;
        std::printf("Injected faults survived:\n");
        for (const auto& [name, faults] : Tally()) {
            std::printf("  %-36s %6d\n", name.c_str(), faults);
            total += faults;
        }
        std::printf("  %-36s %6d\n", "total", total);
    }
};
const auto* const kTally = ::testing::AddGlobalTestEnvironment(new FaultTally);

class ExportSweep : public ::testing::TestWithParam<Export> {};

TEST_P(ExportSweep, EveryCallFailedInTurnGivesADocumentedResultAndLeavesNothingOpen)
{
    const Export& e = GetParam();
    const int faults = px71test::SweepFaults<int>(
        [](sim::Machine& m) { sim::BuildDefaultMachine(m); }, e.call,
        [&](int result, sim::Machine&, std::size_t n) {
            EXPECT_TRUE(e.documented(result)) << e.name << " gave " << result << " with call " << n << " failed";
        });
    // The fault-free run counts too, and must itself give a documented result.
    {
        sim::Machine machine;
        sim::BuildDefaultMachine(machine);
        sim::ActiveMachine active(machine);
        EXPECT_TRUE(e.documented(e.call())) << e.name;
    }
    EXPECT_GT(faults, 0) << e.name << " made no API call";
    Tally()[e.name] = faults;
    ::testing::Test::RecordProperty("faults", faults);
}

INSTANTIATE_TEST_SUITE_P(Exports, ExportSweep, ::testing::ValuesIn(kExports),
                         [](const ::testing::TestParamInfo<Export>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the service loop
const char16_t kPipe[] = u"\\\\.\\pipe\\PX71Service";
const char16_t kEvent[] = u"Global\\PX71Service";

// The service running on a machine of its own, stopped at the end.
class RunningService {
public:
    explicit RunningService(sim::Machine& machine) : machine_(machine)
    {
        sim::LaunchService(machine_, u"PX71Service");
        process_ = std::thread([this] { exit_code_ = px71service::RunServiceProcess(); });
        running_ = sim::WaitForServiceState(machine_, SERVICE_RUNNING, 5000);
    }
    ~RunningService() { Stop(); }
    bool running() const { return running_; }
    int Stop()
    {
        if (process_.joinable()) {
            if (!sim::SendControl(machine_, SERVICE_CONTROL_STOP, 10000)) sim::AbandonService(machine_);
            process_.join();
        }
        return exit_code_;
    }

private:
    sim::Machine& machine_;
    std::thread process_;
    int exit_code_ = -1;
    bool running_ = false;
};

// After whatever went before, the service answers a well-behaved client in full.
::testing::AssertionResult StillServes(std::uint32_t n)
{
    const PipeRequest request = NumberedRequest(n);
    PipeRequest reply{};
    const px71client::Answer answer = px71client::Transact(request, reply, 5000);
    if (answer.outcome != px71client::Outcome::kAnswered)
        return ::testing::AssertionFailure() << "no answer: " << px71client::Describe(answer.outcome);
    if (!EchoOf(request, reply)) return ::testing::AssertionFailure() << "the reply is not the request's";
    return ::testing::AssertionSuccess();
}

// The serving loop's wait for a client: its thread's (the one that connects the pipe)
// only wait without a time-out.
bool IsClientWait(const sim::CallRecord& c, std::thread::id loop)
{
    return c.thread == loop && c.function == "WaitForMultipleObjects" && c.args.size() == 3 && c.args[2] == INFINITE;
}

std::thread::id LoopThread(const sim::Machine& machine)
{
    for (const auto& c : machine.calls())
        if (c.function == "ConnectNamedPipe") return c.thread;
    return {};
}

// The serving loop has finished with the last client once it waits for the next one.
bool BackToConnect(const sim::Machine& machine)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        bool connecting = false;
        const std::thread::id loop = LoopThread(machine);
        for (const auto& c : machine.calls()) {
            if (c.function == "ConnectNamedPipe") connecting = true;
            if (connecting && IsClientWait(c, loop)) return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The serving loop's wait for a client failed, or its thread could not stop acting as
// the client it identified: by design the service then stops with that error rather
// than run on without hearing anyone, or as someone else.
bool ServiceMustStop(const sim::Machine& machine)
{
    const std::thread::id loop = LoopThread(machine);
    for (const auto& c : machine.calls())
        if (c.failed && (IsClientWait(c, loop) || c.function == "RevertToSelf")) return true;
    return false;
}

// A plain user's request of a command the administrator closed, the bridge reset: the
// service reads its policy and identifies the caller before it refuses, so those calls
// are swept too; and should the refusal fail, the reset leaves Result as sent, so the
// reply is still the request's.
constexpr std::uint32_t kClosedCommand = 5;

void CloseToUsers(sim::Machine& machine)
{
    machine.registry.SetValue(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX71Service\\Parameters",
                              u"AdminOnlyCommands", REG_DWORD, sim::DwordBytes(1u << kClosedCommand));
}

PipeRequest ClosedRequest()
{
    PipeRequest request = NumberedRequest(2);
    request.Command = kClosedCommand;
    return request;
}

// One side of the conversation at a time: the client's calls (made on this thread) or
// the service's (every other thread), so that which call fails does not depend on how
// the two sides' calls interleave.
TEST(ServiceSweep, EachCallOfAServedRequestFailedInTurn)
{
    const std::thread::id client = std::this_thread::get_id();
    sim::CallerAccount user(sim::Account::kUser);
    // The calls one request costs, by side and function.
    std::map<std::pair<bool, std::string>, std::size_t> counts;  // (service side, function)
    {
        sim::Machine machine;
        sim::ActiveMachine active(machine);
        CloseToUsers(machine);
        RunningService service(machine);
        ASSERT_TRUE(service.running());
        // The loop waits for a client before the count starts, as in every run below.
        ASSERT_TRUE(BackToConnect(machine));
        machine.ClearCalls();
        const PipeRequest request = ClosedRequest();
        PipeRequest reply{};
        ASSERT_EQ(px71client::Transact(request, reply, 5000).outcome, px71client::Outcome::kAnswered);
        ASSERT_TRUE(EchoOf(request, reply));
        ASSERT_EQ(reply.LastError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ASSERT_TRUE(BackToConnect(machine));
        for (const auto& c : machine.calls()) ++counts[{c.thread != client, c.function}];
        service.Stop();
        EXPECT_TRUE(px71test::NothingOpen(machine));
    }
    ASSERT_FALSE(counts.empty());
    int faults = 0;
    int stops = 0;
    for (const auto& [key, count] : counts) {
        const auto& [service_side, function] = key;
        for (std::size_t nth = 1; nth <= count; ++nth) {
            SCOPED_TRACE(std::string(service_side ? "service: " : "client: ") + function + " #" + std::to_string(nth));
            sim::Machine machine;
            sim::ActiveMachine active(machine);
            CloseToUsers(machine);
            RunningService service(machine);
            ASSERT_TRUE(service.running());
            ASSERT_TRUE(BackToConnect(machine));
            machine.ClearCalls();
            sim::Fault fault{function, nth};
            fault.thread = client;
            fault.other_threads = service_side;
            machine.ArmFault(fault);
            // Whoever the failed call belonged to, the client hears an answer or a reason
            // within its time-out, and a reply it does get is its own.
            const PipeRequest request = ClosedRequest();
            PipeRequest reply{};
            const px71client::Answer answer = px71client::Transact(request, reply, 3000);
            if (answer.outcome == px71client::Outcome::kAnswered) {
                EXPECT_TRUE(EchoOf(request, reply));
            }
            // A client that never reached the pipe left the loop waiting where it was.
            const bool connected = answer.outcome != px71client::Outcome::kNoService &&
                                   answer.outcome != px71client::Outcome::kBusy &&
                                   answer.outcome != px71client::Outcome::kNoEvent;
            const bool must_stop = ServiceMustStop(machine);
            if (connected && !must_stop) {
                EXPECT_TRUE(BackToConnect(machine)) << "the serving loop did not come back";
            }
            // From here on nothing fails; whether the fault landed is settled.
            machine.ClearFaults();
            if (must_stop || ServiceMustStop(machine)) {
                EXPECT_TRUE(sim::WaitForServiceState(machine, SERVICE_STOPPED, 5000));
                const auto reports = sim::StatusReports(machine);
                ASSERT_FALSE(reports.empty());
                EXPECT_EQ(reports.back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
                EXPECT_EQ(reports.back().status.dwWin32ExitCode, static_cast<DWORD>(ERROR_GEN_FAILURE));
                ++stops;
            } else {
                EXPECT_TRUE(StillServes(3));
            }
            EXPECT_EQ(service.Stop(), 0);
            EXPECT_TRUE(px71test::NothingOpen(machine));
            ++faults;
        }
    }
    Tally()["service: a served request"] = faults;
    ::testing::Test::RecordProperty("faults", faults);
    ::testing::Test::RecordProperty("stops", stops);
}

// The service's own life, from the dispatcher's start to the stop, with each call of its
// threads failed in turn: it either stops by itself with the error or runs until told
// to stop; either way the program entry returns, the last report is SERVICE_STOPPED and
// nothing is left open.
TEST(ServiceSweep, EachCallOfTheStartAndTheStopFailedInTurn)
{
    const std::thread::id test = std::this_thread::get_id();
    std::map<std::string, std::size_t> counts;
    {
        sim::Machine machine;
        sim::ActiveMachine active(machine);
        {
            RunningService service(machine);
            ASSERT_TRUE(service.running());
            ASSERT_TRUE(BackToConnect(machine));  // the whole start, up to the wait for a client
            ASSERT_EQ(service.Stop(), 0);
        }
        for (const auto& c : machine.calls())
            if (c.thread != test) ++counts[c.function];
    }
    ASSERT_FALSE(counts.empty());
    int faults = 0;
    for (const auto& [function, count] : counts) {
        for (std::size_t nth = 1; nth <= count; ++nth) {
            SCOPED_TRACE("service: " + function + " #" + std::to_string(nth));
            sim::Machine machine;
            sim::ActiveMachine active(machine);
            sim::Fault fault{function, nth};
            fault.thread = test;
            fault.other_threads = true;
            machine.ArmFault(fault);
            std::atomic<int> exit_code{-1};
            sim::LaunchService(machine, u"PX71Service");
            std::thread process([&] { exit_code = px71service::RunServiceProcess(); });
            // Running, the start goes on to the wait for a client; then the stop.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (exit_code == -1 && !sim::WaitForServiceState(machine, SERVICE_RUNNING, 5) &&
                   std::chrono::steady_clock::now() < deadline) {
            }
            if (exit_code == -1) {
                BackToConnect(machine);
                // A stop whose signal was lost is given again, as an administrator would.
                for (int stops = 0; stops < 2 && exit_code == -1; ++stops) {
                    sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000);
                    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                    while (exit_code == -1 && std::chrono::steady_clock::now() < end)
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                EXPECT_NE(exit_code, -1) << "the service did not end after two stops";
            }
            if (exit_code == -1) sim::AbandonService(machine);
            process.join();
            EXPECT_EQ(exit_code, 0);
            const auto reports = sim::StatusReports(machine);
            if (!reports.empty()) {
                EXPECT_EQ(reports.back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
            }
            EXPECT_TRUE(px71test::NothingOpen(machine));
            ++faults;
        }
    }
    Tally()["service: its start and stop"] = faults;
    ::testing::Test::RecordProperty("faults", faults);
}

// Clients that go away at the worst moments: the service lets them go and serves the next.
TEST(ServiceSweep, ClientsThatDisconnectMidRequest)
{
    struct Case {
        const char* what;
        DWORD send;       // bytes of the request written before the client goes
        bool wait_event;  // waits for the service's signal first
        DWORD read;       // bytes of the reply read before it goes
    } cases[] = {
        {"mid-write of its request", 150, false, 0},
        {"after its request, before the event", 400, false, 0},
        {"after the event, before reading", 400, true, 0},
        {"mid-read of the reply", 400, true, 100},
    };
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    RunningService service(machine);
    ASSERT_TRUE(service.running());
    int faults = 0;
    std::uint32_t n = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, kEvent);
        ASSERT_NE(event, nullptr);
        HANDLE pipe = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 50 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
            pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (pipe == INVALID_HANDLE_VALUE) WaitNamedPipeW(kPipe, 100);
        }
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
        const PipeRequest request = NumberedRequest(n++);
        DWORD done = 0;
        EXPECT_TRUE(WriteFile(pipe, &request, c.send, &done, nullptr));
        if (c.wait_event) {
            EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
        }
        if (c.read) {
            PipeRequest reply{};
            EXPECT_TRUE(ReadFile(pipe, &reply, c.read, &done, nullptr));
        }
        CloseHandle(pipe);
        CloseHandle(event);
        EXPECT_TRUE(StillServes(n++));
        ++faults;
    }
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_TRUE(px71test::NothingOpen(machine));
    Tally()["service: clients that disconnect"] = faults;
    ::testing::Test::RecordProperty("faults", faults);
}

} // namespace
