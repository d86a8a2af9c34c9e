// PX71ResourceSetting.cpl: the Control Panel item that starts the product's main
// program with "-c" and waits until it ends.
#include "platform/win32.h"

#include <cstring>

namespace {

constexpr int kIconId = 6000;
constexpr int kNameId = 6001;
constexpr int kInfoId = 6002;

constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\PX711";
constexpr char kPathValue[] = "FilePathName";
constexpr char kDefaultPath[] = "C:\\Program Files\\PX71\\PX71 HotPlug Tool\\PX71.exe";
constexpr DWORD kPathBufferSize = 261;

// A value read into the zeroed buffer is a usable path when it ends inside the buffer:
// a string shorter than the buffer is ended by the zeros behind it, and a value of
// another type must end in a NUL of its own.
bool UsablePath(const char (&path)[kPathBufferSize], DWORD type, DWORD size) noexcept
{
    if (size == 0 || size > kPathBufferSize || std::memchr(path, 0, sizeof path) == nullptr) return false;
    if (type == REG_SZ || type == REG_EXPAND_SZ) return true;
    return path[size - 1] == 0;
}

// The main program's path: "FilePathName" when the key holds a usable one, else the
// default.
void MainProgramPath(char (&path)[kPathBufferSize]) noexcept
{
    std::memset(path, 0, sizeof path);
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &opened) == ERROR_SUCCESS) {
        px71::UniqueRegKey key(opened);
        DWORD size = kPathBufferSize;
        DWORD type = REG_NONE;
        const LSTATUS status =
            RegQueryValueExA(key.get(), kPathValue, nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
        if (status == ERROR_SUCCESS && UsablePath(path, type, size)) return;
    }
    std::memset(path, 0, sizeof path);
    std::memcpy(path, kDefaultPath, sizeof kDefaultPath);
}

void StartMainProgram() noexcept
{
    char path[kPathBufferSize];
    MainProgramPath(path);
    char commandLine[] = "-c";  // the whole command line: no program name before it
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    if (!CreateProcessA(path, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return;
    px71::UniqueHandle processHandle(process.hProcess);
    px71::UniqueHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), INFINITE);
}

} // namespace

extern "C" LONG APIENTRY CPlApplet(HWND, UINT message, LPARAM, LPARAM param2) noexcept
{
    switch (message) {
    case CPL_INIT:
        return 1;
    case CPL_GETCOUNT:
        return 1;
    case CPL_INQUIRE:
        if (auto* info = reinterpret_cast<CPLINFO*>(param2)) {
            info->idIcon = kIconId;
            info->idName = kNameId;
            info->idInfo = kInfoId;
            info->lData = 0;
        }
        return 0;
    case CPL_DBLCLK:
        StartMainProgram();
        return 0;
    default:
        return 0;
    }
}
