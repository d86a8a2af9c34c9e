// The machine's second floor: events, threads, named pipes and the service control
// manager's side of a service process. Everything here is guarded by Machine::mutex;
// blocked calls wait on Machine::changed.
#pragma once

#include "sim/machine.h"

#include <chrono>
#include <deque>
#include <optional>
#include <thread>

namespace sim {

// ---------------------------------------------------------------- events
class EventObject : public KernelObject {
public:
    EventObject(bool manual_reset, bool signalled, std::u16string name)
        : manual_reset(manual_reset), signalled(signalled), name(std::move(name))
    {
    }
    const char* kind() const override { return "event"; }
    bool Waitable() const override { return true; }
    bool Signalled() const override { return signalled; }
    void Satisfy() override
    {
        if (!manual_reset) signalled = false;
    }

    const bool manual_reset;
    bool signalled;
    const std::u16string name;  // empty for an unnamed event
};

// A handle to an event: named events are shared by every handle opened on them.
class EventHandle : public KernelObject {
public:
    EventHandle(std::shared_ptr<EventObject> event, ACCESS_MASK access) : event(std::move(event)), access(access) {}
    const char* kind() const override { return "event"; }
    bool Waitable() const override { return true; }
    bool Signalled() const override { return event->signalled; }
    void Satisfy() override { event->Satisfy(); }

    const std::shared_ptr<EventObject> event;
    const ACCESS_MASK access;
};

// ---------------------------------------------------------------- threads
struct ThreadState {
    bool finished = false;
    DWORD exit_code = STILL_ACTIVE;
};

class ThreadHandle : public KernelObject {
public:
    explicit ThreadHandle(std::shared_ptr<ThreadState> state) : state(std::move(state)) {}
    const char* kind() const override { return "thread"; }
    bool Waitable() const override { return true; }
    bool Signalled() const override { return state->finished; }

    const std::shared_ptr<ThreadState> state;
};

// ---------------------------------------------------------------- processes
// A process that CreateProcess started. It runs nothing: it ends at once, or when a
// test ends it (Processes::programs_keep_running).
struct ProcessState {
    bool ended = false;
    DWORD exit_code = STILL_ACTIVE;
};

class ProcessHandle : public KernelObject {
public:
    explicit ProcessHandle(std::shared_ptr<ProcessState> state) : state(std::move(state)) {}
    const char* kind() const override { return "process"; }
    bool Waitable() const override { return true; }
    bool Signalled() const override { return state->ended; }

    const std::shared_ptr<ProcessState> state;
};

// One CreateProcessA call as the machine saw it, whether or not the process started.
struct ProcessLaunch {
    std::optional<std::string> application;   // lpApplicationName (ANSI), nullopt for null
    std::optional<std::string> command_line;  // lpCommandLine (ANSI), nullopt for null
    bool process_attributes = false;          // a SECURITY_ATTRIBUTES was given
    bool thread_attributes = false;
    BOOL inherit_handles = FALSE;
    DWORD creation_flags = 0;
    bool environment = false;        // an environment block was given
    bool current_directory = false;  // a current directory was given
    DWORD startup_size = 0;          // STARTUPINFOA.cb
    bool startup_rest_zero = false;  // every byte of the STARTUPINFOA after cb was zero
    bool started = false;
    DWORD error = ERROR_SUCCESS;     // the last error of a launch that failed
    std::shared_ptr<ProcessState> process;       // null when it did not start
    std::shared_ptr<ThreadState> primary_thread;
};


// ---------------------------------------------------------------- named pipes
// An entry of the access list a pipe was created with, as SetEntriesInAclW got it.
struct AccessEntry {
    std::u16string trustee;  // the account's SID, as "S-1-5-32-545"
    DWORD permissions = 0;
    ACCESS_MODE mode = NOT_USED_ACCESS;
    DWORD inheritance = 0;
};

// The ACL that SetEntriesInAclW hands out (from LocalAlloc): the header, then the
// entries, so that the pipe can record them.
struct SimAcl {
    ACL header;
    std::uint32_t count;
    struct Entry {
        char16_t trustee[188];  // SECURITY_MAX_SID_STRING_CHARACTERS and its NUL
        DWORD permissions;
        ACCESS_MODE mode;
        DWORD inheritance;
    } entries[8];
};

// Pending overlapped work on the server end.
struct PendingIo {
    enum Kind { kConnect, kRead } kind = kConnect;
    LPOVERLAPPED ov = nullptr;
    void* buffer = nullptr;
    DWORD size = 0;
};

// One instance of a named pipe, byte mode. The states follow the server's view:
// listening (a client may open it), connected, and disconnected (clients are turned
// away with ERROR_PIPE_BUSY until the server connects again).
struct PipeInstance {
    enum State { kListening, kConnected, kDisconnected } state = kListening;
    std::u16string name;
    DWORD open_mode = 0;
    DWORD pipe_mode = 0;
    DWORD max_instances = 0;
    DWORD out_buffer = 0;
    DWORD in_buffer = 0;
    DWORD default_timeout = 0;
    std::vector<AccessEntry> access;

