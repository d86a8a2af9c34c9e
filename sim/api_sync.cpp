// Events, waits with time-outs, sleeping, the tick count and threads.
#include "sim/api.h"
#include "sim/processes.h"

#include <atomic>
#include <chrono>
#include <cmath>
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
extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    Call call("CreateEventW", {P(sa), static_cast<std::uint64_t>(manualReset), static_cast<std::uint64_t>(initialState)},
              Text(name));
    if (call.failed()) return call.FailHandle(nullptr);
    auto& named = call.machine.processes().named_events;
    if (name && *name) {
        std::u16string key = Lower(name);
        if (auto existing = named[key].lock()) {
            // Opening an existing event keeps its reset mode and state.
            HANDLE h = call.machine.AddHandle(std::make_shared<EventHandle>(existing, EVENT_ALL_ACCESS));
            SetLastError(ERROR_ALREADY_EXISTS);
            return h;
        }
        auto event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE, name);
        named[key] = event;
        SetLastError(ERROR_SUCCESS);
        return call.machine.AddHandle(std::make_shared<EventHandle>(event, EVENT_ALL_ACCESS));
    }
    auto event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE, std::u16string());
    SetLastError(ERROR_SUCCESS);
    return call.machine.AddHandle(std::make_shared<EventHandle>(event, EVENT_ALL_ACCESS));
}

extern "C" HANDLE WINAPI OpenEventW(DWORD access, BOOL inherit, LPCWSTR name)
{
    Call call("OpenEventW", {access, static_cast<std::uint64_t>(inherit)}, Text(name));
    if (call.failed()) return call.FailHandle(nullptr);
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto& named = call.machine.processes().named_events;
    auto it = named.find(Lower(name));
    auto event = it == named.end() ? nullptr : it->second.lock();
    if (!event) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return call.machine.AddHandle(std::make_shared<EventHandle>(event, access));
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
    if (signalled) call.machine.changed.notify_all();
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
    WaitUntil(call.machine, call.lock(), milliseconds, ready);
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
    return WaitUntil(call.machine, call.lock(), milliseconds, ready) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
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

// Slim reader/writer locks, exclusive mode only. They cannot fail and need no machine:
// the lock is the pointer-sized word itself, as on Windows.
extern "C" void WINAPI InitializeSRWLock(PSRWLOCK lock) { std::atomic_ref<PVOID>(lock->Ptr).store(nullptr); }

extern "C" void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock)
{
    std::atomic_ref<PVOID> word(lock->Ptr);
    PVOID free = nullptr;
    while (!word.compare_exchange_weak(free, reinterpret_cast<PVOID>(1), std::memory_order_acquire)) {
        free = nullptr;
        std::this_thread::yield();
    }
}

extern "C" void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock)
{
    std::atomic_ref<PVOID>(lock->Ptr).store(nullptr, std::memory_order_release);
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
    call.machine.processes().threads.emplace_back([machine, state, start, parameter] {
        BindThreadToMachine(*machine);
        DWORD code = start(parameter);
        std::lock_guard lock(machine->mutex);
        state->finished = true;
        state->exit_code = code;
        machine->changed.notify_all();
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
