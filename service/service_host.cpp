#include "service/service_host.h"

#include "library/text.h"
#include "service/command_dispatch.h"
#include "service/event_messages.h"
#include "service/pipe_request.h"
#include "service/slot_watch.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>
#include <utility>

namespace px71service {
namespace {

WCHAR kServiceName[] = W16("PX71Service");
const WCHAR kPipeName[] = W16("\\\\.\\pipe\\PX71Service");
const WCHAR kClientEventName[] = W16("Global\\PX71Service");

constexpr DWORD kPipeBufferSize = 512;
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
constexpr int kStoppedReportAttempts = 5;
constexpr DWORD kStoppedReportPauseMs = 100;

// The bounds of the service thread's stages, in milliseconds: a pending report's wait
// hint is the bound of the stage under way, the time until its next check point.
constexpr DWORD kStartWaitHintMs = 3000;
// A library call: an eject retries its volume's lock for 2 s; a report writes the log.
constexpr DWORD kCommandWaitHintMs = 30000;
// The reply: its write, the client's read of it, the disconnect that ends a flush.
constexpr DWORD kReplyWaitHintMs = kPipeTimeoutMs + kReplyReadTimeoutMs + kPipeTimeoutMs;
// From a wait for a client or a request, which a stop ends at once, to the end: the
// helper threads' bounded ends.
constexpr DWORD kEndWaitHintMs = 2 * kPipeTimeoutMs + 1000;

// Shared by the dispatcher's thread (the control handler) and the service thread.
// The stop event is created before the first report and closed by the program entry
// once the dispatcher has returned, so the handler never signals a closed handle.
SERVICE_STATUS_HANDLE g_status = nullptr;
std::atomic<DWORD> g_state{SERVICE_STOPPED};
std::atomic<HANDLE> g_stop_event{nullptr};
// Set with the stop event, and read where nothing waits on it: a look costs no call.
std::atomic<bool> g_stop_requested{false};
// Two threads report (the control handler and the service thread): a state is decided
// and reported under this lock, so that no report decided before the STOPPED one goes
// out after it.
SRWLOCK g_report_lock = SRWLOCK_INIT;
// Under the report lock: the state last reported, and while it is a pending state, its
// check point and wait hint (reference: SERVICE_STATUS: the check point counts up
// within a pending state, both are 0 outside one).
DWORD g_reported = SERVICE_STOPPED;
DWORD g_check_point = 0;
DWORD g_wait_hint = 0;
// The bound of the stage the service thread is in: the wait hint of a STOP_PENDING
// report that a stop makes meanwhile.
std::atomic<DWORD> g_stage_hint{kEndWaitHintMs};

class ReportLock {
public:
    ReportLock() { AcquireSRWLockExclusive(&g_report_lock); }
    ~ReportLock() { ReleaseSRWLockExclusive(&g_report_lock); }
    ReportLock(const ReportLock&) = delete;
    ReportLock& operator=(const ReportLock&) = delete;
};

BOOL SendStatus(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kControlsAccepted;
    status.dwWin32ExitCode = exitCode;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    return SetServiceStatus(g_status, &status);
}

// An event in the system's event log under the service's name: what went wrong where
// nobody would see it otherwise. Event Viewer finds the text of `id` in the service's
// message table and puts `insert` in for %1.
void ReportToEventLog(DWORD id, const WCHAR* insert) noexcept
{
    HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
    if (!source) return;
    LPCWSTR strings[] = {insert};
    ReportEventW(source, EventType(id), 0, id, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

// Ejecting a device takes SeLoadDriverPrivilege of a caller that is not interactive, and
// a LocalSystem service holds it without it being enabled: enabled once at start, or
// every eject through the pipe is refused. Without it the rest still works, so the
// service says so in the event log and runs on.
void EnableEjectPrivilege() noexcept
{
    DWORD error = NO_ERROR;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) {
        error = GetLastError();
    } else {
        px71::UniqueHandle token(raw);
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // A failed call leaves its error; one that succeeds leaves 0, or
        // ERROR_NOT_ALL_ASSIGNED when the token does not hold the privilege at all.
        if (LookupPrivilegeValueW(nullptr, W16("SeLoadDriverPrivilege"), &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr, nullptr);
        error = GetLastError();
    }
    if (error == NO_ERROR) return;
    WCHAR number[16];
    px71::FixedText<WCHAR>(number, sizeof number / sizeof number[0]).Decimal(error, 1);
    ReportToEventLog(kEventNoEjectPrivilege, number);
}

// Ends the serving loop at its next wait. The SERVICE_STOPPED report itself is the
// service thread's last act (ReportStopped), so that it never comes while a request
// is still being served: the process may end on that report.
void RequestStop()
{
    // Before the event exists, or when it could not be made, there is nothing to signal:
    // under strict handle checks a null handle would raise.
    g_stop_requested = true;
    if (HANDLE stop = g_stop_event.load()) SetEvent(stop);
}

bool IsPending(DWORD state) { return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING; }

// Under the report lock: reports `state`, a new one or the next step of the pending
// state under way (the check point moves on). False when the report failed.
bool Advance(DWORD state, DWORD waitHint, DWORD exitCode = NO_ERROR)
{
    const bool pending = IsPending(state);
    const DWORD checkPoint = !pending ? 0 : g_reported == state ? g_check_point + 1 : 1;
    if (!SendStatus(state, checkPoint, pending ? waitHint : 0, exitCode)) return false;
    g_reported = state;
    g_check_point = checkPoint;
    g_wait_hint = pending ? waitHint : 0;
    return true;
}

// Reports `state`, unless the service has stopped meanwhile. A report that fails ends
// the service.
BOOL ReportStatus(DWORD state, DWORD waitHint)
{
    {
        ReportLock lock;
        if (g_state.load() == SERVICE_STOPPED) return FALSE;
        if (Advance(state, waitHint)) return TRUE;
        g_state = SERVICE_STOPPED;
    }
    RequestStop();
    return FALSE;
}

// The service thread has moved on to a stage bounded by `waitHint`. While a stop is
// pending that is progress, and the check point moves on; a stage that never ends (a
// library call that hangs) moves nothing, and the service is seen as hung.
void Progress(DWORD waitHint)
{
    g_stage_hint = waitHint;
    if (g_state.load() == SERVICE_STOP_PENDING) ReportStatus(SERVICE_STOP_PENDING, waitHint);
}

// Reported once: nothing may follow it, the process may end on it. Only a report that
// failed, and so never reached the service control manager, is tried again, a few
// times: without it the dispatcher would never return and the process never end.
void ReportStopped(DWORD exitCode)
{
    ReportLock lock;
    g_state = SERVICE_STOPPED;
    for (int attempt = 1; attempt <= kStoppedReportAttempts; ++attempt) {
        if (Advance(SERVICE_STOPPED, 0, exitCode)) return;
        if (attempt < kStoppedReportAttempts) Sleep(kStoppedReportPauseMs);
    }
}

// The first stop of a starting or running service: STOP_PENDING, decided and reported
// at once, with the bound of the stage the service thread is in. False when a stop is
// under way or the service has stopped.
bool BeginStop()
{
    ReportLock lock;
    const DWORD state = g_state.load();
    if (state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED) return false;
    g_state = SERVICE_STOP_PENDING;
    if (!Advance(SERVICE_STOP_PENDING, g_stage_hint.load())) g_state = SERVICE_STOPPED;
    return true;
}

// A control that changes nothing: the state as it stands, with the check point and
// wait hint last reported (no progress is claimed).
void ReportAsItStands()
{
    {
        ReportLock lock;
        if (g_state.load() == SERVICE_STOPPED || SendStatus(g_reported, g_check_point, g_wait_hint, NO_ERROR)) return;
        g_state = SERVICE_STOPPED;
    }
    RequestStop();
}

void WINAPI ServiceControlHandler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        if (BeginStop()) {
            RequestStop();
            return;
        }
        // A second stop while the first is under way only tells where things stand, and
        // signals the stop again: the first signal may have been lost.
        if (g_state.load() == SERVICE_STOP_PENDING) RequestStop();
    }
    ReportAsItStands();
}

ULONGLONG Remaining(ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : deadline - now;
}

// Waits at most `milliseconds` for a helper thread that was told to end. A wait that
// fails, rather than runs out, is tried again within the bound: given up at once, it
// would leave the thread and the state it holds running past the service's stop.
void WaitForHelperEnd(HANDLE thread, DWORD milliseconds)
{
    constexpr DWORD kRetryPauseMs = 10;
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        const ULONGLONG left = Remaining(deadline);
        if (WaitForSingleObject(thread, static_cast<DWORD>(left)) != WAIT_FAILED || left == 0) return;
        Sleep(kRetryPauseMs);
    }
}

// State a helper thread shares with the service thread, on the process heap and freed
// by whichever of the two lets go last: a side that stops waiting for the other never
// leaves it with freed memory. State counts its holders in `holders`.
template <typename State>
struct Shared {
    template <typename... Args>
    static State* Create(Args... args) noexcept
    {
        void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(State));
        return memory ? new (memory) State(args...) : nullptr;
    }
    static void Release(State* state) noexcept
    {
        if (--state->holders != 0) return;
        state->~State();
        HeapFree(GetProcessHeap(), 0, state);
    }
    // Starts the thread with the state held by both sides; false when it did not start.
    static bool Start(State* state, LPTHREAD_START_ROUTINE run, px71::UniqueHandle& thread) noexcept
    {
        state->holders = 2;
        thread.reset(CreateThread(nullptr, 0, run, state, 0, nullptr));
        if (!thread) state->holders = 1;
        return thread.valid();
    }
};