    bool server_open = true;
    bool client_open = false;
    std::uint64_t connection = 0;  // counts client opens; a client end belongs to one
    std::deque<std::uint8_t> to_server;
    std::deque<std::uint8_t> to_client;
    std::vector<PendingIo> pending;  // the server's overlapped operations
    std::size_t client_reads = 0;    // how many client reads completed, for tests
    Account client_account = Account::kAdministrator;  // the token of the connected client
    bool server_has_read = false;    // the server read data of this connection
};

class PipeServerEnd : public KernelObject {
public:
    explicit PipeServerEnd(std::shared_ptr<PipeInstance> pipe) : pipe(std::move(pipe)) {}
    const char* kind() const override { return "pipe server end"; }
    void Closed() override;

    const std::shared_ptr<PipeInstance> pipe;
};

class PipeClientEnd : public KernelObject {
public:
    PipeClientEnd(std::shared_ptr<PipeInstance> pipe, std::uint64_t connection)
        : pipe(std::move(pipe)), connection(connection)
    {
    }
    const char* kind() const override { return "pipe client end"; }
    void Closed() override;
    // The server disconnected this client (or connected another): its handle is dead.
    bool Current() const { return pipe->state == PipeInstance::kConnected && pipe->connection == connection; }

    const std::shared_ptr<PipeInstance> pipe;
    const std::uint64_t connection;
};

// Opens the client end of "\\.\pipe\<name>" (CreateFile's route for pipe paths).
HANDLE OpenPipeClient(Machine& machine, std::u16string_view name);
// Completes the server's pending operations that the pipe's state now allows.
void ProgressPipe(Machine& machine, PipeInstance& pipe);

// ---------------------------------------------------------------- services
// One status report, as SetServiceStatus received it, with the number of handles the
// process held at that moment.
struct StatusReport {
    SERVICE_STATUS status{};
    std::size_t handles_open = 0;
};

struct ServiceController {
    bool launched = false;             // started by the service control manager
    std::u16string name;               // the service it was started as
    LPSERVICE_MAIN_FUNCTIONW main = nullptr;
    LPHANDLER_FUNCTION handler = nullptr;
    bool dispatching = false;
    bool stopped = false;               // SERVICE_STOPPED was reported
    bool main_returned = false;         // the service main function has returned
    bool abandoned = false;
    std::deque<DWORD> controls;         // sent, not yet delivered
    std::uint64_t sent = 0;
    std::uint64_t handled = 0;
    std::vector<StatusReport> reports;
    // The reports that broke the service control manager's documented rules, each with
    // the rule: a test that makes one fails (px71test::NothingOpen).
    std::vector<std::string> broken_rules;
};

// What a process asked of the loader and of its own mitigation policies (reference:
// SetDefaultDllDirectories, SetProcessMitigationPolicy).
struct ProcessHardening {
    DWORD dll_directories = 0;                 // LOAD_LIBRARY_SEARCH_* flags, 0: never set
    std::map<int, DWORD> mitigations;          // PROCESS_MITIGATION_POLICY: the Flags set
    bool StrictHandleChecks() const;
};

// ---------------------------------------------------------------- the floor
struct Processes {
    std::map<std::u16string, std::weak_ptr<EventObject>> named_events;  // by lower-case name
    std::map<std::u16string, std::shared_ptr<PipeInstance>> pipes;      // by lower-case name
    ServiceController service;
    std::vector<std::thread> threads;
    std::vector<ProcessLaunch> launches;  // every CreateProcessA, in order
    bool programs_keep_running = false;   // started processes run until EndProcess
    std::map<DWORD, ProcessHardening> hardening;  // by process id

