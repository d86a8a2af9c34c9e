// The road of a request, end to end: a client on the embedded default machine asks
// PX71Service through its pipe, the real serving loop and command table call the
// library, and the machine changes as the command says. Then one request of every
// command code the same way.
#include "service/pipe_request.h"
#include "service/service_host.h"
#include "sim/files.h"
#include "sim/processes.h"
#include "support/machine_test.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace {

const char16_t kPipe[] = u"\\\\.\\pipe\\PX71Service";
const char16_t kEvent[] = u"Global\\PX71Service";
constexpr std::int32_t kSent = 0x5A5A5A5A;  // the Result a client sends

// The default machine with the service running in it, for one case.
struct RunningService {
    sim::Machine machine;
    sim::ActiveMachine active{machine};
    sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);
    std::thread service;

    explicit RunningService(const std::function<void(sim::Machine&)>& prepare = {})
    {
        px71test::WithoutSlotWatch(machine);
        if (prepare) prepare(machine);
        sim::LaunchService(machine, u"PX71Service");
        service = std::thread([] { px71service::RunServiceProcess(); });
        EXPECT_TRUE(sim::WaitForServiceState(machine, SERVICE_RUNNING, 5000));
    }
    ~RunningService()
    {
        EXPECT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
        service.join();
        EXPECT_TRUE(px71test::NothingOpen(machine));
    }
};

// A client that keeps to the protocol step by step, so each step can be watched.
struct Exchange {
    bool signalled = false;  // the event came before the reply was read
    DWORD reply_bytes = 0;
    PipeRequest reply{};
};

Exchange Ask(const PipeRequest& request)
{
    Exchange x;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, kEvent);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 50 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) WaitNamedPipeW(kPipe, 100);
    }
    DWORD written = 0;
    if (event && pipe != INVALID_HANDLE_VALUE && WriteFile(pipe, &request, sizeof request, &written, nullptr)) {
        x.signalled = WaitForSingleObject(event, 5000) == WAIT_OBJECT_0;
        auto* bytes = reinterpret_cast<BYTE*>(&x.reply);
        for (DWORD got = 0; x.reply_bytes < sizeof x.reply; x.reply_bytes += got)
            if (!ReadFile(pipe, bytes + x.reply_bytes, sizeof x.reply - x.reply_bytes, &got, nullptr) || !got) break;
    }
    if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
    if (event) CloseHandle(event);
    return x;
}

PipeRequest Request(std::uint32_t command)
{
    PipeRequest r;
    std::memset(&r, 0, sizeof r);
    r.Command = command;
    r.Result = kSent;
    std::memcpy(r.Reserved, "\x11\x22\x33\x44", 4);  // never read or written by the service
    return r;
}

std::string Name(const PipeRequest& r)
{
    std::string name;
    for (std::uint16_t unit : r.CardName) {
        if (!unit) break;
        name.push_back(static_cast<char>(unit));
    }
    return name;
}

// Where a function first appears in the call log at or after `from`; the log's size when it does not.
std::size_t Find(const std::vector<sim::CallRecord>& calls, std::size_t from,
                 const std::function<bool(const sim::CallRecord&)>& match)
{
    for (std::size_t i = from; i < calls.size(); ++i)
        if (match(calls[i])) return i;
    return calls.size();
}

// The service closes a connection after its client has read the reply: wait for that.
void WaitUntilLetGo(sim::Machine& machine)
{
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard lock(machine.mutex);
            auto pipe = sim::FindPipe(machine, kPipe);
            if (pipe && pipe->state != sim::PipeInstance::kConnected) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the service kept the connection";
}