bool StopRequested() { return g_stop_requested.load(); }

// Ends the pipe's pending operation before its OVERLAPPED goes out of scope: a cancel,
// or, should that fail, a disconnect, which fails every pending operation of the pipe.
// Without the second, a failed cancel would leave the wait for the operation hanging.
void EndPendingIo(HANDLE pipe)
{
    if (!CancelIo(pipe)) DisconnectNamedPipe(pipe);
}

// Waits for an overlapped operation on the pipe for at most `milliseconds` or until
// the stop event; an operation that does not finish in time is cancelled. Returns
// the bytes transferred, or 0 with *done false when it failed, timed out or stopped.
DWORD FinishIo(HANDLE pipe, OVERLAPPED& ov, HANDLE stopEvent, DWORD milliseconds, bool* done)
{
    HANDLE waits[2] = {ov.hEvent, stopEvent};
    DWORD transferred = 0;
    BOOL wait = FALSE;
    if (WaitForMultipleObjects(2, waits, FALSE, milliseconds) != WAIT_OBJECT_0) {
        // The cancelled operation owns ov and the buffer until it completes; it may
        // have finished just before the cancel, with its bytes.
        EndPendingIo(pipe);
        wait = TRUE;
    }
    *done = GetOverlappedResult(pipe, &ov, &transferred, wait) != FALSE;
    return *done ? transferred : 0;
}