    void JoinThreads();
};

// ---- for tests and tools: the service control manager's side
// The next StartServiceCtrlDispatcherW connects as the service "name". Its dispatcher
// returns once the service has reported SERVICE_STOPPED, or when the service main
// function returned without registering a handler (nothing could ever stop it). A
// service main may return while its service runs on, as on Windows.
void LaunchService(Machine& machine, std::u16string name);
// Sends a control as ControlService does: it is delivered on the dispatcher's thread,
// and the call returns once the handler has returned (false if that takes longer than
// timeout_ms, or no handler is registered).
bool SendControl(Machine& machine, DWORD control, DWORD timeout_ms);
// Ends the dispatcher of a service that can no longer report SERVICE_STOPPED, as the
// process would be ended from outside.
void AbandonService(Machine& machine);
std::vector<StatusReport> StatusReports(Machine& machine);
// Waits until some report has the state; false on time-out.
bool WaitForServiceState(Machine& machine, DWORD state, DWORD timeout_ms);
// The pipe's record (null when no instance exists).
std::shared_ptr<PipeInstance> FindPipe(Machine& machine, std::u16string_view name);

// The calling thread is a service's (its main function's): not interactive.
bool CallerIsService();

// ---- for tests: accounts and who a pipe client is
// A well-known account's SID as access entries record it ("S-1-5-32-545").
std::u16string AccountSid(WELL_KNOWN_SID_TYPE type);
// ---- for tests and tools: who a pipe client is
// While it lives, the calling thread's token is that of Account, for Machine::user's
// SID: pipes it opens as a client carry it, a server that impersonates the client sees
// it, and access lists are checked against it. Without one, a thread carries
// Machine::user's account.
class CallerAccount {
public:
    explicit CallerAccount(Account account);
    ~CallerAccount();
    CallerAccount(const CallerAccount&) = delete;
    CallerAccount& operator=(const CallerAccount&) = delete;

private:
    std::optional<Account> previous_;
};
Account ThreadAccount(Machine& machine);
// The calling thread acts as a client on another machine (RemoteCaller).
bool CallerIsRemote();
// While it lives, the calling thread opens pipes as a client on another machine would:
// its token holds NETWORK instead of INTERACTIVE.
class RemoteCaller {
public:
    RemoteCaller();
    ~RemoteCaller();
    RemoteCaller(const RemoteCaller&) = delete;
    RemoteCaller& operator=(const RemoteCaller&) = delete;
};

// ---- for tests and tools: processes
std::vector<ProcessLaunch> Launches(Machine& machine);
// Waits until `count` launches were made; false on time-out.
bool WaitForLaunches(Machine& machine, std::size_t count, DWORD timeout_ms);
// Ends the process of a launch (by its place in Launches) with the exit code.
void EndProcess(Machine& machine, std::size_t launch, DWORD exit_code);

// While it lives, the calling thread takes part in the machine's virtual time
// (Machine::SetVirtualTime): the clock does not move while it runs, only while it waits.
// The machine's own threads take part from their start (their creator expected them:
// Machine::ExpectThread); a test or tool that drives the machine (a pipe client, a
// script) takes part as a driver, whose waits end after the machine's own at the same
// moment.
class TakePart {
public:
    explicit TakePart(Machine& machine, bool driver = false, bool expected = false) : machine_(machine)
    {
        machine.Join(driver, expected);
    }
    ~TakePart() { machine_.Leave(); }
    TakePart(const TakePart&) = delete;
    TakePart& operator=(const TakePart&) = delete;

private:
    Machine& machine_;
};

// Waits on the machine's condition until ready() or the deadline (INFINITE: none), on
// the machine's clock. `next_due` tells when something waited for becomes ready by
// itself (a timer's due time), or nothing. The caller holds the machine's lock in `lock`.
template <typename Ready, typename NextDue>
bool WaitUntil(Machine& machine, std::unique_lock<std::recursive_mutex>& lock, DWORD milliseconds, Ready ready,
               NextDue next_due)
{
    using Clock = std::chrono::steady_clock;
    if (ready()) return true;
    // On the machine's clock under virtual time; otherwise on the host's, which runs on
    // while a test has stopped the machine's.
    std::optional<Clock::time_point> deadline, host_deadline;
    if (milliseconds != INFINITE) {
        deadline = machine.Now() + std::chrono::milliseconds(milliseconds);
        host_deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    }
    std::optional<Machine::Wait> wait;
    for (;;) {
        // Under virtual time a wait whose moment has come ends only when its turn comes:
        // waits that time ends, end one at a time.
        const bool turn_pending = machine.virtual_time() && wait && wait->AwaitsTurn();
        if (!turn_pending) {
            if (ready()) return true;
            if (machine.virtual_time() ? deadline && machine.Now() >= *deadline
                                       : host_deadline && Clock::now() >= *host_deadline)
                return false;
        }
        const std::optional<Clock::time_point> due = next_due();
        if (machine.virtual_time()) {
            auto until = deadline && (!due || *deadline < *due) ? deadline : due;
            if (turn_pending) until = wait->due();
            if (wait)
                wait->Again(until);
            else
                wait.emplace(machine, until);
            // A change this very registration made (the clock moved on) notified before
            // the sleep: the waiter looks again at once rather than miss it.
            if (!wait->MustLook()) machine.changed.wait(lock);
            continue;
        }
        wait.reset();
        std::optional<Clock::time_point> until = host_deadline;
        if (due) {
            const auto host_due = Clock::now() + (*due - machine.Now());
            if (!until || host_due < *until) until = host_due;
        }
        if (until)
            machine.changed.wait_until(lock, *until);
        else
            machine.changed.wait(lock);
    }
}

template <typename Ready>
bool WaitUntil(Machine& machine, std::unique_lock<std::recursive_mutex>& lock, DWORD milliseconds, Ready ready)
{
    return WaitUntil(machine, lock, milliseconds, ready,
                     [] { return std::optional<std::chrono::steady_clock::time_point>(); });
}

} // namespace sim