TEST(ServiceRoad, TheSdMediumIsEjectedThroughThePipe)
{
    RunningService s;
    // The client learns the SD medium's number from the name command of the same controller.
    std::uint32_t sd = 0;
    for (; sd < 8; ++sd) {
        PipeRequest ask = Request(11);
        ask.CardIndex = sd;
        ask.CardNameSize = sizeof ask.CardName;
        Exchange x = Ask(ask);
        ASSERT_EQ(x.reply_bytes, sizeof x.reply);
        if (x.reply.Result == 3) break;
        ASSERT_NE(x.reply.Result, 0) << "no SD medium named below EHCI controller 0";
    }
    ASSERT_TRUE(s.machine.storage.disk(4)->medium);

    WaitUntilLetGo(s.machine);
    s.machine.ClearCalls();
    PipeRequest request = Request(8);
    request.ControllerIndex = 0;
    request.CardIndex = sd;
    Exchange x = Ask(request);

    EXPECT_TRUE(x.signalled) << "the client's event told it the command had completed";
    ASSERT_EQ(x.reply_bytes, sizeof x.reply);
    EXPECT_EQ(x.reply.Result, 1);
    PipeRequest echoed = x.reply;
    echoed.Result = request.Result;
    echoed.LastError = request.LastError;
    EXPECT_EQ(std::memcmp(&echoed, &request, sizeof request), 0) << "only Result and LastError are written";
    EXPECT_FALSE(s.machine.storage.disk(4)->medium) << "the SD medium is out";
    EXPECT_TRUE(s.machine.storage.disk(3)->medium) << "the CF medium stays";
    EXPECT_TRUE(s.machine.tree.node(s.nodes.reader).present) << "the reader stays";

    // The steps in the order the road takes them; the last comes after the client has read.
    WaitUntilLetGo(s.machine);
    const auto calls = s.machine.calls();
    auto named = [](const char* function, std::string text = {}) {
        return [function, text](const sim::CallRecord& c) {
            return c.function == function && c.text.find(text) != std::string::npos;
        };
    };
    auto ioctl = [](DWORD code) {
        return [code](const sim::CallRecord& c) { return c.function == "DeviceIoControl" && c.args[1] == code; };
    };
    std::size_t at = 0;
    const std::vector<std::pair<const char*, std::function<bool(const sim::CallRecord&)>>> road = {
        {"1. the client creates its event", named("CreateEventW", "Global\\PX71Service")},
        {"1. and opens the pipe", named("CreateFileW", "pipe\\PX71Service")},
        {"2. the service opens the client's event", named("OpenEventW", "Global\\PX71Service")},
        {"2. and reads the request",
         [](const sim::CallRecord& c) { return c.function == "ReadFile" && c.args[1] == sizeof(PipeRequest); }},
        {"4. the present USB devices", named("SetupDiGetClassDevsA", sim::GuidText(sim::kClassUsb))},
        {"5. the reader's medium behind a drive", ioctl(IOCTL_SCSI_PASS_THROUGH_DIRECT)},
        {"6. the volume opened", named("CreateFileA", "\\\\.\\G:")},
        {"6. locked", ioctl(FSCTL_LOCK_VOLUME)},
        {"6. ejected", ioctl(IOCTL_STORAGE_EJECT_MEDIA)},
        {"6. unlocked", ioctl(FSCTL_UNLOCK_VOLUME)},
        {"7. the event signalled", named("SetEvent")},
        {"7. the reply written",
         [](const sim::CallRecord& c) { return c.function == "WriteFile" && c.args[1] == sizeof(PipeRequest); }},
        {"7. read by the client", named("FlushFileBuffers")},
        {"7. and the connection closed", named("DisconnectNamedPipe")},
    };
    for (const auto& [step, match] : road) {
        std::size_t next = Find(calls, at, match);
        EXPECT_LT(next, calls.size()) << step << " (after call " << at << ")";
        if (next < calls.size()) at = next + 1;
    }
}

void NoLibraryCall(RunningService& s, const PipeRequest&)
{
    for (const char* f : {"SetupDiGetClassDevsA", "SetupDiGetClassDevsW", "RegOpenKeyExW", "CreateFileW", "CreateFileA"})
        EXPECT_EQ(s.machine.CallCount(f), 1u * (std::string(f) == "CreateFileW")) << f << ": the client's pipe open only";
}