// Reads the request, in as many pieces as the client sends it, until 400 bytes have
// arrived, the client closes its end, the time-out runs out or a stop comes. Bytes
// that did not arrive stay zero. Returns the number of bytes read; *stopped tells
// whether the stop event ended the read.
DWORD ReadRequest(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent, PipeRequest& request, bool* stopped)
{
    auto* bytes = reinterpret_cast<BYTE*>(&request);
    DWORD got = 0;
    ULONGLONG deadline = GetTickCount64() + kPipeTimeoutMs;
    *stopped = false;
    // The bound holds whether a piece comes at once or after a wait.
    while (got < sizeof request && Remaining(deadline) != 0) {
        OVERLAPPED ov{};
        ov.hEvent = ioEvent;
        DWORD piece = 0;
        if (ReadFile(pipe, bytes + got, static_cast<DWORD>(sizeof request) - got, nullptr, &ov)) {
            if (!GetOverlappedResult(pipe, &ov, &piece, FALSE)) break;
        } else if (GetLastError() == ERROR_IO_PENDING) {
            bool done = false;
            piece = FinishIo(pipe, ov, stopEvent, static_cast<DWORD>(Remaining(deadline)), &done);
            if (!done) {
                *stopped = StopRequested();
                break;
            }
        } else {
            break;  // the client went away
        }
        got += piece;
    }
    return got;
}

// The reply fits the pipe's buffer, so the write is done at once and needs no wait;
// were it ever to pend, it is finished the same way, within the bound or by a stop,
// since it owns ov until then.
bool WriteReply(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent, const PipeRequest& reply)
{
    OVERLAPPED ov{};
    ov.hEvent = ioEvent;
    DWORD written = 0;
    if (WriteFile(pipe, &reply, sizeof reply, nullptr, &ov))
        return GetOverlappedResult(pipe, &ov, &written, FALSE) && written == sizeof reply;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    bool done = false;
    return FinishIo(pipe, ov, stopEvent, kPipeTimeoutMs, &done) == sizeof reply;
}

