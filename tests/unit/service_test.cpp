// PX71Service on the simulated machine: its status reports, its pipe, the protocol,
// and what it does with clients that misbehave.
#include "service/pipe_request.h"
#include "service/service_host.h"
#include "sim/identity.h"
#include "sim/named_pipe.h"
#include "sim/processes.h"
#include "tests/support/numbered_request.h"
#include "support/machine_test.h"
#include "client/pipe_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using px71test::MachineTest;
using Clock = std::chrono::steady_clock;

const char16_t kPipe[] = u"\\\\.\\pipe\\PX71Service";
const char16_t kEvent[] = u"Global\\PX71Service";
constexpr DWORD kAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

struct Expected {
    DWORD state, accepted, check_point, wait_hint;
};

// A stop that waits for a request moves STOP_PENDING's check point on; those later
// reports (check point 2, 3, ...) count as the first one, however many the wait took.
std::vector<sim::StatusReport> WithoutProgress(const std::vector<sim::StatusReport>& all)
{
    std::vector<sim::StatusReport> reports;
    for (const auto& r : all) {
        const bool progress = !reports.empty() && r.status.dwCurrentState == SERVICE_STOP_PENDING &&
                              reports.back().status.dwCurrentState == SERVICE_STOP_PENDING &&
                              r.status.dwCheckPoint > 1;
        if (!progress) reports.push_back(r);
    }
    return reports;
}

::testing::AssertionResult ReportsAre(const std::vector<sim::StatusReport>& all, std::vector<Expected> expected)
{
    const std::vector<sim::StatusReport> reports = WithoutProgress(all);
    if (reports.size() != expected.size())
        return ::testing::AssertionFailure() << reports.size() << " reports, expected " << expected.size();
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const auto& s = reports[i].status;
        const auto& e = expected[i];
        if (s.dwServiceType != SERVICE_WIN32_OWN_PROCESS || s.dwCurrentState != e.state ||
            s.dwControlsAccepted != e.accepted || s.dwCheckPoint != e.check_point || s.dwWaitHint != e.wait_hint ||
            s.dwServiceSpecificExitCode != 0)
            return ::testing::AssertionFailure()
                   << "report " << i << ": state " << s.dwCurrentState << " accepted " << s.dwControlsAccepted
                   << " check point " << s.dwCheckPoint << " wait hint " << s.dwWaitHint << ", expected state "
                   << e.state << " accepted " << e.accepted << " check point " << e.check_point << " wait hint "
                   << e.wait_hint;
    }
    return ::testing::AssertionSuccess();
}

const Expected kStartPending{SERVICE_START_PENDING, 0, 1, 3000};
const Expected kRunning{SERVICE_RUNNING, kAccepted, 0, 0};
const Expected kStopPending{SERVICE_STOP_PENDING, kAccepted, 1, 3000};
const Expected kStopped{SERVICE_STOPPED, kAccepted, 0, 0};

