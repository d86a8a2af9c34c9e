// Shared by the files that implement the Win32 subset: the guard every call enters.
#pragma once

#include "sim/machine.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace sim::api {

inline std::uint64_t P(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// A failed call of the BOOL kind: the last error set, FALSE returned.
inline BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

inline std::string Text(LPCWSTR s) { return s ? Narrow(s) : std::string("(null)"); }
inline std::string Text(LPCSTR s) { return s ? Narrow(FromAnsi(s)) : std::string("(null)"); }

// Every API function starts with a Call: it takes the machine's lock, writes the
// call log and asks the fault injector whether this call is to fail.
class Call {
public:
    Call(const char* function, std::initializer_list<std::uint64_t> args, std::string text = {})
        : machine(Current()), lock_(Interleave(machine)), fault_(machine.Enter(function, args, std::move(text)))
    {
        while (machine.Held(function)) machine.changed.wait(lock_);
    }

    bool failed() const { return fault_.has_value(); }
    BOOL FailBool() const
    {
        SetLastError(fault_->error);
        return FALSE;
    }
    HANDLE FailHandle(HANDLE failure) const
    {
        SetLastError(fault_->error);
        return failure;
    }
    LSTATUS FailStatus() const { return static_cast<LSTATUS>(fault_->error); }
    CONFIGRET FailConfig() const { return fault_->cr; }
    DWORD error() const { return fault_->error; }

    // Blocking calls give the lock up while they wait.
    std::unique_lock<std::recursive_mutex>& lock() { return lock_; }

    Machine& machine;

private:
    static std::recursive_mutex& Interleave(Machine& m)
    {
        if (m.interleave_calls) std::this_thread::sleep_for(std::chrono::microseconds(20));
        return m.mutex;
    }

    std::unique_lock<std::recursive_mutex> lock_;
    std::optional<Machine::FaultHit> fault_;
};

// The element a SetupAPI call names: checks the set handle, the structure size and
// that the element belongs to the set, setting the last error as SetupAPI does.
const DevNode* SetupElement(Machine& machine, HDEVINFO set, PSP_DEVINFO_DATA data);

// The object behind a handle, or null with ERROR_INVALID_HANDLE as the last error.
inline std::shared_ptr<KernelObject> HandleObject(Machine& machine, HANDLE handle)
{
    auto object = machine.Object(handle);
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

// Windows paths are compared without regard to case.
bool PathEquals(std::u16string_view a, std::u16string_view b);

} // namespace sim::api
