// Owners for everything PX71 takes from the system: kernel handles, device-information
// sets, registry keys and heap blocks. An owner releases what it holds when it goes
// out of scope, so "released on every path" holds by construction.
#pragma once

#include <utility>

namespace px71 {

template <typename Traits>
class UniqueAny {
public:
    using pointer = typename Traits::type;

    UniqueAny() noexcept = default;
    explicit UniqueAny(pointer value) noexcept : value_(value) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueAny() { reset(); }

    pointer get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }
    void reset(pointer value = Traits::invalid()) noexcept
    {
        pointer old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }

private:
    pointer value_ = Traits::invalid();
};

// CreateFile, CreateNamedPipe: failure is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { CloseHandle(h); }
};

// CreateEvent, OpenEvent, process and thread handles: failure is NULL.
struct KernelHandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { CloseHandle(h); }
};

struct DevInfoTraits {
    using type = HDEVINFO;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { SetupDiDestroyDeviceInfoList(h); }
};

struct RegKeyTraits {
    using type = HKEY;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { RegCloseKey(h); }
};

struct HeapBlockTraits {
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type p) noexcept { HeapFree(GetProcessHeap(), 0, p); }
};

struct LocalBlockTraits {
    using type = HLOCAL;
    static type invalid() noexcept { return nullptr; }
    static void close(type p) noexcept { LocalFree(p); }
};

// OpenSCManager, OpenService: failure is NULL.
struct ServiceHandleTraits {
    using type = SC_HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { CloseServiceHandle(h); }
};

using UniqueFile = UniqueAny<FileHandleTraits>;
using UniqueHandle = UniqueAny<KernelHandleTraits>;
using UniqueDevInfo = UniqueAny<DevInfoTraits>;
using UniqueRegKey = UniqueAny<RegKeyTraits>;
using UniqueLocal = UniqueAny<LocalBlockTraits>;
using UniqueServiceHandle = UniqueAny<ServiceHandleTraits>;

// A block from the process heap, read through the type the caller names.
class HeapBlock : public UniqueAny<HeapBlockTraits> {
public:
    HeapBlock() noexcept = default;
    explicit HeapBlock(SIZE_T bytes) noexcept
        : UniqueAny(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes))
    {
    }
    template <typename T>
    T* as() const noexcept
    {
        return static_cast<T*>(get());
    }
};

// While it lives, the calling thread's file-system calls on an empty removable drive
// fail with ERROR_NOT_READY instead of raising the system's "There is no disk in the
// drive" box, which would wait for an answer in whatever program loaded the library.
// The thread's own mode comes back when it goes.
class QuietCriticalErrors {
public:
    QuietCriticalErrors() noexcept { set_ = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old_) != FALSE; }
    ~QuietCriticalErrors()
    {
        if (set_) SetThreadErrorMode(old_, nullptr);
    }
    QuietCriticalErrors(const QuietCriticalErrors&) = delete;
    QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

private:
    DWORD old_ = 0;
    bool set_ = false;
};

} // namespace px71