// A record whose every byte differs from its neighbours, so an echo shows any change.
PipeRequest Patterned(DWORD command)
{
    PipeRequest request;
    auto* bytes = reinterpret_cast<std::uint8_t*>(&request);
    for (std::size_t i = 0; i < sizeof request; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    request.Command = command;
    return request;
}

// A raw client, for the clients that do not follow the protocol.
struct RawClient {
    HANDLE event = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;

    explicit RawClient(bool with_event = true)
    {
        if (with_event) event = CreateEventW(nullptr, TRUE, FALSE, kEvent);
        // The service may still be closing the previous connection.
        for (int attempt = 0; attempt < 50 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
            pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(kPipe, 100);
        }
    }
    ~RawClient()
    {
        if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
        if (event) CloseHandle(event);
    }
    bool Send(const void* data, DWORD size)
    {
        DWORD written = 0;
        return WriteFile(pipe, data, size, &written, nullptr) && written == size;
    }
    // Reads until `size` bytes or the connection ends; returns the bytes read.
    DWORD Receive(void* data, DWORD size)
    {
        DWORD total = 0;
        while (total < size) {
            DWORD got = 0;
            if (!ReadFile(pipe, static_cast<BYTE*>(data) + total, size - total, &got, nullptr) || got == 0) break;
            total += got;
        }
        return total;
    }
    bool Signalled(DWORD ms) { return WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }
    // The command has run; the reply waits to be read.
    void SendAndAwaitTheSignal(const PipeRequest& request)
    {
        ASSERT_TRUE(Send(&request, sizeof request));
        ASSERT_TRUE(Signalled(5000));
    }
};

class ServiceTest : public MachineTest {
protected:
    std::thread process;
    int exit_code = -1;

    void Start(bool wait_running = true)
    {
        px71test::WithoutSlotWatch(machine);
        sim::LaunchService(machine, u"PX71Service");
        process = std::thread([this] { exit_code = px71service::RunServiceProcess(); });
        if (wait_running) {
            ASSERT_TRUE(sim::WaitForServiceState(machine, SERVICE_RUNNING, 5000));
        }
    }
    // Waits for the program entry to return (the process would end there).
    bool Ended(DWORD ms = 5000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < deadline) {
            if (sim::WaitForServiceState(machine, SERVICE_STOPPED, 10) && exit_code != -1) break;
            if (exit_code != -1) break;
        }
        if (process.joinable()) process.join();
        return exit_code != -1;
    }
    void Stop()
    {
        sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000);
        EXPECT_TRUE(Ended());
    }
    void TearDown() override
    {
        if (process.joinable()) Stop();
        MachineTest::TearDown();
    }
    px71client::Answer Ask(const PipeRequest& request, PipeRequest& reply, DWORD timeout = 5000)
    {
        return px71client::Transact(request, reply, timeout);
    }
};

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// ---------------------------------------------------------------- start, stop, controls
TEST_F(ServiceTest, StartsThenStopsOrShutsDownWithTheReportsOfEach)
{
    for (DWORD control : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
        SCOPED_TRACE(control);
        sim::Machine fresh;
        sim::ActiveMachine active(fresh);
        sim::LaunchService(fresh, u"PX71Service");
        int code = -1;
        std::thread entry([&] { code = px71service::RunServiceProcess(); });
        ASSERT_TRUE(sim::WaitForServiceState(fresh, SERVICE_RUNNING, 5000));
        EXPECT_TRUE(ReportsAre(sim::StatusReports(fresh), {kStartPending, kRunning}));
        ASSERT_NE(sim::FindPipe(fresh, kPipe), nullptr);

        auto start = Clock::now();
        EXPECT_TRUE(sim::SendControl(fresh, control, 5000));
        entry.join();
        EXPECT_LT(SecondsSince(start), 2.0);  // waiting for a client: at once, not after a time-out
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(ReportsAre(sim::StatusReports(fresh), {kStartPending, kRunning, kStopPending, kStopped}));
        EXPECT_EQ(sim::StatusReports(fresh).back().status.dwWin32ExitCode, 0u);
        EXPECT_EQ(sim::FindPipe(fresh, kPipe), nullptr);
        EXPECT_TRUE(px71test::NothingOpen(fresh));
    }
}

TEST_F(ServiceTest, OtherControlsReportTheCurrentStateAndPauseIsNeverAccepted)
{
    Start();
    for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{SERVICE_CONTROL_PAUSE}, DWORD{SERVICE_CONTROL_CONTINUE}, DWORD{200}}) {
        SCOPED_TRACE(control);
        ASSERT_TRUE(sim::SendControl(machine, control, 5000));
        auto reports = sim::StatusReports(machine);
        ASSERT_TRUE(ReportsAre({reports.back()}, {kRunning}));
    }
    for (const auto& r : sim::StatusReports(machine))
        EXPECT_EQ(r.status.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE, 0u);
    // A report the manager does not take ends the service, as any failed report does.
    machine.ArmFault({"SetServiceStatus", 1});
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_INTERROGATE, 5000));
    ASSERT_TRUE(Ended());
    EXPECT_EQ(sim::StatusReports(machine).back().status.dwCurrentState, DWORD{SERVICE_STOPPED});
}

TEST_F(ServiceTest, DuringTheStartAControlGetsStartPendingWithNoControlsAccepted)
{
    machine.Hold("CreateNamedPipeW");  // the start stops short of its pipe
    Start(false);
    ASSERT_TRUE(sim::WaitForServiceState(machine, SERVICE_START_PENDING, 5000));
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_INTERROGATE, 5000));
    // The state as it stands: the same check point and wait hint, no progress claimed.
    EXPECT_TRUE(ReportsAre(sim::StatusReports(machine), {kStartPending, kStartPending}));
    machine.Release("CreateNamedPipeW");
    ASSERT_TRUE(sim::WaitForServiceState(machine, SERVICE_RUNNING, 5000));
    EXPECT_TRUE(ReportsAre(sim::StatusReports(machine), {kStartPending, kStartPending, kRunning}));
}

// An answer to a control that fails during the start ends the service there: the start
// goes on to nothing more than the stopped report.
TEST_F(ServiceTest, AFailedAnswerDuringTheStartEndsTheStart)
{
    machine.Hold("CreateNamedPipeW");
    Start(false);
    ASSERT_TRUE(sim::WaitForServiceState(machine, SERVICE_START_PENDING, 5000));
    machine.ArmFault({"SetServiceStatus", 1});
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_INTERROGATE, 5000));
    machine.Release("CreateNamedPipeW");
    ASSERT_TRUE(Ended());
    EXPECT_TRUE(ReportsAre(sim::StatusReports(machine), {kStartPending, kStopped}));
    EXPECT_EQ(sim::FindPipe(machine, kPipe), nullptr);
    EXPECT_TRUE(px71test::NothingOpen(machine));
}

