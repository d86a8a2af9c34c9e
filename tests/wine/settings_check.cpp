// Loads the real PX71.dll and stores the filter driver's settings in the registry of
// the machine it runs on (Wine's, in the tests): each export writes exactly its
// values as REG_DWORD, read back through the API and with "reg query". Then the
// filter functions on a device tree that holds no adapter.
#include "library/px71.h"
#include "platform/win32.h"
#include "tests/conformance/check.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const WCHAR kKeyPath[] = W16("SYSTEM\\CurrentControlSet\\Services\\PX711");
const WCHAR kUntouched[] = W16("PX71CheckUntouched");  // no export writes this one

HMODULE Library()
{
    static HMODULE module = LoadLibraryW(W16("PX71.dll"));
    return module;
}

template <typename Function>
Function* Export(const char* name)
{
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(Library(), name)));
}

struct Value {
    const char* name;
    DWORD parameter;  // 1-based
};

struct SettingsExport {
    const char* name;
    int parameters;
    std::vector<Value> writes;
};

const char* const kAllValues[] = {"DefLen",      "PortLen",     "Oz888Len",  "SxsLen",      "A3132Len",   "B3132Len",
                                  "USBLen",      "StartAdrs",   "EndAdrs",   "PayloadSize", "SataSSC",    "Oz888LenDef",
                                  "SxsLenDef",   "A3132LenDef", "B3132LenDef", "USBLenDef"};
constexpr DWORD kOld = 0xA5A5A5A5;

const SettingsExport kExports[] = {
    {"XU_SetSize", 3, {{"DefLen", 1}, {"StartAdrs", 2}, {"EndAdrs", 3}}},
    {"XU_SetSize_Pro",
     7,
     {{"Oz888Len", 1}, {"SxsLen", 2}, {"A3132Len", 3}, {"B3132Len", 4}, {"USBLen", 5}, {"StartAdrs", 6}, {"EndAdrs", 7}}},
    {"XU_SetSize_Pro2",
     10,
     {{"PortLen", 1},
      {"Oz888Len", 2},
      {"SxsLen", 3},
      {"A3132Len", 4},
      {"B3132Len", 5},
      {"USBLen", 6},
      {"StartAdrs", 7},
      {"EndAdrs", 8},
      {"PayloadSize", 9},
      {"SataSSC", 10}}},
    {"XU_SetSize_Pro2_DEF",
     8,
     {{"Oz888LenDef", 2}, {"SxsLenDef", 3}, {"A3132LenDef", 4}, {"B3132LenDef", 5}, {"USBLenDef", 6}}},
};

std::basic_string<WCHAR> Wide(const char* text)
{
    std::basic_string<WCHAR> out;
    while (*text) out.push_back(static_cast<WCHAR>(*text++));
    return out;
}

// Calls the export by name with First, First + 1, ... in its parameters.
int CallWith(const SettingsExport& e, DWORD f)
{
    if (e.parameters == 3) return Export<decltype(XU_SetSize)>(e.name)(f, f + 1, f + 2);
    if (e.parameters == 7) return Export<decltype(XU_SetSize_Pro)>(e.name)(f, f + 1, f + 2, f + 3, f + 4, f + 5, f + 6);
    if (e.parameters == 10)
        return Export<decltype(XU_SetSize_Pro2)>(e.name)(f, f + 1, f + 2, f + 3, f + 4, f + 5, f + 6, f + 7, f + 8,
                                                          f + 9);
    return Export<decltype(XU_SetSize_Pro2_DEF)>(e.name)(f, f + 1, f + 2, f + 3, f + 4, f + 5, f + 6, f + 7);
}

// The service key with every setting at kOld and one value no export writes.
struct ServiceKey {
    bool created = false;
    ServiceKey()
    {
        HKEY key = nullptr;
        DWORD disposition = 0;
        CHECK_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                 &disposition),
                 ERROR_SUCCESS);
        created = disposition == REG_CREATED_NEW_KEY;
        for (const char* name : kAllValues) {
            const DWORD old = kOld;
            RegSetValueExW(key, Wide(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), 4);
        }
        const WCHAR text[] = W16("left alone");
        RegSetValueExW(key, kUntouched, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
        RegCloseKey(key);
    }
    ~ServiceKey()
    {
        if (created) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKeyPath);
            return;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
        RegDeleteValueW(key, kUntouched);
        RegCloseKey(key);
    }
};