// Waits until the client has read its reply. FlushFileBuffers cannot be bounded, so
// a thread of the service's own runs it, for every request of the serving loop; the
// service thread waits for it no longer than the reply's bound, and a client that has
// not read by then is disconnected, which ends the flush. Every flush carries the
// number of its request: a flush that ends after the service stopped waiting for it
// is never taken for the next request's. What the helper thread uses lives as long as
// either side holds it, so a stop never has to wait for ever on a stuck flush. The two
// sides meet under a slim lock and a condition variable: a hand-off that needs the
// kernel only when a side must sleep.
class Flusher {
public:
    // Takes the pipe over: the two sides share it, and whichever lets go last closes it,
    // so a flush that outlives the stop never reaches a closed handle (or one that a
    // later object took over).
    explicit Flusher(px71::UniqueFile pipe)
    {
        HANDLE shared = pipe.release();
        state_ = Shared<State>::Create(shared);
        if (!state_) {
            CloseHandle(shared);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        Shared<State>::Start(state_, Run, thread_);
    }
    ~Flusher()
    {
        if (!state_) return;
        if (thread_) {
            state_->Change([](State& s) { s.quitting = true; });
            // A flush still under way ends with the connection; the thread then has a
            // bounded time to finish, and is left to end on its own if it does not.
            DisconnectNamedPipe(state_->pipe.get());
            WaitForHelperEnd(thread_.get(), kPipeTimeoutMs);
        }
        Shared<State>::Release(state_);
    }
    Flusher(const Flusher&) = delete;
    Flusher& operator=(const Flusher&) = delete;

    bool ready() const { return thread_.valid(); }
    HANDLE pipe() const { return state_->pipe.get(); }

    void WaitUntilReplyRead()
    {
        State& s = *state_;
        std::uint64_t ticket = 0;
        s.Change([&ticket](State& st) { ticket = ++st.asked; });
        if (WaitForFlush(s, ticket, kReplyReadTimeoutMs)) return;
        DisconnectNamedPipe(s.pipe.get());
        // The disconnect ends the flush at once; the bound keeps a lost answer from
        // holding the serving loop for ever.
        WaitForFlush(s, ticket, kPipeTimeoutMs);
    }

private:
    struct State {
        explicit State(HANDLE p) noexcept : pipe(p) {}
        px71::UniqueFile pipe;
        SRWLOCK lock = SRWLOCK_INIT;
        CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
        std::uint64_t asked = 0;     // under the lock: the number of the last flush asked for
        std::uint64_t finished = 0;  // and of the last flush done
        bool quitting = false;
        std::atomic<int> holders{1};

        // Changes what the lock guards and wakes whoever waits for a change.
        template <typename Step>
        void Change(Step step)
        {
            AcquireSRWLockExclusive(&lock);
            step(*this);
            ReleaseSRWLockExclusive(&lock);
            WakeAllConditionVariable(&changed);
        }
    };

    // Waits, at most `milliseconds`, for flush number `ticket` to be done.
    static bool WaitForFlush(State& s, std::uint64_t ticket, DWORD milliseconds)
    {
        const ULONGLONG deadline = GetTickCount64() + milliseconds;
        AcquireSRWLockExclusive(&s.lock);
        while (s.finished != ticket) {
            const ULONGLONG left = Remaining(deadline);
            if (left == 0 || !SleepConditionVariableSRW(&s.changed, &s.lock, static_cast<DWORD>(left), 0)) break;
        }
        const bool done = s.finished == ticket;
        ReleaseSRWLockExclusive(&s.lock);
        return done;
    }

    static DWORD WINAPI Run(LPVOID parameter)
    {
        State* const state = static_cast<State*>(parameter);
        State& s = *state;
        std::uint64_t taken = 0;
        for (;;) {
            AcquireSRWLockExclusive(&s.lock);
            while (!s.quitting && s.asked == taken) SleepConditionVariableSRW(&s.changed, &s.lock, INFINITE, 0);
            const bool quitting = s.quitting;
            taken = s.asked;
            ReleaseSRWLockExclusive(&s.lock);
            if (quitting) break;
            FlushFileBuffers(s.pipe.get());
            s.Change([taken](State& st) { st.finished = taken; });
        }
        Shared<State>::Release(state);
        return 0;
    }

    State* state_;
    px71::UniqueHandle thread_;
};

// Who sent the request, asked of the pipe (reference: ImpersonateNamedPipeClient,
// CheckTokenMembership): the thread takes on the client's identity, opens the token
// that carries it, and gives it back before anything runs. A client that cannot be
// identified (it allowed no identification, a call failed) counts as a plain user.
// The error of a revert that failed, after which the thread must run nothing more;
// NO_ERROR otherwise. Only asked once the request is in: before, there is nobody to be.
DWORD IdentifyPipeClient(void* context, bool& administrator) noexcept
{
    const HANDLE pipe = static_cast<HANDLE>(context);
    administrator = false;
    if (!ImpersonateNamedPipeClient(pipe)) return NO_ERROR;
    HANDLE token = nullptr;
    const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
    px71::UniqueHandle held(opened ? token : nullptr);
    if (!RevertToSelf()) return GetLastError();
    if (!opened) return NO_ERROR;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
        CheckTokenMembership(held.get(), administrators, &member))
        administrator = member != FALSE;
    return NO_ERROR;
}

