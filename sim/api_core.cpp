// Last error, heap, handles, CreateFile's routing to the machine's devices,
// DeviceIoControl, and the code-page conversions.
#include "sim/api.h"
#include "sim/devices.h"

#include <cstring>

using namespace sim;
using namespace sim::api;

namespace {
thread_local DWORD t_last_error = 0;
thread_local DWORD t_error_mode = 0;
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x00F00000));
} // namespace

bool sim::api::PathEquals(std::u16string_view a, std::u16string_view b) { return EqualNoCase(a, b); }

extern "C" DWORD WINAPI GetLastError(void) { return t_last_error; }
extern "C" void WINAPI SetLastError(DWORD error) { t_last_error = error; }

// The thread's error mode (reference: SetThreadErrorMode): whether the system shows its
// hard-error box ("There is no disk in the drive") to this thread's file-system calls.
extern "C" DWORD WINAPI GetThreadErrorMode(void) { return t_error_mode; }

extern "C" BOOL WINAPI SetThreadErrorMode(DWORD newMode, LPDWORD oldMode)
{
    Call call("SetThreadErrorMode", {newMode, P(oldMode)});
    if (call.failed()) return call.FailBool();
    if (newMode & ~static_cast<DWORD>(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (oldMode) *oldMode = t_error_mode;
    t_error_mode = newMode;
    return TRUE;
}

// ---------------------------------------------------------------- heap
extern "C" HANDLE WINAPI GetProcessHeap(void) { return kProcessHeap; }

extern "C" LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    Call call("HeapAlloc", {P(heap), flags, bytes});
    if (call.failed() || heap != kProcessHeap) return nullptr;  // HeapAlloc sets no last error
    return call.machine.Allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
}

extern "C" BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID mem)
{
    Call call("HeapFree", {P(heap), flags, P(mem)});
    if (!mem) return TRUE;
    if (heap != kProcessHeap || !call.machine.Free(mem)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes)
{
    Call call("LocalAlloc", {flags, bytes});
    if (call.failed()) return call.FailHandle(nullptr);
    return call.machine.Allocate(bytes, (flags & LMEM_ZEROINIT) != 0);
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL mem)
{
    Call call("LocalFree", {P(mem)});
    if (!mem) return nullptr;
    if (!call.machine.Free(mem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return mem;
    }
    return nullptr;
}

// ---------------------------------------------------------------- handles and devices
extern "C" BOOL WINAPI CloseHandle(HANDLE handle)
{
    Call call("CloseHandle", {P(handle)});
    // A release that is made to fail still releases: the fault is in the report only.
    if (call.failed()) {
        call.machine.CloseObject(handle);
        return call.FailBool();
    }
    if (!call.machine.CloseObject(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                     DWORD disposition, DWORD flags, HANDLE templ)
{
    Call call("CreateFileW", {access, share, disposition, flags, P(sa), P(templ)}, Text(name));
    if (call.failed()) return call.FailHandle(INVALID_HANDLE_VALUE);
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return OpenPath(call.machine, name, {access, share, disposition, flags});
}

extern "C" HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                     DWORD disposition, DWORD flags, HANDLE templ)
{
    Call call("CreateFileA", {access, share, disposition, flags, P(sa), P(templ)}, Text(name));
    if (call.failed()) return call.FailHandle(INVALID_HANDLE_VALUE);
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return OpenPath(call.machine, FromAnsi(name), {access, share, disposition, flags});
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                       DWORD outSize, LPDWORD returned, LPOVERLAPPED ov)
{
    Call call("DeviceIoControl", {P(device), code, inSize, outSize, P(ov)});
    if (call.failed()) return call.FailBool();
    auto object = HandleObject(call.machine, device);
    if (!object) return FALSE;
    DWORD count = 0;
    BOOL ok = object->Ioctl(code, in, inSize, out, outSize, &count);
    // The count comes back with a request that succeeded; one that failed with an error
    // status leaves the caller's count as it was (none of ours fails with a warning).
    if (returned && ok) *returned = count;
    return ok;
}

extern "C" BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov)
{
    Call call("ReadFile", {P(file), toRead, P(ov)});
    if (call.failed()) return call.FailBool();
    auto object = HandleObject(call.machine, file);
    if (!object) return FALSE;
    if (!buffer || (!read && !ov)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    return object->Read(call.machine, call.lock(), buffer, toRead, read, ov);
}

extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov)
{
    Call call("WriteFile", {P(file), toWrite, P(ov)});
    if (call.failed()) return call.FailBool();
    auto object = HandleObject(call.machine, file);
    if (!object) return FALSE;
    if (!buffer || (!written && !ov)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    return object->Write(call.machine, call.lock(), buffer, toWrite, written, ov);
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    Call call("FlushFileBuffers", {P(file)});
    if (call.failed()) return call.FailBool();
    auto object = HandleObject(call.machine, file);
    if (!object) return FALSE;
    return object->Flush(call.machine, call.lock());
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method)
{
    Call call("SetFilePointer", {P(file), static_cast<std::uint64_t>(distance), method});
    if (call.failed()) {
        SetLastError(call.error());
        return INVALID_SET_FILE_POINTER;
    }
    auto object = HandleObject(call.machine, file);
    if (!object) return INVALID_SET_FILE_POINTER;
    return object->SetPointer(distance, distanceHigh, method);
}

// ---------------------------------------------------------------- code pages
extern "C" UINT WINAPI GetACP(void) { return 1252; }

extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLen, LPSTR multi,
                                          int multiLen, LPCSTR defaultChar, LPBOOL usedDefault)
{
    Call call("WideCharToMultiByte", {codePage, flags, static_cast<std::uint64_t>(wideLen),
                                      static_cast<std::uint64_t>(multiLen)});
    if (call.failed()) {
        SetLastError(call.error());
        return 0;
    }
    if (!wide || wideLen == 0 || multiLen < 0 || (codePage != CP_ACP && codePage != CP_UTF8) ||
        (codePage == CP_UTF8 && (defaultChar || usedDefault))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string_view source = wideLen < 0 ? std::u16string_view(wide, std::char_traits<char16_t>::length(wide) + 1)
                                             : std::u16string_view(wide, static_cast<std::size_t>(wideLen));
    std::string converted;
    if (codePage == CP_UTF8) {
        converted = Narrow(source);
    } else {
        converted = ToAnsi(source);
        char fallback = defaultChar ? *defaultChar : '?';
        bool used = false;
        for (std::size_t i = 0; i < converted.size(); ++i) {
            if (converted[i] == '?' && source[i] != u'?') {
                converted[i] = fallback;
                used = true;
            }
        }
        if (usedDefault) *usedDefault = used;
    }
    if (multiLen == 0) return static_cast<int>(converted.size());
    if (converted.size() > static_cast<std::size_t>(multiLen)) {
        std::memcpy(multi, converted.data(), static_cast<std::size_t>(multiLen));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(multi, converted.data(), converted.size());
    return static_cast<int>(converted.size());
}

extern "C" int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi, int multiLen, LPWSTR wide,
                                          int wideLen)
{
    Call call("MultiByteToWideChar", {codePage, flags, static_cast<std::uint64_t>(multiLen),
                                      static_cast<std::uint64_t>(wideLen)});
    if (call.failed()) {
        SetLastError(call.error());
        return 0;
    }
    if (!multi || multiLen == 0 || wideLen < 0 || (codePage != CP_ACP && codePage != CP_UTF8)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string_view source = multiLen < 0 ? std::string_view(multi, std::strlen(multi) + 1)
                                           : std::string_view(multi, static_cast<std::size_t>(multiLen));
    std::u16string converted = codePage == CP_UTF8 ? Widen(source) : FromAnsi(source);
    if (wideLen == 0) return static_cast<int>(converted.size());
    if (converted.size() > static_cast<std::size_t>(wideLen)) {
        // Windows fills what fits before it reports the shortage.
        std::memcpy(wide, converted.data(), static_cast<std::size_t>(wideLen) * sizeof(char16_t));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(wide, converted.data(), converted.size() * sizeof(char16_t));
    return static_cast<int>(converted.size());
}