bool ReadDword(const char* name, DWORD& value, DWORD& type, DWORD& size)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    size = sizeof value;
    const LSTATUS status =
        RegQueryValueExW(key, Wide(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The output of "reg query" for the key.
std::string RegQuery()
{
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) return {};
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    WCHAR command[] = W16("reg.exe query HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711");
    const BOOL started = CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(write);
    std::string output;
    if (started) {
        char buffer[512];
        DWORD got = 0;
        while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0) output.append(buffer, got);
        WaitForSingleObject(process.hProcess, 30000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(read);
    return output;
}

// The number "reg query" shows for the value, or -1 when it shows none as REG_DWORD.
long long RegQueryNumber(const std::string& output, const char* name)
{
    std::size_t at = 0;
    const std::string wanted = name;
    while ((at = output.find(wanted, at)) != std::string::npos) {
        const bool starts = at == 0 || output[at - 1] == ' ' || output[at - 1] == '\n';
        const std::size_t end = at + wanted.size();
        if (starts && end < output.size() && output[end] == ' ') {
            unsigned long number = 0;
            char type[32] = {};
            if (std::sscanf(output.c_str() + end, " %31s 0x%lx", type, &number) == 2 && std::string(type) == "REG_DWORD")
                return static_cast<long long>(number);
            return -1;
        }
        at = end;
    }
    return -1;
}

} // namespace

CONFORMANCE_CASE(SettingsLandInTheRegistry)
{
    CHECK(Library() != nullptr);
    for (const auto& e : kExports) {
        CHECK(GetProcAddress(Library(), e.name) != nullptr);
        if (!GetProcAddress(Library(), e.name)) continue;
        ServiceKey key;
        const DWORD first = e.parameters == 3 ? 0xFFFFFFF0u : 1;  // numbers with the top bit set, too
        CHECK_EQ(CallWith(e, first), 1);
        const std::string shown = RegQuery();
        CHECK(!shown.empty());
        for (const char* name : kAllValues) {
            DWORD expected = kOld;
            for (const auto& w : e.writes)
                if (std::string(w.name) == name) expected = first + w.parameter - 1;
            DWORD value = 0, type = 0, size = 0;
            CHECK(ReadDword(name, value, type, size));
            CHECK_EQ(type, static_cast<DWORD>(REG_DWORD));
            CHECK_EQ(size, 4u);
            if (value != expected)
                conformance::Fail(__FILE__, __LINE__, std::string(e.name) + " left " + name + " wrong");
            if (RegQueryNumber(shown, name) != static_cast<long long>(expected))
                conformance::Fail(__FILE__, __LINE__, std::string("reg query shows ") + name + " wrong after " + e.name);
        }
        CHECK(shown.find("PX71CheckUntouched") != std::string::npos);
        CHECK(shown.find("left alone") != std::string::npos);
    }
}

CONFORMANCE_CASE(SettingsWithoutTheKeyCreateNothing)
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKeyPath);
    HKEY key = nullptr;
    const bool existed = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (existed) {
        // It has subkeys of its own on this machine; leave it alone.
        RegCloseKey(key);
        return;
    }
    for (const auto& e : kExports) {
        if (!GetProcAddress(Library(), e.name)) continue;
        CHECK_EQ(CallWith(e, 1), 0);
        CHECK_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    }
}

CONFORMANCE_CASE(FiltersWithNoAdapter)
{
    const char* const counting[] = {"XU_AddFilter", "XU_DelFilter", "XU_AddFilter_OLD", "XU_DelFilter_OLD",
                                    "XU_DoesExistNoFilterRootPort", "XU_DoesExistNoFilterRootPort_OLD"};
    for (const char* name : counting) {
        auto function = Export<decltype(XU_AddFilter)>(name);
        CHECK(function != nullptr);
        if (!function) continue;
        if (function() != 0) conformance::Fail(__FILE__, __LINE__, std::string(name) + " is not 0 without an adapter");
    }
}

int main(int argc, char** argv) { return conformance::RunAll(argc > 1 ? argv[1] : nullptr); }
