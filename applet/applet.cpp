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
// Under Program Files, wherever this Windows keeps it.
constexpr char kDefaultPlace[] = "\\PX71\\PX71 HotPlug Tool\\PX71.exe";
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

// The shell's text, freed however the call went (reference: SHGetKnownFolderPath).
struct ShellText {
    PWSTR text = nullptr;
    ~ShellText() { CoTaskMemFree(text); }
};

// The default: the product's place under Program Files as Windows names it, never under
// a literal drive, where on a Windows installed elsewhere any user could create the
// folder and the program the item starts. False, with nothing to start, when Windows
// cannot tell, or the path does not fit or has a character the ANSI code page lacks.
bool DefaultPath(char (&path)[kPathBufferSize]) noexcept
{
    ShellText folder;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramFiles, KF_FLAG_DEFAULT, nullptr, &folder.text)) || !folder.text)
        return false;
    BOOL lossy = FALSE;
    const int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, folder.text, -1, path,
                                            static_cast<int>(kPathBufferSize), nullptr, &lossy);
    if (written <= 0 || lossy) return false;
    const std::size_t used = static_cast<std::size_t>(written) - 1;  // without the NUL
    if (used + sizeof kDefaultPlace > kPathBufferSize) return false;
    std::memcpy(path + used, kDefaultPlace, sizeof kDefaultPlace);
    return true;
}

// The main program's path: "FilePathName" when the key holds a usable one, else the
// default. False when there is neither.
bool MainProgramPath(char (&path)[kPathBufferSize]) noexcept
{
    std::memset(path, 0, sizeof path);
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &opened) == ERROR_SUCCESS) {
        px71::UniqueRegKey key(opened);
        DWORD size = kPathBufferSize;
        DWORD type = REG_NONE;
        const LSTATUS status =
            RegQueryValueExA(key.get(), kPathValue, nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
        if (status == ERROR_SUCCESS && UsablePath(path, type, size)) return true;
    }
    std::memset(path, 0, sizeof path);
    return DefaultPath(path);
}

void StartMainProgram() noexcept
{
    char path[kPathBufferSize];
    if (!MainProgramPath(path)) return;
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