// The service enables SeLoadDriverPrivilege at start: an eject asked of a service that
// does not hold it enabled is refused. Where the token lacks it, the service says so in
// the event log and serves the rest.
TEST(ServiceRoad, EjectsNeedThePrivilegeTheServiceEnables)
{
    struct Case {
        const char* what;
        bool held;
        bool logged;
    } cases[] = {
        {"the token holds it", true, false},
        {"the token lacks it", false, true},
        {"the token lacks it and the event log cannot be reached", false, false},
    };
    for (const auto& [what, held, logged] : cases) {
        SCOPED_TRACE(what);
        RunningService s([&](sim::Machine& m) {
            if (!held) m.privileges.clear();
            if (!held && !logged) m.ArmFault({"RegisterEventSourceW", 1});
        });
        PipeRequest request = Request(7);  // the CardBus card
        Exchange x = Ask(request);
        ASSERT_EQ(x.reply_bytes, sizeof x.reply);
        EXPECT_EQ(x.reply.Result, held ? 1 : 0);
        EXPECT_EQ(s.machine.tree.node(s.nodes.cardbus_card).present, !held);
        if (!logged) {
            EXPECT_TRUE(s.machine.event_log.empty());
        } else {
            ASSERT_EQ(s.machine.event_log.size(), 1u);
            // A warning (severity 2) whose text the message table holds, with the error put in.
            EXPECT_EQ(s.machine.event_log[0], "PX71Service event 0x80000001 (type 2): 1300");
        }
        if (!held) {
            EXPECT_EQ(Ask(Request(14)).reply.Result, 0x1F) << "the rest is served";
        }
    }
}

// Where Windows offers it (8 and later), the service narrows its DLL search to System32
// and turns its mitigation policies on, strict handle checks among them, which every
// test then holds it to; where it does not, the service runs as before.
TEST(ServiceRoad, HardensItsProcessWhereWindowsOffersIt)
{
    for (const bool offered : {true, false}) {
        SCOPED_TRACE(offered ? "Windows 8 and later" : "Windows 7");
        RunningService s([&](sim::Machine& m) { m.mitigation_exports = offered; });
        EXPECT_EQ(Ask(Request(14)).reply.Result, 0x1F) << "served either way";
        std::lock_guard lock(s.machine.mutex);
        const auto& hardening = s.machine.processes().hardening;
        const auto it = hardening.find(s.machine.service_process_id);
        ASSERT_EQ(it != hardening.end(), offered);
        if (!offered) continue;
        EXPECT_EQ(it->second.dll_directories, DWORD{LOAD_LIBRARY_SEARCH_SYSTEM32});
        EXPECT_TRUE(it->second.StrictHandleChecks());
        EXPECT_EQ(it->second.mitigations.at(ProcessImageLoadPolicy), 7u);
        EXPECT_EQ(it->second.mitigations.at(ProcessExtensionPointDisablePolicy), 1u);
    }
}