TEST_F(ServiceTest, ASecondStopOnlyReportsWhereTheStopStands)
{
    Start();
    RawClient client;  // holds the service in a request so the first stop is still under way
    PipeRequest request = Patterned(0);
    ASSERT_TRUE(client.Send(&request, sizeof request));
    ASSERT_TRUE(client.Signalled(5000));
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
    auto reports = sim::StatusReports(machine);
    // The reply is under way: the wait hint is its bound; the second stop repeats it.
    const Expected replying{SERVICE_STOP_PENDING, kAccepted, 1, 5000};
    EXPECT_TRUE(ReportsAre(reports, {kStartPending, kRunning, replying, replying}));
    PipeRequest reply{};
    EXPECT_EQ(client.Receive(&reply, sizeof reply), sizeof reply);
    EXPECT_TRUE(Ended());
}

// ---------------------------------------------------------------- the pipe
TEST_F(ServiceTest, ThePipeHasOneInstanceItsParametersAndItsAccessList)
{
    // The accounts are named by SID, so a Windows whose account names are not English
    // builds the same list; a local user is served there, one on the network never.
    for (const char* language : {"en", "fr"}) {
        SCOPED_TRACE(language);
        machine.language = language;
        Start();
        auto pipe = sim::FindPipe(machine, kPipe);
        ASSERT_NE(pipe, nullptr);
        EXPECT_EQ(pipe->open_mode,
                  static_cast<DWORD>(PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE));
        EXPECT_EQ(pipe->pipe_mode, static_cast<DWORD>(PIPE_REJECT_REMOTE_CLIENTS));
        EXPECT_EQ(pipe->max_instances, 1u);
        EXPECT_EQ(pipe->out_buffer, 512u);
        EXPECT_EQ(pipe->in_buffer, 512u);
        EXPECT_EQ(pipe->default_timeout, 1000u);
        struct Entry {
            WELL_KNOWN_SID_TYPE account;
            DWORD rights;
            ACCESS_MODE mode;
        } expected[] = {{WinNetworkSid, FILE_ALL_ACCESS, DENY_ACCESS},
                        {WinLocalSystemSid, FILE_ALL_ACCESS, GRANT_ACCESS},
                        {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, GRANT_ACCESS},
                        {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_WRITE, GRANT_ACCESS}};
        ASSERT_EQ(pipe->access.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(pipe->access[i].trustee, sim::AccountSid(expected[i].account));
            EXPECT_EQ(pipe->access[i].permissions, expected[i].rights);
            EXPECT_EQ(pipe->access[i].mode, expected[i].mode);
            EXPECT_EQ(pipe->access[i].inheritance, static_cast<DWORD>(NO_INHERITANCE));
        }
        // Users may not rewrite the access list or take the pipe over.
        EXPECT_EQ(pipe->access[3].permissions & (WRITE_DAC | WRITE_OWNER | DELETE), 0u);

        PipeRequest reply{};
        const px71client::Answer served = Ask(Patterned(16), reply);
        EXPECT_EQ(served.outcome, px71client::Outcome::kAnswered);
        // Served by the service's own process, which learnt who asked and cannot act as them.
        EXPECT_EQ(served.server_process, machine.service_process_id);
        EXPECT_TRUE(sim::AsNamedPipe(*pipe).client_qos.present);
        EXPECT_EQ(sim::AsNamedPipe(*pipe).client_qos.level, SecurityIdentification);
        {
            sim::RemoteCaller remote;
            const px71client::Answer answer = Ask(Patterned(16), reply, 500);
            EXPECT_EQ(answer.outcome, px71client::Outcome::kRefused);
            EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
        EXPECT_EQ(Ask(Patterned(16), reply).outcome, px71client::Outcome::kAnswered);
        Stop();
    }
}

// The start ends with SERVICE_STOPPED and a Win32 code, never with a pipe it could not make safely.
TEST_F(ServiceTest, AStartThatCannotSetUpItsPipeReportsStoppedWithTheReason)
{
    struct Case {
        const char* what;
        sim::Fault fault;
        bool squat;
        DWORD exit_code;
    } cases[] = {
        {"another process holds the name", {}, true, ERROR_ACCESS_DENIED},
        {"pipe creation fails", {"CreateNamedPipeW", 1, ERROR_NOT_ENOUGH_MEMORY}, false, ERROR_NOT_ENOUGH_MEMORY},
        {"the access list cannot be built", {"SetEntriesInAclW", 1, ERROR_NONE_MAPPED}, false, ERROR_NONE_MAPPED},
        {"the descriptor cannot be set up", {"InitializeSecurityDescriptor", 1, ERROR_INVALID_PARAMETER}, false,
         ERROR_INVALID_PARAMETER},
        {"the connect event cannot be made", {"CreateEventW", 2, ERROR_NOT_ENOUGH_MEMORY}, false,
         ERROR_NOT_ENOUGH_MEMORY},
        {"no thread for the bounded flush", {"CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY}, false,
         ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine fresh;
        sim::ActiveMachine active(fresh);
        HANDLE squatter = INVALID_HANDLE_VALUE;
        if (c.squat)
            squatter = CreateNamedPipeW(kPipe, PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 1000, nullptr);
        if (!c.fault.function.empty()) fresh.ArmFault(c.fault);
        sim::LaunchService(fresh, u"PX71Service");
        int code = px71service::RunServiceProcess();  // returns once the service has stopped
        EXPECT_EQ(code, 0);
        auto reports = sim::StatusReports(fresh);
        EXPECT_TRUE(ReportsAre(reports, {kStartPending, kStopped}));
        if (!reports.empty()) {
            EXPECT_EQ(reports.back().status.dwWin32ExitCode, c.exit_code);
        }
        if (squatter != INVALID_HANDLE_VALUE) CloseHandle(squatter);
        EXPECT_TRUE(px71test::NothingOpen(fresh));
    }
}

TEST_F(ServiceTest, FailedReportsEndTheServiceWithAStoppedReport)
{
    struct Case {
        const char* what;
        std::vector<sim::Fault> faults;
        std::vector<Expected> reports;
        bool pipe_made;
    } cases[] = {
        {"the start-pending report fails", {{"SetServiceStatus", 1}}, {kStopped}, false},
        {"the running report fails", {{"SetServiceStatus", 2}}, {kStartPending, kStopped}, true},
        // The stopped report is tried again: here it fails twice and gets through on the third try.
        {"the stopped report fails twice", {{"SetServiceStatus", 2}, {"SetServiceStatus", 3}, {"SetServiceStatus", 4}},
         {kStartPending, kStopped}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine fresh;
        sim::ActiveMachine active(fresh);
        for (const auto& f : c.faults) fresh.ArmFault(f);
        sim::LaunchService(fresh, u"PX71Service");
        EXPECT_EQ(px71service::RunServiceProcess(), 0);
        EXPECT_TRUE(ReportsAre(sim::StatusReports(fresh), c.reports));
        EXPECT_EQ(fresh.CallCount("CreateNamedPipeW"), c.pipe_made ? 1u : 0u);
        EXPECT_TRUE(px71test::NothingOpen(fresh));
    }
}

TEST_F(ServiceTest, StoppedReportsAreRetriedABoundedNumberOfTimes)
{
    sim::Fault fault{"SetServiceStatus", 2};
    fault.persistent = true;  // from the running report on, nothing gets through
    machine.ArmFault(fault);
    Start(false);
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (machine.CallCount("SetServiceStatus") < 7 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // room for a try too many
    EXPECT_EQ(machine.CallCount("SetServiceStatus"), 1u + 1u + 5u);  // start, running, five stopped tries
    // Stopped for good, it answers controls with no report at all.
    sim::SendControl(machine, SERVICE_CONTROL_STOP, 1000);
    sim::SendControl(machine, SERVICE_CONTROL_INTERROGATE, 1000);
    EXPECT_EQ(machine.CallCount("SetServiceStatus"), 1u + 1u + 5u);
    sim::AbandonService(machine);  // nothing can report the stop: the process is ended from outside
    process.join();
}

TEST_F(ServiceTest, WithoutAControlHandlerNothingIsReportedOrCreated)
{
    machine.ArmFault({"RegisterServiceCtrlHandlerW", 1});
    sim::LaunchService(machine, u"PX71Service");
    EXPECT_EQ(px71service::RunServiceProcess(), 0);
    EXPECT_TRUE(sim::StatusReports(machine).empty());
    EXPECT_EQ(machine.CallCount("CreateEventW"), 0u);
    EXPECT_EQ(machine.CallCount("CreateNamedPipeW"), 0u);
}

TEST_F(ServiceTest, OutsideTheServiceControlManagerTheProgramSaysSoAndFails)
{
    EXPECT_EQ(px71service::RunServiceProcess(), 1);
    EXPECT_EQ(machine.CallCount("RegisterServiceCtrlHandlerW"), 0u);
}

// ---------------------------------------------------------------- the protocol
TEST_F(ServiceTest, EveryInputByteComesBackAndOnlyLastErrorIsWritten)
{
    Start();
    // No command runs a library function yet: every code behaves as an unknown one.
    for (DWORD command : {0u, 5u, 16u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(command);
        PipeRequest request = Patterned(command);
        PipeRequest reply{};
        auto answer = Ask(request, reply);
        ASSERT_EQ(answer.outcome, px71client::Outcome::kAnswered) << px71client::Describe(answer.outcome);
        reply.LastError = request.LastError;
        EXPECT_EQ(std::memcmp(&reply, &request, sizeof request), 0);
    }
}

TEST_F(ServiceTest, TheEventIsSignalledBeforeTheReplyIsWrittenAndOneRequestIsServedPerConnection)
{
    Start();
    RawClient client;
    PipeRequest request = Patterned(16);
    machine.ClearCalls();
    ASSERT_TRUE(client.Send(&request, sizeof request));
    ASSERT_TRUE(client.Signalled(5000));
    PipeRequest reply{};
    ASSERT_EQ(client.Receive(&reply, sizeof reply), sizeof reply);
    // The service's SetEvent comes before its WriteFile of the reply.
    auto calls = machine.calls();
    std::size_t set_event = calls.size(), reply_write = calls.size();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].function == "SetEvent" && set_event == calls.size()) set_event = i;
        if (calls[i].function == "WriteFile" && calls[i].args.size() > 1 && calls[i].args[1] == sizeof request &&
            i > 0 && reply_write == calls.size() && set_event != calls.size())
            reply_write = i;
    }
    ASSERT_LT(set_event, calls.size());
    ASSERT_LT(reply_write, calls.size());
    EXPECT_LT(set_event, reply_write);
    // The connection is closed after one reply: a second request goes nowhere.
    EXPECT_FALSE(client.Send(&request, sizeof request) && client.Receive(&reply, sizeof reply) == sizeof reply);
}

TEST_F(ServiceTest, ASecondClientWaitsForTheFirst)
{
    Start();
    RawClient first;
    ASSERT_NE(first.pipe, INVALID_HANDLE_VALUE);
    HANDLE second = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

    px71client::Answer answer;
    PipeRequest second_reply{};
    std::thread waiter([&] { answer = Ask(Patterned(16), second_reply); });
    PipeRequest request = Patterned(0), reply{};
    ASSERT_TRUE(first.Send(&request, sizeof request));
    EXPECT_EQ(first.Receive(&reply, sizeof reply), sizeof reply);
    waiter.join();
    EXPECT_EQ(answer.outcome, px71client::Outcome::kAnswered);
    EXPECT_EQ(second_reply.Command, 16u);
}

// ---------------------------------------------------------------- clients that misbehave
TEST_F(ServiceTest, AShortRequestIsServedWithTheMissingBytesZero)
{
    Start();
    RawClient client;
    PipeRequest request = Patterned(16);
    ASSERT_TRUE(client.Send(&request, 100));
    auto start = Clock::now();
    PipeRequest reply{};
    ASSERT_EQ(client.Receive(&reply, sizeof reply), sizeof reply);
    EXPECT_GE(SecondsSince(start), 0.9);  // the service waited its time-out for the rest
    EXPECT_TRUE(client.Signalled(0));
    EXPECT_EQ(std::memcmp(&reply, &request, 8), 0);
    EXPECT_EQ(std::memcmp(reinterpret_cast<BYTE*>(&reply) + 12, reinterpret_cast<BYTE*>(&request) + 12, 88), 0);
    PipeRequest zero{};
    EXPECT_EQ(std::memcmp(reinterpret_cast<BYTE*>(&reply) + 100, reinterpret_cast<BYTE*>(&zero) + 100, 300), 0);
}

// Each of these clients is let go at its bound on the machine's clock, and the next one
// is served. Under virtual time the clock moves only while every thread waits, so the
// bound holds to the millisecond whatever the host's load: the reply's wait on a
// condition variable follows the machine's clock as every other wait does.
TEST_F(ServiceTest, AClientThatStallsOrHasNoEventDoesNotBlockTheNext)
{
    machine.SetVirtualTime(true);
    sim::TakePart part(machine, true);
    Start();
    struct Case {
        const char* what;
        bool event;
        DWORD send;     // bytes of the request it sends
        bool read_reply;
        bool signalled;  // whether the service signals it
        DWORD bound;     // how long the service waits for it
    } cases[] = {
        {"connects and sends nothing", true, 0, true, false, px71service::kPipeTimeoutMs},
        {"never reads its reply", true, 400, false, true, px71service::kReplyReadTimeoutMs},
        {"has no event", false, 400, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            // The clock stands while this thread runs: the connection begins at `start`.
            const auto start = machine.Now();
            const std::size_t before = machine.calls().size();
            RawClient client(c.event);
            EXPECT_NE(client.pipe, INVALID_HANDLE_VALUE);
            PipeRequest request = Patterned(16);
            // A client without its event may be let go before its request is written.
            const bool sent = c.send == 0 || client.Send(&request, c.send);
            EXPECT_TRUE(sent || !c.event);
            Sleep(px71service::kReplyReadTimeoutMs + 2000);  // the service's time passes meanwhile
            // This connection's disconnect: the first after the service opened its event.
            std::optional<Clock::time_point> disconnected;
            bool opened = false;
            const auto calls = machine.calls();
            for (std::size_t i = before; i < calls.size() && !disconnected; ++i) {
                opened |= calls[i].function == "OpenEventW";
                if (opened && calls[i].function == "DisconnectNamedPipe") disconnected = calls[i].at;
            }
            ASSERT_TRUE(disconnected) << "the client was never let go";
            // Not before the bound, and no later: the service reads the clock in whole milliseconds.
            const auto bound = std::chrono::milliseconds(c.bound);
            EXPECT_GE(*disconnected - start, bound);
            EXPECT_LE(*disconnected - start, bound + std::chrono::milliseconds(1));
            if (c.read_reply) {
                PipeRequest reply{};
                EXPECT_EQ(client.Receive(&reply, sizeof reply), 0u);  // closed without a reply
            }
            if (c.event) {
                EXPECT_EQ(client.Signalled(0), c.signalled);
            }
        }
        PipeRequest reply{};
        auto start = Clock::now();
        EXPECT_EQ(Ask(Patterned(16), reply).outcome, px71client::Outcome::kAnswered);
        EXPECT_LT(SecondsSince(start), 2.0);
    }
}

// A client that does not read while the flush helper is stuck: the service gives up on
// it within its bounds, and the flush that ends late is never taken for a later one.
TEST_F(ServiceTest, AFlushThatEndsLateIsNotTakenForTheNextRequest)
{
    Start();
    machine.Hold("FlushFileBuffers");
    {
        RawClient client;
        ASSERT_NO_FATAL_FAILURE(client.SendAndAwaitTheSignal(Patterned(16)));
        // Until the serving loop has given up on the flush and listens again.
        const auto start = Clock::now();
        while (SecondsSince(start) < 10 && sim::FindPipe(machine, kPipe)->state != sim::PipeInstance::kListening)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(sim::FindPipe(machine, kPipe)->state, sim::PipeInstance::kListening) << "the client was never let go";
    }
    machine.Release("FlushFileBuffers");  // the flush of the request given up on ends only now
    for (std::uint32_t n = 0; n < 100; ++n) {
        SCOPED_TRACE(n);
        const PipeRequest request = NumberedRequest(n);
        PipeRequest reply{};
        ASSERT_EQ(Ask(request, reply).outcome, px71client::Outcome::kAnswered);
        EXPECT_TRUE(EchoOf(request, reply));
    }
}

TEST_F(ServiceTest, AStopWhileAFlushIsStuckEndsWithinTheBounds)
{
    Start();
    machine.Hold("FlushFileBuffers");
    {
        RawClient client;
        ASSERT_NO_FATAL_FAILURE(client.SendAndAwaitTheSignal(Patterned(16)));
        const auto start = Clock::now();
        ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
        // The reply's bound, the wait after the disconnect, and the helper's at stop.
        const DWORD bound = px71service::kReplyReadTimeoutMs + 2 * px71service::kPipeTimeoutMs;
        EXPECT_TRUE(sim::WaitForServiceState(machine, SERVICE_STOPPED, bound + 2000));
        EXPECT_LT(SecondsSince(start), (bound + 2000) / 1000.0);
        EXPECT_TRUE(Ended());
    }
    // The helper ends once its flush returns, and takes what it used with it.
    machine.Release("FlushFileBuffers");
    for (int i = 0; i < 500 && !px71test::NothingOpen(machine); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST_F(ServiceTest, AClientConnectedBeforeTheConnectCallIsServed)
{
    // The first connect fails; while the service pauses before it tries again, a client
    // opens the pipe, so the second connect finds it already connected.
    machine.ArmFault({"ConnectNamedPipe", 1, ERROR_GEN_FAILURE});
    Start();
    PipeRequest reply{};
    EXPECT_EQ(Ask(Patterned(16), reply).outcome, px71client::Outcome::kAnswered);
    EXPECT_EQ(reply.Command, 16u);
    // The client's open came between the failed connect and the one that found it.
    auto calls = machine.calls();
    std::vector<std::string> order;
    for (const auto& c : calls)
        if (c.function == "ConnectNamedPipe" || (c.function == "CreateFileW" && c.text.find("pipe") != std::string::npos))
            order.push_back(c.function);
    std::size_t open = std::find(order.begin(), order.end(), "CreateFileW") - order.begin();
    std::size_t connects_before = std::count(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(open),
                                             std::string("ConnectNamedPipe"));
    ASSERT_LT(open, order.size());
    EXPECT_LE(connects_before, 1u);  // at most the failed one
    EXPECT_GE(std::count(order.begin(), order.end(), std::string("ConnectNamedPipe")), 2);
}

TEST_F(ServiceTest, ConnectsThatKeepFailingArePacedAndAStopStillEndsTheService)
{
    sim::Fault fault{"ConnectNamedPipe", 1, ERROR_NOT_ENOUGH_MEMORY};
    fault.persistent = true;
    machine.ArmFault(fault);
    Start();
    const auto start = Clock::now();
    for (int i = 0; i < 5000 && machine.CallCount("ConnectNamedPipe") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Stop();
    // A try a second at the most, not a spin, however long this host took to stop it.
    const double tries = 2 + SecondsSince(start) / (px71service::kPipeTimeoutMs / 1000.0);
    EXPECT_LE(static_cast<double>(machine.CallCount("ConnectNamedPipe")), tries);
    const auto reports = sim::StatusReports(machine);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
}

TEST_F(ServiceTest, AStopDuringARequestIsReportedStoppedOnlyOnceTheRequestIsDone)
{
    Start();
    RawClient client;
    PipeRequest request = Patterned(16);
    ASSERT_TRUE(client.Send(&request, sizeof request));
    ASSERT_TRUE(client.Signalled(5000));  // the command has run; the reply waits to be read

    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
    const Expected replying{SERVICE_STOP_PENDING, kAccepted, 1, 5000};
    EXPECT_TRUE(ReportsAre(sim::StatusReports(machine), {kStartPending, kRunning, replying}));
    EXPECT_NE(sim::FindPipe(machine, kPipe), nullptr);

    PipeRequest reply{};
    EXPECT_EQ(client.Receive(&reply, sizeof reply), sizeof reply);  // the reply still comes
    EXPECT_EQ(reply.Command, 16u);
    ASSERT_TRUE(Ended());
    auto reports = sim::StatusReports(machine);
    EXPECT_TRUE(ReportsAre(reports, {kStartPending, kRunning, replying, kStopped}));
    // At the stopped report the service held only its stop event; the rest are the client's.
    EXPECT_EQ(reports.back().handles_open, 3u);
}

TEST_F(ServiceTest, AStopWhileTheRequestIsStillComingRunsNoCommand)
{
    Start();
    machine.Hold("OpenEventW");  // the first piece is in before the service reads: read at once
    RawClient client;
    const PipeRequest request = Patterned(16);
    ASSERT_TRUE(client.Send(&request, 100));
    machine.Release("OpenEventW");
    // The service holds the first 100 bytes and waits for the rest.
    for (int i = 0; i < 500 && machine.CallCount("ReadFile") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
    ASSERT_TRUE(Ended());
    EXPECT_FALSE(client.Signalled(0)) << "no command ran";
    PipeRequest reply{};
    EXPECT_EQ(client.Receive(&reply, sizeof reply), 0u);
    EXPECT_TRUE(ReportsAre(sim::StatusReports(machine), {kStartPending, kRunning, kStopPending, kStopped}));
}

// ---------------------------------------------------------------- the client
// While the request in hand keeps a stop waiting, STOP_PENDING's check point moves on
// within every wait hint, and nothing follows SERVICE_STOPPED.
// A stop while a library call runs: STOP_PENDING carries the call's bound, and its check
// point moves only when the service makes progress (the command done, the reply sent,
// the helpers ended), never on a timer: a call that hangs shows as a hung service.
TEST_F(ServiceTest, AStopThatWaitsForARequestAdvancesItsCheckPointOnProgressOnly)
{
    Start();
    machine.Hold("SetupDiGetClassDevsW");  // command 14 stays inside the library
    RawClient client;
    PipeRequest request{};
    request.Command = 14;
    ASSERT_TRUE(client.Send(&request, sizeof request));
    for (int i = 0; i < 500 && machine.CallCount("SetupDiGetClassDevsW") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(machine.CallCount("SetupDiGetClassDevsW"), 1u) << "the command never reached the library";
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_INTERROGATE, 5000));
    const Expected running_command{SERVICE_STOP_PENDING, kAccepted, 1, 30000};
    EXPECT_TRUE(ReportsAre(sim::StatusReports(machine), {kStartPending, kRunning, running_command, running_command}));
    machine.Release("SetupDiGetClassDevsW");
    PipeRequest reply{};
    EXPECT_EQ(client.Receive(&reply, sizeof reply), sizeof reply);
    EXPECT_TRUE(Ended());

    std::vector<std::pair<DWORD, DWORD>> pending;  // check point, wait hint
    for (const auto& r : sim::StatusReports(machine))
        if (r.status.dwCurrentState == SERVICE_STOP_PENDING) pending.emplace_back(r.status.dwCheckPoint, r.status.dwWaitHint);
    const std::vector<std::pair<DWORD, DWORD>> expected = {
        {1, 30000}, {1, 30000}, {2, 5000} /* command done */, {3, 3000} /* reply sent */, {4, 3000} /* helpers ended */};
    EXPECT_EQ(pending, expected);
    EXPECT_EQ(sim::StatusReports(machine).back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

// A PX71Service that reports SERVICE_RUNNING without making its pipe, and stops when told.
SERVICE_STATUS_HANDLE g_pipeless = nullptr;
void WINAPI StopPipeless(DWORD)
{
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    SetServiceStatus(g_pipeless, &status);
}
void WINAPI PipelessService(DWORD, LPWSTR*)
{
    g_pipeless = RegisterServiceCtrlHandlerW(u"PX71Service", StopPipeless);
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(g_pipeless, &status);
}

TEST_F(ServiceTest, TheClientTellsWhyThereIsNoAnswer)
{
    PipeRequest reply{};
    auto answer = Ask(Patterned(1), reply, 200);
    EXPECT_EQ(answer.outcome, px71client::Outcome::kNoService);
    EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // While the service is stopped anyone may make a pipe of its name, and a service that
    // ran on without its pipe (its failed creation unchecked) lets them: they are sent nothing.
    machine.registry.CreateKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX71Service");
    for (bool running : {false, true}) {
        SCOPED_TRACE(running);
        std::thread pipeless;
        if (running) {
            sim::LaunchService(machine, u"PX71Service");
            pipeless = std::thread([] {
                WCHAR name[] = u"PX71Service";
                SERVICE_TABLE_ENTRYW table[] = {{name, PipelessService}, {nullptr, nullptr}};
                StartServiceCtrlDispatcherW(table);
            });
            ASSERT_TRUE(sim::WaitForServiceState(machine, SERVICE_RUNNING, 5000));
        }
        HANDLE squatter = INVALID_HANDLE_VALUE;
        {
            sim::InProcess other(4660);
            squatter = CreateNamedPipeW(kPipe, PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 1000, nullptr);
        }
        machine.ClearCalls();
        answer = Ask(Patterned(1), reply, 200);
        EXPECT_EQ(answer.outcome, px71client::Outcome::kNotTheService);
        EXPECT_EQ(answer.server_process, 4660u);
        EXPECT_EQ(answer.error, 0u);
        EXPECT_EQ(machine.CallCount("WriteFile"), 0u);
        EXPECT_TRUE(sim::FindPipe(machine, kPipe)->to_server.empty());
        CloseHandle(squatter);
        if (pipeless.joinable()) {
            EXPECT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
            pipeless.join();
        }
    }

    Start();
    // The service serves, but which process runs it cannot be told: nothing is sent either.
    machine.ArmFault({"QueryServiceStatusEx", 1, ERROR_ACCESS_DENIED});
    answer = Ask(Patterned(1), reply);
    EXPECT_EQ(answer.outcome, px71client::Outcome::kNotTheService);
    EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    RawClient holder;  // keeps the one instance busy
    auto start = Clock::now();
    answer = Ask(Patterned(1), reply, 300);
    EXPECT_EQ(answer.outcome, px71client::Outcome::kBusy);
    EXPECT_GE(SecondsSince(start), 0.25);
    EXPECT_LT(SecondsSince(start), 2.0);
}

// Every user's client shares the one event: while one user's client holds it another
// user's is served. An event made with the default access list belongs to its maker alone.
TEST_F(ServiceTest, AnotherUsersClientIsServedWhileOneHoldsTheEvent)
{
    Start();
    const sim::Machine::User alice{u"S-1-5-21-1-2-3-1001", sim::Account::kUser}, bob{u"S-1-5-21-1-2-3-1002", sim::Account::kUser};
    auto become = [&](const sim::Machine::User& user) {
        std::lock_guard lock(machine.mutex);
        machine.user = user;
    };
    struct Case {
        const char* what;
        bool shared;
        px71client::Outcome outcome;
        DWORD error;
    } cases[] = {
        {"held by a client", true, px71client::Outcome::kAnswered, ERROR_SUCCESS},
        {"made with the default access list", false, px71client::Outcome::kNoEvent, ERROR_ACCESS_DENIED},
    };
    // The service closes its handle on the event once it has let the last client go.
    auto event_gone = [&] {
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            std::lock_guard lock(machine.mutex);
            auto it = machine.processes().named_events.find(u"global\\px71service");
            if (it == machine.processes().named_events.end() || it->second.expired()) return true;
        }
        return false;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(event_gone());
        become(alice);
        px71::UniqueHandle held = c.shared ? px71client::OpenSharedEvent()
                                           : px71::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, kEvent));
        ASSERT_TRUE(held);
        // The maker's older clients, which ask for every right, still open it.
        EXPECT_TRUE(px71::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, kEvent)));
        become(bob);
        PipeRequest reply{};
        const px71client::Answer answer = Ask(Patterned(16), reply);
        EXPECT_EQ(answer.outcome, c.outcome) << px71client::Describe(answer.outcome);
        EXPECT_EQ(answer.error, c.error);
    }
}

} // namespace
