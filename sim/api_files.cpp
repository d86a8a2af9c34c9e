// Modules, local time and the file calls that go beyond ReadFile and WriteFile:
// byte-range locks, sizes, deletion. CreateFile reaches files through OpenPath.
#include "sim/api.h"
#include "sim/files.h"
#include <shlobj.h>
#include "sim/identity.h"
#include "sim/processes.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

using namespace sim;
using namespace sim::api;

namespace {

// The process's own module: what GetModuleHandleW(NULL) returns.
HMODULE const kProcessModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x00400000));
// kernel32.dll, loaded in every process.
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7ff800000000));

ProcessHardening& CallersHardening(Machine& machine) { return machine.processes().hardening[CallerProcessId(machine)]; }

// Only the flags the loader documents; a second call replaces the first.
BOOL WINAPI SetDefaultDllDirectoriesExport(DWORD flags)
{
    Call call("SetDefaultDllDirectories", {flags});
    if (call.failed()) return call.FailBool();
    constexpr DWORD kKnown = 0x00000100 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR | 0x00000400 | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                             0x00001000;
    if (flags == 0 || (flags & ~kKnown) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CallersHardening(call.machine).dll_directories = flags;
    return TRUE;
}

// The three policies the simulator knows, each a DWORD of flags. Once on, a policy stays
// on: a call that would turn a flag off fails (reference: SetProcessMitigationPolicy).
BOOL WINAPI SetProcessMitigationPolicyExport(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T length)
{
    Call call("SetProcessMitigationPolicy", {static_cast<std::uint64_t>(policy), P(buffer), length});
    if (call.failed()) return call.FailBool();
    const bool known = policy == ProcessStrictHandleCheckPolicy || policy == ProcessExtensionPointDisablePolicy ||
                       policy == ProcessImageLoadPolicy;
    if (!known || !buffer || length != sizeof(DWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD flags = 0;
    std::memcpy(&flags, buffer, sizeof flags);
    DWORD& set = CallersHardening(call.machine).mitigations[policy];
    if ((set & ~flags) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    set = flags;
    return TRUE;
}

std::u16string FileName(std::u16string_view path)
{
    auto slash = path.find_last_of(u"\\/");
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::shared_ptr<FileObject> File(Call& call, HANDLE handle)
{
    auto object = call.machine.Object(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto file = std::dynamic_pointer_cast<FileObject>(object);
    if (!file) SetLastError(ERROR_INVALID_FUNCTION);
    return file;
}

std::uint64_t Offset(const OVERLAPPED* ov) { return std::uint64_t{ov->OffsetHigh} << 32 | ov->Offset; }

} // namespace

extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR name)
{
    Call call("GetModuleHandleW", {P(name)}, Text(name));
    if (call.failed()) return static_cast<HMODULE>(call.FailHandle(nullptr));
    if (!name) return kProcessModule;
    if (EqualNoCase(std::u16string(name), u"kernel32.dll") || EqualNoCase(std::u16string(name), u"kernel32"))
        return kKernel32;
    // By name: the program itself, with or without its extension.
    std::u16string program = FileName(call.machine.files().program_path());
    std::u16string wanted(name);
    if (EqualNoCase(wanted, program) || EqualNoCase(wanted + u".exe", program)) return kProcessModule;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

bool sim::ProcessHardening::StrictHandleChecks() const
{
    auto it = mitigations.find(ProcessStrictHandleCheckPolicy);
    return it != mitigations.end() && (it->second & 1) != 0;
}

// kernel32's exports that code takes by name; of Windows 8 and later only where the
// machine has them.
extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    Call call("GetProcAddress", {P(module), P(name)}, name ? name : "");
    if (call.failed()) return reinterpret_cast<FARPROC>(call.FailHandle(nullptr));
    if (module != kKernel32 || !name || !call.machine.mitigation_exports) {
        SetLastError(module == kKernel32 || module == kProcessModule ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const std::string wanted(name);
    // Through void (*)(), which casts to any function type, as GetProcAddress's callers do.
    if (wanted == "SetDefaultDllDirectories")
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetDefaultDllDirectoriesExport));
    if (wanted == "SetProcessMitigationPolicy")
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetProcessMitigationPolicyExport));
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size)
{
    Call call("GetModuleFileNameW", {P(module), P(name), size});
    if (call.failed()) {
        SetLastError(call.error());
        return 0;
    }
    if (module && module != kProcessModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::u16string& path = call.machine.files().program_path();
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        // Cut to the buffer with its terminator, and say so.
        std::memcpy(name, path.data(), (size - 1) * sizeof(WCHAR));
        name[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(name, path.data(), path.size() * sizeof(WCHAR));
    name[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME time)
{
    Call call("GetLocalTime", {P(time)});
    if (call.machine.local_time) {
        *time = *call.machine.local_time;
        return;
    }
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    *time = SYSTEMTIME{static_cast<WORD>(local.tm_year + 1900), static_cast<WORD>(local.tm_mon + 1),
                       static_cast<WORD>(local.tm_wday),         static_cast<WORD>(local.tm_mday),
                       static_cast<WORD>(local.tm_hour),         static_cast<WORD>(local.tm_min),
                       static_cast<WORD>(local.tm_sec),          static_cast<WORD>(ms)};
}

extern "C" BOOL WINAPI LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                                  LPOVERLAPPED ov)
{
    Call call("LockFileEx", {P(file), flags, reserved, bytesLow, bytesHigh, P(ov)});
    if (call.failed()) return call.FailBool();
    if (reserved != 0 || !ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto object = File(call, file);
    if (!object) return FALSE;
    if (call.machine.no_byte_range_locks) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const std::uint64_t length = std::uint64_t{bytesHigh} << 32 | bytesLow;
    const bool exclusive = flags & LOCKFILE_EXCLUSIVE_LOCK;
    if (flags & LOCKFILE_FAIL_IMMEDIATELY) return object->Lock(Offset(ov), length, exclusive, true);
    // A synchronous handle waits until the range is free.
    while (!object->Lock(Offset(ov), length, exclusive, false)) {
        call.lock().unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        call.lock().lock();
    }
    return TRUE;
}

extern "C" BOOL WINAPI UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh, LPOVERLAPPED ov)
{
    Call call("UnlockFileEx", {P(file), reserved, bytesLow, bytesHigh, P(ov)});
    if (call.failed()) return call.FailBool();
    if (reserved != 0 || !ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto object = File(call, file);
    if (!object) return FALSE;
    return object->Unlock(Offset(ov), std::uint64_t{bytesHigh} << 32 | bytesLow);
}

extern "C" DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh)
{
    Call call("GetFileSize", {P(file), P(sizeHigh)});
    if (call.failed()) {
        SetLastError(call.error());
        return INVALID_FILE_SIZE;
    }
    auto object = File(call, file);
    if (!object) return INVALID_FILE_SIZE;
    const std::uint64_t size = object->Size();
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
    if (static_cast<DWORD>(size) == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
    return static_cast<DWORD>(size);
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR name)
{
    Call call("DeleteFileW", {P(name)}, Text(name));
    if (call.failed()) return call.FailBool();
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return call.machine.files().Delete(name);
}

extern "C" const KNOWNFOLDERID FOLDERID_ProgramFiles = {
    0x905e63b6, 0xc1bf, 0x494e, {0xb2, 0x9c, 0x65, 0xb7, 0x32, 0xd3, 0xd2, 0x1a}};

// Program Files only; any other folder is one this machine does not know.
extern "C" HRESULT WINAPI SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path)
{
    Call call("SHGetKnownFolderPath", {flags, P(token), P(path)});
    if (!path) return E_INVALIDARG;
    *path = nullptr;
    if (call.failed()) return HRESULT_FROM_WIN32(call.error());
    if (std::memcmp(&id, &FOLDERID_ProgramFiles, sizeof id) != 0) return E_INVALIDARG;
    const std::u16string& folder = call.machine.program_files;
    auto* text = static_cast<WCHAR*>(call.machine.Allocate((folder.size() + 1) * sizeof(WCHAR), true));
    if (!text) return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(text, folder.data(), folder.size() * sizeof(WCHAR));
    *path = text;
    return S_OK;
}

extern "C" void WINAPI CoTaskMemFree(LPVOID block)
{
    Call call("CoTaskMemFree", {P(block)});
    if (block) call.machine.Free(block);
}
