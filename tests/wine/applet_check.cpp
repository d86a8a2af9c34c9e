// Loads the real PX71ResourceSetting.cpl as the Control Panel does and checks its
// answers, its resources, and the launch of the main program.
#include "platform/win32.h"
#include "tests/conformance/check.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using AppletProc = LONG(APIENTRY*)(HWND, UINT, LPARAM, LPARAM);
const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\PX711";
const char kDefaultFolder[] = "C:\\Program Files\\PX71\\PX71 HotPlug Tool";

HMODULE Applet()
{
    static HMODULE module = LoadLibraryW(W16("PX71ResourceSetting.cpl"));
    return module;
}

AppletProc Entry() { return reinterpret_cast<AppletProc>(reinterpret_cast<void*>(GetProcAddress(Applet(), "CPlApplet"))); }

// The folder of this program, where the stand-in lies.
std::string HereFolder()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    *std::strrchr(path, '\\') = 0;
    return path;
}

std::string ReadText(const std::string& path)
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buffer[512];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

void SetPathValue(const char* value, DWORD size, DWORD type)
{
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExA(key, "FilePathName", 0, type, reinterpret_cast<const BYTE*>(value), size);
    RegCloseKey(key);
}

void RemovePathValue()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "FilePathName");
        RegCloseKey(key);
    }
}

// Double-clicks the item; returns how long the applet held the caller, in ms.
DWORD DoubleClick()
{
    const DWORD start = GetTickCount();
    CHECK_EQ(Entry()(nullptr, CPL_DBLCLK, 0, 0), 0);
    return GetTickCount() - start;
}

} // namespace

CONFORMANCE_CASE(AppletAnswersTheControlPanel)
{
    CHECK(Applet() != nullptr);
    CHECK(Entry() != nullptr);
    if (!Entry()) return;
    CHECK_EQ(Entry()(nullptr, CPL_INIT, 0, 0), 1);
    CHECK_EQ(Entry()(nullptr, CPL_GETCOUNT, 0, 0), 1);
    CPLINFO info;
    std::memset(&info, 0xAB, sizeof info);
    CHECK_EQ(Entry()(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    CHECK_EQ(info.idIcon, 6000);
    CHECK_EQ(info.idName, 6001);
    CHECK_EQ(info.idInfo, 6002);
    CHECK_EQ(info.lData, static_cast<LONG_PTR>(0));
    CHECK_EQ(Entry()(nullptr, CPL_NEWINQUIRE, 0, 0), 0);
    CHECK_EQ(Entry()(nullptr, CPL_SELECT, 0, 0), 0);
    CHECK_EQ(Entry()(nullptr, CPL_STOP, 0, 0), 0);
    CHECK_EQ(Entry()(nullptr, CPL_EXIT, 0, 0), 0);
}

CONFORMANCE_CASE(AppletCarriesItsResources)
{
    HMODULE module = Applet();
    if (!module) return;
    // Icon group 6000: two images, 16x16 and 32x32, 16 colours.
    HRSRC group = FindResourceExW(module, reinterpret_cast<LPCWSTR>(RT_GROUP_ICON), MAKEINTRESOURCEW(6000), kJapanese);
    CHECK(group != nullptr);
    if (group) {
        auto* dir = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
        CHECK_EQ(dir[4] | (dir[5] << 8), 2);
        for (int i = 0; i < 2; ++i) {
            const BYTE* entry = dir + 6 + 14 * i;
            CHECK_EQ(static_cast<int>(entry[0]), i == 0 ? 16 : 32);
            CHECK_EQ(static_cast<int>(entry[2]), 16);
            CHECK_EQ(entry[6] | (entry[7] << 8), 4);
        }
    }
    // Strings 6001 and 6002 live in string block 6001 / 16 + 1, in Japanese.
    CHECK(FindResourceExW(module, reinterpret_cast<LPCWSTR>(RT_STRING), MAKEINTRESOURCEW(6001 / 16 + 1), kJapanese) !=
          nullptr);
    WCHAR text[64];
    CHECK_EQ(LoadStringW(module, 6001, text, 64), 19);
    CHECK(std::memcmp(text, W16("PX71ResourceSetting"), 19 * sizeof(WCHAR)) == 0);
    CHECK_EQ(LoadStringW(module, 6002, text, 64), 19);
}

CONFORMANCE_CASE(AppletStartsFilePathNameAndWaits)
{
    const std::string folder = HereFolder();
    const std::string standin = folder + "\\px71_standin.exe";
    DeleteFileA((folder + "\\standin.txt").c_str());
    SetPathValue(standin.c_str(), static_cast<DWORD>(standin.size() + 1), REG_SZ);
    const DWORD held = DoubleClick();
    const std::string record = ReadText(folder + "\\standin.txt");
    CHECK_EQ(record, std::string("command line: [-c]\nended\n"));
    CHECK(held >= 600);

    // A string stored without its terminator still ends inside the buffer.
    DeleteFileA((folder + "\\standin.txt").c_str());
    SetPathValue(standin.c_str(), static_cast<DWORD>(standin.size()), REG_SZ);
    DoubleClick();
    CHECK_EQ(ReadText(folder + "\\standin.txt"), std::string("command line: [-c]\nended\n"));
}

CONFORMANCE_CASE(AppletFallsBackToTheDefaultPath)
{
    // The default path exists in this test's prefix, with the stand-in as PX71.exe.
    CreateDirectoryA("C:\\Program Files\\PX71", nullptr);
    CreateDirectoryA(kDefaultFolder, nullptr);
    const std::string target = std::string(kDefaultFolder) + "\\PX71.exe";
    const std::string record_path = std::string(kDefaultFolder) + "\\standin.txt";
    CHECK(CopyFileA((HereFolder() + "\\px71_standin.exe").c_str(), target.c_str(), FALSE));

    struct Case {
        const char* what;
        void (*arrange)();
    } cases[] = {
        {"value absent", [] { RemovePathValue(); }},
        {"value without its terminator",
         [] {
             char filler[261];
             std::memset(filler, 'x', sizeof filler);
             SetPathValue(filler, sizeof filler, REG_BINARY);
         }},
        {"value longer than the buffer",
         [] {
             std::string longer(300, 'y');
             SetPathValue(longer.c_str(), static_cast<DWORD>(longer.size() + 1), REG_SZ);
         }},
    };
    for (const auto& c : cases) {
        DeleteFileA(record_path.c_str());
        c.arrange();
        DoubleClick();
        if (ReadText(record_path) != "command line: [-c]\nended\n")
            conformance::Fail(__FILE__, __LINE__, std::string("default path not started: ") + c.what);
    }
    RemovePathValue();
    DeleteFileA(record_path.c_str());
    DeleteFileA(target.c_str());
}

int main(int argc, char** argv) { return conformance::RunAll(argc > 1 ? argv[1] : nullptr); }