// One connection: the client's event, the request, the caller, the command, the reply.
// Not NO_ERROR when the serving thread could not stop acting as its client: the
// service must end rather than serve anyone else so.
DWORD ServeConnection(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent, Flusher& flusher, SlotWatch* watch)
{
    // Without its event the client could not learn that the command has run, so the
    // command is not run at all: the connection is closed at once, which the client
    // sees as a failed read, and the next client is served.
    px71::UniqueHandle clientEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, kClientEventName));
    if (!clientEvent) {
        DisconnectNamedPipe(pipe);
        return NO_ERROR;
    }
    PipeRequest request{};
    bool stopped = false;
    DWORD got = ReadRequest(pipe, ioEvent, stopEvent, request, &stopped);
    // A client that sent nothing, or a stop before the request was in, gets no reply.
    if (got == 0 || stopped) {
        DisconnectNamedPipe(pipe);
        return NO_ERROR;
    }
    Progress(kCommandWaitHintMs);
    Caller caller(IdentifyPipeClient, pipe);
    RunCommand(request, caller);
    request.LastError = GetLastError();
    if (watch) watch->AfterCommand(request);
    if (const DWORD error = caller.failure()) {
        DisconnectNamedPipe(pipe);
        return error;
    }
    Progress(kReplyWaitHintMs);
    SetEvent(clientEvent.get());
    if (WriteReply(pipe, ioEvent, stopEvent, request)) flusher.WaitUntilReplyRead();
    DisconnectNamedPipe(pipe);
    Progress(kEndWaitHintMs);
    return NO_ERROR;
}

// The serving loop: one client at a time until the stop event, and between clients a
// tick of the slot watch whenever its timer (when there is one) comes due. Returns the
// Win32 code the service stops with (0 after a stop).
DWORD ServeClients(HANDLE pipe, HANDLE connectEvent, HANDLE ioEvent, HANDLE stopEvent, Flusher& flusher,
                   SlotWatch* watch, HANDLE ticks)
{
    for (;;) {
        if (StopRequested()) return NO_ERROR;
        OVERLAPPED ov{};
        ov.hEvent = connectEvent;
        bool connected = ConnectNamedPipe(pipe, &ov) != FALSE;
        if (!connected) {
            DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED) {
                // The client opened the pipe before the connect: no event comes for it.
                connected = true;
            } else if (error == ERROR_NO_DATA) {
                DisconnectNamedPipe(pipe);  // came and went before the connect
                continue;
            } else if (error != ERROR_IO_PENDING) {
                // Try again after a pause rather than spin; a stop ends the pause. A
                // client that opens the pipe meanwhile is found by the next connect.
                if (WaitForSingleObject(stopEvent, kPipeTimeoutMs) == WAIT_OBJECT_0) return NO_ERROR;
                continue;
            }
        }
        if (!connected) {
            // A tick never runs beside a request, and the connect stays pending through it.
            HANDLE waits[3] = {connectEvent, stopEvent, ticks};
            const DWORD count = ticks ? 3 : 2;
            DWORD wait = WAIT_FAILED;
            while ((wait = WaitForMultipleObjects(count, waits, FALSE, INFINITE)) == WAIT_OBJECT_0 + 2) watch->Tick();
            if (wait != WAIT_OBJECT_0) {
                DWORD error = wait == WAIT_OBJECT_0 + 1 ? NO_ERROR : GetLastError();
                EndPendingIo(pipe);
                DWORD ignored = 0;
                GetOverlappedResult(pipe, &ov, &ignored, TRUE);  // ov lives on this stack
                // A wait that fails ends the service rather than leave it running deaf.
                return error;
            }
            DWORD ignored = 0;
            if (!GetOverlappedResult(pipe, &ov, &ignored, FALSE)) {
                DisconnectNamedPipe(pipe);
                continue;
            }
        }
        if (const DWORD error = ServeConnection(pipe, ioEvent, stopEvent, flusher, watch)) return error;
    }
}