// Who asks decides what runs. A plain user, an administrator whose token UAC filtered,
// or a client the service could not identify gets the volume check for a set-status
// request that can pull a volume from under an open file, and none of the commands an
// administrator closed; an administrator gets what the request asks.
TEST(ServiceRoad, WhoAsksDecides)
{
    using sim::Account;
    const DWORD kCloses3 = 1u << 3;
    struct Case {
        const char* what;
        Account account;
        std::optional<sim::Bytes> policy;  // the AdminOnlyCommands value (REG_DWORD), if any
        std::uint32_t command;
        BYTE args[4];  // set-status: bus, state change, link enable, check volumes
        std::int32_t result;
        DWORD error;  // 0: not checked
        bool link_off, settings_written;
        bool identified;  // whether the service took on the client's identity to decide
        const char* fault = nullptr;  // a service call that fails
    } cases[] = {
        {"a user's link off skips no check", Account::kUser, {}, 2, {sim::kDefaultSlotBus, 0, 0, 0}, 0, 0, false, false,
         true},
        {"nor a filtered administrator's", Account::kFilteredAdministrator, {}, 2, {sim::kDefaultSlotBus, 0, 0, 0}, 0,
         0, false, false, true},
        {"nor a client that cannot be identified", Account::kAdministrator, {}, 2, {sim::kDefaultSlotBus, 0, 0, 0}, 0, 0,
         false, false, true, "ImpersonateNamedPipeClient"},
        {"nor one whose token cannot be opened", Account::kAdministrator, {}, 2, {sim::kDefaultSlotBus, 0, 0, 0}, 0, 0,
         false, false, true, "OpenThreadToken"},
        {"a user's disable with the link on is checked", Account::kUser, {}, 2, {sim::kDefaultSlotBus, 2, 1, 0}, 0, 0,
         false, false, true},
        {"a user's enable needs no check", Account::kUser, {}, 2, {sim::kDefaultSlotBus, 1, 1, 0}, 1, 0, false, false,
         false},
        {"an administrator's goes through as asked", Account::kAdministrator, {}, 2, {sim::kDefaultSlotBus, 0, 0, 0},
         1, 0, true, false, true},
        {"the policy closes the settings to a user", Account::kUser, sim::DwordBytes(kCloses3), 3, {}, 0,
         ERROR_ACCESS_DENIED, false, false, true},
        {"and to a filtered administrator", Account::kFilteredAdministrator, sim::DwordBytes(kCloses3), 3, {}, 0,
         ERROR_ACCESS_DENIED, false, false, true},
        {"not to an administrator", Account::kAdministrator, sim::DwordBytes(kCloses3), 3, {}, 1, 0, false, true, true},
        {"a user's settings without the policy", Account::kUser, {}, 3, {}, 1, 0, false, true, false},
        {"a policy of another type closes nothing", Account::kUser, sim::Bytes{8, 0, 0, 0, 0, 0}, 3, {}, 1, 0, false,
         true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RunningService s([&](sim::Machine& m) {
            m.storage.volumes.at('G').open_files = 1;  // on the reader, below the slot
            if (c.policy)
                m.registry.SetValue(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX71Service\\Parameters",
                                    u"AdminOnlyCommands", c.policy->size() == 4 ? REG_DWORD : REG_BINARY, *c.policy);
        });
        if (c.fault) {
            sim::Fault fault{c.fault, 1};
            fault.thread = std::this_thread::get_id();
            fault.other_threads = true;
            s.machine.ArmFault(fault);
        }
        PipeRequest request = Request(c.command);
        std::memcpy(request.SetStatusArgs, c.args, 4);
        request.EndAdrs = 8;  // working sizes
        sim::CallerAccount as(c.account);
        Exchange x = Ask(request);
        ASSERT_EQ(x.reply_bytes, sizeof x.reply);
        EXPECT_EQ(x.reply.Result, c.result);
        EXPECT_TRUE(c.error == 0 || x.reply.LastError == c.error) << x.reply.LastError;
        EXPECT_EQ(std::memcmp(x.reply.SetStatusArgs, c.args, 4), 0) << "the request comes back as sent";
        EXPECT_EQ((s.machine.dump.Read(sim::kDefaultSlotBus, 0x50) & 0x10) != 0, c.link_off);
        EXPECT_EQ(s.machine.registry.Dword(sim::kServiceKey, u"EndAdrs").has_value(), c.settings_written);
        const auto& calls = s.machine.calls();
        EXPECT_EQ(std::any_of(calls.begin(), calls.end(),
                              [](const sim::CallRecord& r) { return r.function == "ImpersonateNamedPipeClient"; }),
                  c.identified);
    }
}

// One request of every code through the pipe, each on a fresh machine.
TEST(ServiceRoad, EveryCommandCodeThroughThePipe)
{
    using Check = std::function<void(RunningService&, const PipeRequest& reply)>;
    struct Case {
        const char* what;
        std::function<void(PipeRequest&)> fill;
        std::optional<std::int32_t> result;  // nullopt: not checked
        Check check;
    };
    const Case cases[] = {
        {"0: no command", [](PipeRequest& r) { r.Command = 0; }, kSent,
         NoLibraryCall},
        {"1: filters",
         [](PipeRequest& r) { r.Command = 1; }, 1,
         [](RunningService& s, const PipeRequest&) {
             EXPECT_EQ(*s.machine.tree.MultiSz(s.nodes.root_port, CM_DRP_UPPERFILTERS), sim::WideList{u"PX711"});
         }},
        {"2: the slot's link off",
         [](PipeRequest& r) {
             r.Command = 2;
             r.SetStatusArgs[0] = sim::kDefaultSlotBus;  // re-enumerate, link off, no volume check
         },
         1,
         [](RunningService& s, const PipeRequest&) {
             EXPECT_NE(s.machine.dump.Read(sim::kDefaultSlotBus, 0x50) & 0x10, 0u);
         }},
        {"2: a disable on bus 0, outside the adapter, changes no device",
         [](PipeRequest& r) {
             r.Command = 2;
             const BYTE args[4] = {0, DICS_DISABLE, 1, 0};  // bus 0, disable, link on, no volume check
             std::memcpy(r.SetStatusArgs, args, 4);
         },
         0,
         [](RunningService& s, const PipeRequest&) {
             EXPECT_TRUE(s.machine.property_changes.empty());
             sim::Machine fresh;
             sim::BuildDefaultMachine(fresh);
             for (DEVINST node : fresh.tree.order()) {
                 EXPECT_EQ(s.machine.tree.node(node).status, fresh.tree.node(node).status) << "node " << node;
                 EXPECT_EQ(s.machine.tree.node(node).problem, fresh.tree.node(node).problem) << "node " << node;
             }
         }},
        {"3: working sizes",
         [](PipeRequest& r) {
             r.Command = 3;
             r.PortLen = 1, r.Oz888Len = 2, r.SxsLen = 3, r.A3132Len = 4, r.B3132Len = 5, r.USBLen = 6;
             r.StartAdrs = 7, r.EndAdrs = 8, r.PayloadSize = 9, r.SataSSC = 10;
         },
         1,
         [](RunningService& s, const PipeRequest&) {
             EXPECT_EQ(s.machine.registry.Dword(sim::kServiceKey, u"PortLen"), 1u);
             EXPECT_EQ(s.machine.registry.Dword(sim::kServiceKey, u"EndAdrs"), 8u);
             EXPECT_EQ(s.machine.registry.Dword(sim::kServiceKey, u"SataSSC"), 10u);
         }},
        {"3: default sizes",
         [](PipeRequest& r) {
             r.Command = 3;
             r.Oz888Len = 2, r.USBLen = 6, r.StartAdrs = 7;
         },
         1,
         [](RunningService& s, const PipeRequest&) {
             EXPECT_EQ(s.machine.registry.Dword(sim::kServiceKey, u"Oz888LenDef"), 2u);
             EXPECT_EQ(s.machine.registry.Dword(sim::kServiceKey, u"USBLenDef"), 6u);
             EXPECT_FALSE(s.machine.registry.Dword(sim::kServiceKey, u"StartAdrs").has_value());
             EXPECT_EQ(s.machine.registry.Dword(sim::kServiceKey, u"Oz888Len"), 0x00400000u) << "working value kept";
         }},
        {"4: the report",
         [](PipeRequest& r) {
             r.Command = 4;
             std::strcpy(r.LogTitle, "Road");
         },
         1,
         [](RunningService& s, const PipeRequest&) {
             auto log = s.machine.files().Read(s.machine.files().ProgramFolder() + u"PX71.LOG");
             ASSERT_TRUE(log.has_value());
             EXPECT_EQ(std::string(reinterpret_cast<const char*>(log->data()) + 200, 8), "\r\n\r\nRoad");
         }},
        {"5: the bridge restarted", [](PipeRequest& r) { r.Command = 5; }, kSent,
         [](RunningService& s, const PipeRequest&) {
             ASSERT_EQ(s.machine.property_changes.size(), 3u);
             EXPECT_EQ(s.machine.property_changes[0].state_change, static_cast<DWORD>(DICS_DISABLE));
             EXPECT_EQ(s.machine.property_changes[0].node, s.nodes.adapter);
         }},
        {"6: a SATA disk removed",
         [](PipeRequest& r) {
             r.Command = 6;
             r.CardIndex = 1;
         },
         1, [](RunningService& s, const PipeRequest&) { EXPECT_FALSE(s.machine.tree.node(s.nodes.sata_disk[1]).present); }},
        {"7: the CardBus card", [](PipeRequest& r) { r.Command = 7; }, 1,
         [](RunningService& s, const PipeRequest&) { EXPECT_FALSE(s.machine.tree.node(s.nodes.cardbus_card).present); }},
        {"8: the CF medium",
         [](PipeRequest& r) {
             r.Command = 8;
             r.CardIndex = 1;
         },
         1, [](RunningService& s, const PipeRequest&) { EXPECT_FALSE(s.machine.storage.disk(3)->medium); }},
        {"9: no OHCI card", [](PipeRequest& r) { r.Command = 9; }, 0, nullptr},
        {"10: the CardBus card's name",
         [](PipeRequest& r) {
             r.Command = 10;
             r.CardNameSize = 128;
         },
         1, [](RunningService&, const PipeRequest& reply) { EXPECT_EQ(Name(reply), "CardBus Fast Ethernet Card"); }},
        {"11: the CF medium's name",
         [](PipeRequest& r) {
             r.Command = 11;
             r.CardIndex = 1;
             r.CardNameSize = 128;
         },
         2, [](RunningService&, const PipeRequest& reply) { EXPECT_EQ(Name(reply), "ZEK-PX71    CF"); }},
        {"12: no OHCI card's name",
         [](PipeRequest& r) {
             r.Command = 12;
             r.CardNameSize = 128;
         },
         0, [](RunningService&, const PipeRequest& reply) { EXPECT_EQ(Name(reply), ""); }},
        {"13: the second SATA disk's name",
         [](PipeRequest& r) {
             r.Command = 13;
             r.CardIndex = 1;
             r.CardNameSize = 128;
         },
         2, [](RunningService&, const PipeRequest& reply) { EXPECT_EQ(Name(reply), "WDC WD5000AAKS-00V1A0"); }},
        {"14: the device check", [](PipeRequest& r) { r.Command = 14; }, 0x1F, nullptr},
        {"15: the slot, read only",
         [](PipeRequest& r) {
             r.Command = 15;
             r.Result = -1;
         },
         1,
         [](RunningService& s, const PipeRequest& reply) {
             const BYTE slot[4] = {sim::kDefaultSlotBus, 1, 1, 1};  // bus 6: a card, the link on, its node
             EXPECT_EQ(std::memcmp(reply.SetStatusArgs, slot, 4), 0);
             EXPECT_EQ(Name(reply), "ExpressCard PCI Express to PCI Bridge");
             EXPECT_EQ(reply.StartAdrs, static_cast<std::uint32_t>(DN_DRIVER_LOADED | DN_STARTED));
             EXPECT_EQ(reply.EndAdrs, 0u);
             EXPECT_EQ(reply.CardIndex, 0x104C8240u) << "the card's vendor and device";
             EXPECT_EQ(reply.CardNameSize, 0x060400u) << "a PCI-to-PCI bridge";
             for (const auto& call : s.machine.calls())
                 EXPECT_NE(call.args.size() > 1 ? call.args[1] : 0, 0x9C402440u) << "no register is written";
             EXPECT_TRUE(s.machine.property_changes.empty() && s.machine.reenumerations.empty());
         }},
        {"16: no command", [](PipeRequest& r) { r.Command = 16; }, kSent,
         NoLibraryCall},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RunningService s;
        PipeRequest request = Request(0);
        c.fill(request);
        s.machine.ClearCalls();
        Exchange x = Ask(request);
        EXPECT_TRUE(x.signalled);
        ASSERT_EQ(x.reply_bytes, sizeof x.reply);
        if (c.result) {
            EXPECT_EQ(x.reply.Result, *c.result);
        }
        // Every byte comes back as sent but Result, LastError and, for the name commands, CardName.
        PipeRequest echoed = x.reply;
        echoed.Result = request.Result;
        echoed.LastError = request.LastError;
        if (request.Command >= 10 && request.Command <= 13) std::memcpy(echoed.CardName, request.CardName, sizeof echoed.CardName);
        if (request.Command == 15) {  // the slot's own fields
            std::memcpy(echoed.CardName, request.CardName, sizeof echoed.CardName);
            std::memcpy(echoed.SetStatusArgs, request.SetStatusArgs, sizeof echoed.SetStatusArgs);
            echoed.StartAdrs = request.StartAdrs;
            echoed.EndAdrs = request.EndAdrs;
            echoed.CardIndex = request.CardIndex;
            echoed.CardNameSize = request.CardNameSize;
        }
        EXPECT_EQ(std::memcmp(&echoed, &request, sizeof request), 0);
        if (c.check) c.check(s, x.reply);
    }
}

} // namespace
