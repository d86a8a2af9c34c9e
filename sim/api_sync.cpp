// Events, waits with time-outs, sleeping, the tick count and threads.
#include "sim/api.h"
#include "sim/identity.h"
#include "sim/processes.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

using namespace sim;
using namespace sim::api;

void sim::Processes::JoinThreads()
{
    for (auto& t : threads)
        if (t.joinable()) t.join();
    threads.clear();
}

namespace {

// The object behind a handle a wait may use, or null with the last error set.
std::shared_ptr<KernelObject> Waitable(Machine& machine, HANDLE handle)
{
    auto object = machine.Object(handle);
    if (!object || !object->Waitable()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // A handle opened without SYNCHRONIZE (an event opened for EVENT_MODIFY_STATE) cannot wait.
    auto event = std::dynamic_pointer_cast<EventHandle>(object);
    if (event && (event->access & SYNCHRONIZE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return object;
}

} // namespace

// ---------------------------------------------------------------- events
namespace {

// A named event keeps the access list it was created with; a handle opened on it later
// gets only what the list grants the caller (reference: "Synchronization Object Security
// and Access Rights").
class SecuredEvent : public EventObject {
public:
    SecuredEvent(bool manual_reset, bool signalled, std::u16string name, AccessList access)
        : EventObject(manual_reset, signalled, std::move(name)), access(std::move(access))
    {
    }
    const AccessList access;
};

constexpr GenericMapping kEventMapping{READ_CONTROL | EVENT_QUERY_STATE, READ_CONTROL | EVENT_MODIFY_STATE,
                                       READ_CONTROL | SYNCHRONIZE, EVENT_ALL_ACCESS};

std::shared_ptr<EventObject> FindEvent(Machine& machine, LPCWSTR name)
{
    auto& named = machine.processes().named_events;
    auto it = named.find(Lower(name));
    return it == named.end() ? nullptr : it->second.lock();
}

// A handle to an existing event, if its access list grants what is asked.
HANDLE OpenExisting(Machine& machine, const std::shared_ptr<EventObject>& event, ACCESS_MASK access)
{
    auto secured = std::dynamic_pointer_cast<SecuredEvent>(event);
    if (secured && !AccessGranted(machine, secured->access, access, kEventMapping)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return machine.AddHandle(std::make_shared<EventHandle>(event, MapGeneric(access, kEventMapping)));
}

// CreateEventW and CreateEventExW: a new event, whose creator's handle has the access
// asked for, or the existing one of that name opened for it (its mode and state kept).
HANDLE CreateOrOpenEvent(Call& call, LPSECURITY_ATTRIBUTES sa, bool manual_reset, bool signalled, LPCWSTR name,
                         ACCESS_MASK access)
{
    if (name && *name) {
        if (auto existing = FindEvent(call.machine, name)) {
            HANDLE h = OpenExisting(call.machine, existing, access);
            if (h) SetLastError(ERROR_ALREADY_EXISTS);
            return h;
        }
    }
    const std::u16string event_name = name ? std::u16string(name) : std::u16string();
    auto event = std::make_shared<SecuredEvent>(manual_reset, signalled, event_name, AccessListFor(call.machine, sa));
    if (!event_name.empty()) call.machine.processes().named_events[Lower(event_name)] = event;
    SetLastError(ERROR_SUCCESS);
    return call.machine.AddHandle(std::make_shared<EventHandle>(event, MapGeneric(access, kEventMapping)));
}

} // namespace

// An existing event is opened for EVENT_ALL_ACCESS (reference: CreateEventW, lpName).
extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    Call call("CreateEventW", {P(sa), static_cast<std::uint64_t>(manualReset), static_cast<std::uint64_t>(initialState)},
              Text(name));
    if (call.failed()) return call.FailHandle(nullptr);
    return CreateOrOpenEvent(call, sa, manualReset != FALSE, initialState != FALSE, name, EVENT_ALL_ACCESS);
}

extern "C" HANDLE WINAPI CreateEventExW(LPSECURITY_ATTRIBUTES sa, LPCWSTR name, DWORD flags, DWORD desiredAccess)
{
    Call call("CreateEventExW", {P(sa), flags, desiredAccess}, Text(name));
    if (call.failed()) return call.FailHandle(nullptr);
    if (flags & ~static_cast<DWORD>(CREATE_EVENT_MANUAL_RESET | CREATE_EVENT_INITIAL_SET)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateOrOpenEvent(call, sa, flags & CREATE_EVENT_MANUAL_RESET, flags & CREATE_EVENT_INITIAL_SET, name,
                             desiredAccess);
}

extern "C" HANDLE WINAPI OpenEventW(DWORD access, BOOL inherit, LPCWSTR name)
{
    Call call("OpenEventW", {access, static_cast<std::uint64_t>(inherit)}, Text(name));
    if (call.failed()) return call.FailHandle(nullptr);
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto event = FindEvent(call.machine, name);
    if (!event) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return OpenExisting(call.machine, event, access);
}

namespace {
BOOL ChangeEvent(Call& call, HANDLE handle, bool signalled)
{
    if (call.failed()) return call.FailBool();
    auto object = std::dynamic_pointer_cast<EventHandle>(call.machine.Object(handle));
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((object->access & EVENT_MODIFY_STATE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    object->event->signalled = signalled;
    if (signalled) call.machine.Notify();
    return TRUE;
}
} // namespace

extern "C" BOOL WINAPI SetEvent(HANDLE event)
{
    Call call("SetEvent", {P(event)});
    return ChangeEvent(call, event, true);
}

extern "C" BOOL WINAPI ResetEvent(HANDLE event)
{
    Call call("ResetEvent", {P(event)});
    return ChangeEvent(call, event, false);
}

// ---------------------------------------------------------------- waits
extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
{
    Call call("WaitForMultipleObjects", {count, static_cast<std::uint64_t>(waitAll), milliseconds});
    if (call.failed()) {
        SetLastError(call.error());
        return WAIT_FAILED;
    }
    if (!handles || count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<KernelObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
        auto object = Waitable(call.machine, handles[i]);
        if (!object) return WAIT_FAILED;
        objects.push_back(object);
    }
    DWORD satisfied = WAIT_TIMEOUT;
    const auto next_due = [&] {
        std::optional<std::chrono::steady_clock::time_point> due;
        for (const auto& o : objects)
            if (const auto at = o->SignalsAt(); at && (!due || *at < *due)) due = at;
        return due;
    };
    auto ready = [&] {
        if (waitAll) {
            for (auto& o : objects)
                if (!o->Signalled()) return false;
            for (auto& o : objects) o->Satisfy();
            satisfied = WAIT_OBJECT_0;
            return true;
        }
        for (DWORD i = 0; i < count; ++i) {
            if (objects[i]->Signalled()) {
                objects[i]->Satisfy();
                satisfied = WAIT_OBJECT_0 + i;
                return true;
            }
        }
        return false;
    };
    WaitUntil(call.machine, call.lock(), milliseconds, ready, next_due);
    return satisfied;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    Call call("WaitForSingleObject", {P(handle), milliseconds});
    if (call.failed()) {
        SetLastError(call.error());
        return WAIT_FAILED;
    }
    auto object = Waitable(call.machine, handle);
    if (!object) return WAIT_FAILED;
    auto ready = [&] {
        if (!object->Signalled()) return false;
        object->Satisfy();
        return true;
    };
    return WaitUntil(call.machine, call.lock(), milliseconds, ready, [&] { return object->SignalsAt(); })
               ? WAIT_OBJECT_0
               : WAIT_TIMEOUT;
}

extern "C" void WINAPI Sleep(DWORD milliseconds)
{
    Call call("Sleep", {milliseconds});
    // A sleep ends on a timer tick: it lasts whole ticks, at least the time asked for.
    DWORD wait = milliseconds;
    const double tick = call.machine.timer_tick_ms;
    if (milliseconds != 0 && milliseconds != INFINITE && tick > 0)
        wait = static_cast<DWORD>(std::ceil(std::ceil(milliseconds / tick) * tick));
    WaitUntil(call.machine, call.lock(), wait, [] { return false; });
}

// ---------------------------------------------------------------- waitable timers
namespace {

// Reference: CreateWaitableTimerW, SetWaitableTimer, CancelWaitableTimer. A timer is
// set to a due time, relative (negative, in 100 ns units) or absolute (a FILETIME), and
// optionally a period in milliseconds after which it is due again, until cancelled.
// When due it becomes signalled: a notification timer (manual reset) stays so until it
// is set again; a synchronization timer until a wait is satisfied. A periodic timer
// that nobody waits for is signalled once however many periods pass. Setting a timer
// makes it non-signalled; cancelling it leaves its state. Due times follow the
// machine's clock.
class TimerObject : public KernelObject {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    TimerObject(Machine& machine, bool manual_reset) : machine_(machine), manual_reset_(manual_reset) {}
    const char* kind() const override { return "timer"; }
    bool Waitable() const override { return true; }
    bool Signalled() const override
    {
        Expire();
        return signalled_;
    }
    void Satisfy() override
    {
        Expire();
        if (!manual_reset_) signalled_ = false;
    }
    std::optional<TimePoint> SignalsAt() const override
    {
        Expire();
        if (signalled_ || !due_) return std::nullopt;
        return due_;
    }

    void Set(TimePoint due, std::chrono::milliseconds period)
    {
        due_ = due;
        period_ = period;
        signalled_ = false;
        Expire();
    }
    void Stop() { due_.reset(); }

private:
    // The due times that have passed on the machine's clock.
    void Expire() const
    {
        const TimePoint now = machine_.Now();
        if (!due_ || now < *due_) return;
        signalled_ = true;
        if (period_.count() > 0) {
            const auto missed = (now - *due_) / period_;
            *due_ += period_ * (missed + 1);
        } else {
            due_.reset();
        }
    }

    Machine& machine_;
    const bool manual_reset_;
    mutable bool signalled_ = false;
    mutable std::optional<TimePoint> due_;
    std::chrono::milliseconds period_{0};
};

// 100 ns units between 1601-01-01 and 1970-01-01, the epochs of FILETIME and the host's clock.
constexpr long long kFileTimeToUnix = 116444736000000000LL;

} // namespace

// Named timers are not modelled: nothing of PX71 shares one.
extern "C" HANDLE WINAPI CreateWaitableTimerW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, LPCWSTR name)
{
    Call call("CreateWaitableTimerW", {P(sa), static_cast<std::uint64_t>(manualReset)}, Text(name));
    if (call.failed()) return call.FailHandle(nullptr);
    if (name) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return call.machine.AddHandle(std::make_shared<TimerObject>(call.machine, manualReset != FALSE));
}

extern "C" BOOL WINAPI SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period,
                                        PTIMERAPCROUTINE completion, LPVOID argument, BOOL resume)
{
    Call call("SetWaitableTimer", {P(timer), dueTime ? static_cast<std::uint64_t>(dueTime->QuadPart) : 0u,
                                   static_cast<std::uint64_t>(static_cast<std::uint32_t>(period)),
                                   P(reinterpret_cast<void*>(completion)), P(argument),
                                   static_cast<std::uint64_t>(resume)});
    if (call.failed()) return call.FailBool();
    auto object = std::dynamic_pointer_cast<TimerObject>(call.machine.Object(timer));
    if (!object) return Fail(ERROR_INVALID_HANDLE);
    // Completion routines run as APCs in an alertable wait, which nothing here makes.
    if (!dueTime || period < 0 || completion) return Fail(ERROR_INVALID_PARAMETER);
    using namespace std::chrono;
    const auto now = call.machine.Now();
    steady_clock::time_point due;
    if (dueTime->QuadPart < 0) {
        due = now + duration_cast<steady_clock::duration>(nanoseconds(-dueTime->QuadPart * 100));
    } else {
        const long long host = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 +
                               kFileTimeToUnix;
        const long long ahead = dueTime->QuadPart - host;
        due = ahead > 0 ? now + duration_cast<steady_clock::duration>(nanoseconds(ahead * 100)) : now;
    }
    object->Set(due, milliseconds(period));
    call.machine.Notify();
    // The resume flag asks for power management, which the machine does not model.
    return TRUE;
}

extern "C" BOOL WINAPI CancelWaitableTimer(HANDLE timer)
{
    Call call("CancelWaitableTimer", {P(timer)});
    if (call.failed()) return call.FailBool();
    auto object = std::dynamic_pointer_cast<TimerObject>(call.machine.Object(timer));
    if (!object) return Fail(ERROR_INVALID_HANDLE);
    object->Stop();
    call.machine.Notify();
    return TRUE;
}

// Slim reader/writer locks, exclusive mode only, and condition variables with them. The
// lock is the pointer-sized word itself, as on Windows, and the variable's word counts
// its wakes: a sleeper waits for the count to move on, so no wake between its release
// of the lock and its sleep is lost. A wake may wake more sleepers than it names, which
// Windows allows too (reference: SleepConditionVariableSRW, "spurious wakeups"). A thread
// that must wait for either waits on the machine, so that its wait follows the machine's
// clock (virtual time) like every other wait; they cannot fail and are not logged.
namespace {
bool TakeLock(PSRWLOCK lock)
{
    PVOID free = nullptr;
    return std::atomic_ref<PVOID>(lock->Ptr).compare_exchange_strong(free, reinterpret_cast<PVOID>(1),
                                                                     std::memory_order_acquire);
}
} // namespace

extern "C" void WINAPI InitializeSRWLock(PSRWLOCK lock) { std::atomic_ref<PVOID>(lock->Ptr).store(nullptr); }

extern "C" void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock)
{
    if (TakeLock(lock)) return;
    Machine& machine = Current();
    std::unique_lock guard(machine.mutex);
    WaitUntil(machine, guard, INFINITE, [lock] { return TakeLock(lock); });
}

extern "C" void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock)
{
    std::atomic_ref<PVOID>(lock->Ptr).store(nullptr, std::memory_order_release);
    Machine& machine = Current();
    std::lock_guard guard(machine.mutex);
    machine.Notify();
}

extern "C" BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE cv, PSRWLOCK lock, DWORD milliseconds,
                                                 ULONG flags)
{
    if (flags != 0) {  // shared mode is not modelled
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::atomic_ref<PVOID> word(cv->Ptr);
    Machine& machine = Current();
    bool woken = false;
    {
        std::unique_lock guard(machine.mutex);
        const PVOID seen = word.load();
        ReleaseSRWLockExclusive(lock);
        woken = WaitUntil(machine, guard, milliseconds, [&] { return word.load() != seen; });
    }
    AcquireSRWLockExclusive(lock);
    if (!woken) SetLastError(ERROR_TIMEOUT);
    return woken ? TRUE : FALSE;
}

extern "C" void WINAPI WakeConditionVariable(PCONDITION_VARIABLE cv) { WakeAllConditionVariable(cv); }

extern "C" void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE cv)
{
    Machine& machine = Current();
    std::lock_guard guard(machine.mutex);
    std::atomic_ref<PVOID> word(cv->Ptr);
    word.store(reinterpret_cast<PVOID>(reinterpret_cast<std::uintptr_t>(word.load()) + 1));
    machine.Notify();
}

extern "C" ULONGLONG WINAPI GetTickCount64(void)
{
    Call call("GetTickCount64", {});
    auto since = call.machine.Now().time_since_epoch();
    return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

// ---------------------------------------------------------------- threads
extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                      LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    Call call("CreateThread", {P(sa), stackSize, P(reinterpret_cast<void*>(start)), P(parameter), flags});
    if (call.failed()) return call.FailHandle(nullptr);
    if (!start || flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto state = std::make_shared<ThreadState>();
    Machine* machine = &call.machine;
    static std::atomic<DWORD> next_id{0x100};
    DWORD id = next_id++;
    if (threadId) *threadId = id;
    const DWORD process_id = CallerProcessId(call.machine);  // a thread of the creator's process
    call.machine.ExpectThread();
    call.machine.processes().threads.emplace_back([machine, state, start, parameter, process_id] {
        BindThreadToMachine(*machine);
        InProcess in_process(process_id);
        DWORD code = 0;
        {
            TakePart part(*machine, false, true);
            code = start(parameter);
        }
        std::lock_guard lock(machine->mutex);
        state->finished = true;
        state->exit_code = code;
        machine->Notify();
    });
    return call.machine.AddHandle(std::make_shared<ThreadHandle>(state));
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    Call call("GetExitCodeThread", {P(thread)});
    if (call.failed()) return call.FailBool();
    auto object = std::dynamic_pointer_cast<ThreadHandle>(call.machine.Object(thread));
    if (!object || !exitCode) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = object->state->exit_code;
    return TRUE;
}