// The access list of the pipe: SYSTEM and Administrators may do anything; Users may
// read and write but not change its access list or owner; nobody logged on over the
// network may open it (the pipe mode also rejects remote clients; the entry holds
// where that flag is not known). The accounts are named by their well-known SIDs:
// Windows translates the names, and a name that does not resolve stops the start.
// Returns a Win32 code.
DWORD BuildPipeSecurity(SECURITY_DESCRIPTOR& descriptor, px71::UniqueLocal& acl)
{
    struct Entry {
        WELL_KNOWN_SID_TYPE account;
        DWORD rights;
        ACCESS_MODE mode;
    };
    constexpr Entry kEntries[] = {
        {WinNetworkSid, FILE_ALL_ACCESS, DENY_ACCESS},
        {WinLocalSystemSid, FILE_ALL_ACCESS, GRANT_ACCESS},
        {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, GRANT_ACCESS},
        {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_WRITE, GRANT_ACCESS},
    };
    constexpr DWORD kCount = sizeof kEntries / sizeof kEntries[0];
    BYTE sids[kCount][SECURITY_MAX_SID_SIZE];
    EXPLICIT_ACCESS_W entries[kCount]{};
    for (DWORD i = 0; i < kCount; ++i) {
        DWORD size = sizeof sids[i];
        if (!CreateWellKnownSid(kEntries[i].account, nullptr, sids[i], &size)) return GetLastError();
        entries[i].grfAccessPermissions = kEntries[i].rights;
        entries[i].grfAccessMode = kEntries[i].mode;
        entries[i].grfInheritance = NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entries[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(sids[i]);
    }
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) return GetLastError();
    PACL list = nullptr;
    DWORD error = SetEntriesInAclW(kCount, entries, nullptr, &list);
    if (error != ERROR_SUCCESS) return error;
    acl.reset(list);
    // A missing list here would mean a null DACL, which lets everyone in with every right.
    if (!list) return ERROR_INVALID_ACL;
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE)) return GetLastError();
    return NO_ERROR;
}

// The slot watch's timer, due once a second from now on; null when it cannot be had,
// which the event log tells an administrator: cards then appear only when asked for.
HANDLE StartTicks() noexcept
{
    constexpr LONG kTickMs = 1000;
    px71::UniqueHandle timer(CreateWaitableTimerW(nullptr, FALSE, nullptr));
    LARGE_INTEGER due{};
    due.QuadPart = -10000LL * kTickMs;  // relative, in 100 ns units
    if (timer && SetWaitableTimer(timer.get(), &due, kTickMs, nullptr, nullptr, FALSE)) return timer.release();
    WCHAR number[16];
    px71::FixedText<WCHAR>(number, sizeof number / sizeof number[0]).Decimal(GetLastError(), 1);
    ReportToEventLog(kEventNoSlotWatch, number);
    return nullptr;
}

// From the pipe's creation to the end of the serving loop. Returns the Win32 code
// the service stops with.
DWORD RunServer(HANDLE stopEvent)
{
    SECURITY_DESCRIPTOR descriptor{};
    px71::UniqueLocal acl;
    DWORD error = BuildPipeSecurity(descriptor, acl);
    if (error != NO_ERROR) return error;
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    // The first instance, so that no other process can hold the name before us.
    // Only local clients: every local user is served, nobody over the network.
    constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
    constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    px71::UniqueFile pipe(CreateNamedPipeW(kPipeName, kOpenMode, kPipeMode, 1, kPipeBufferSize, kPipeBufferSize,
                                           kPipeTimeoutMs, &attributes));
    if (!pipe) return GetLastError();
    px71::UniqueHandle connectEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!connectEvent) return GetLastError();
    px71::UniqueHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ioEvent) return GetLastError();
    // Without it no client's reply could be waited for within bounds.
    Flusher flusher(std::move(pipe));
    if (!flusher.ready()) return GetLastError();
    // The slots are found before the service says it runs: a client served from then on
    // never meets the watch's start half-way.
    SlotWatch watch;
    const px71::UniqueHandle ticks(WatchSlotWanted() && watch.Start() ? StartTicks() : nullptr);
    // Running only from the start: a report that failed meanwhile (the answer to a
    // control) has ended the service, and it must not claim to run after all.
    DWORD starting = SERVICE_START_PENDING;
    if (!g_state.compare_exchange_strong(starting, SERVICE_RUNNING)) return NO_ERROR;
    if (!ReportStatus(SERVICE_RUNNING, 0)) return NO_ERROR;
    return ServeClients(flusher.pipe(), connectEvent.get(), ioEvent.get(), stopEvent, flusher,
                        ticks ? &watch : nullptr, ticks.get());
}

// A function of kernel32 taken by name, so that the service still runs on a Windows
// that lacks it (through void (*)(), which casts to any function type).
template <typename Function>
Function Kernel32Export(const char* name) noexcept
{
    const HMODULE kernel32 = GetModuleHandleW(W16("kernel32.dll"));
    return kernel32 ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name))) : nullptr;
}

// Hardening Windows 8 and later offer a process (reference: SetDefaultDllDirectories,
// SetProcessMitigationPolicy). Libraries loaded from here on come from System32 alone,
// never from the current folder, the service's folder or PATH; no image is loaded from
// a remote share or with a low integrity label; the legacy extension points (AppInit
// DLLs, global hooks, old IMEs) load nothing into the service; and a handle it does not
// hold raises an exception rather than reach whatever object holds that number next.
// A Windows without them keeps the process as it was.
void HardenProcess() noexcept
{
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    if (auto set = Kernel32Export<SetDirectories>("SetDefaultDllDirectories")) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
    using SetPolicy = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    auto set = Kernel32Export<SetPolicy>("SetProcessMitigationPolicy");
    if (!set) return;
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY images{};
    images.Flags = 0x1 | 0x2 | 0x4;  // no remote images, no low-label images, System32's first
    set(ProcessImageLoadPolicy, &images, sizeof images);
    PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extensions{};
    extensions.Flags = 0x1;  // DisableExtensionPoints
    set(ProcessExtensionPointDisablePolicy, &extensions, sizeof extensions);
    PROCESS_MITIGATION_STRICT_HANDLE_CHECK_POLICY handles{};
    handles.Flags = 0x1 | 0x2;  // raise on an invalid handle, for good
    set(ProcessStrictHandleCheckPolicy, &handles, sizeof handles);
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv)
{
    HardenProcess();
    (void)argc;
    (void)argv;
    g_stop_requested = false;
    g_status = RegisterServiceCtrlHandlerW(kServiceName, ServiceControlHandler);
    if (!g_status) return;
    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_stop_event = stopEvent;
    {
        ReportLock lock;
        g_reported = SERVICE_STOPPED;
        g_check_point = g_wait_hint = 0;
    }
    g_stage_hint = kEndWaitHintMs;
    g_state = SERVICE_START_PENDING;
    DWORD error = NO_ERROR;
    if (!stopEvent) {
        error = GetLastError();
    } else if (ReportStatus(SERVICE_START_PENDING, kStartWaitHintMs)) {
        EnableEjectPrivilege();
        error = RunServer(stopEvent);
        Progress(kEndWaitHintMs);  // the helper threads have ended
    }
    // Everything of the service thread is closed by now.
    ReportStopped(error);
}

} // namespace

int RunServiceProcess() noexcept
{
    SERVICE_TABLE_ENTRYW table[] = {{kServiceName, ServiceMain}, {nullptr, nullptr}};
    BOOL dispatched = StartServiceCtrlDispatcherW(table);
    DWORD error = dispatched ? NO_ERROR : GetLastError();
    if (HANDLE stop = g_stop_event.exchange(nullptr)) CloseHandle(stop);
    if (!dispatched && error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        std::fputs("PX71Service runs as a Windows service; start it with \"sc start PX71Service\".\n", stderr);
        return 1;
    }
    return 0;
}

} // namespace px71service
