// The real log under Wine: the DLL's WriteLogFile and XU_WriteLog, loaded by plain
// name, write PX71.LOG beside this program, byte for byte as the simulator writes
// it for the same calls. The log stays behind for px71log to read.
#include "library/px71.h"
#include "platform/win32.h"
#include "support/log_script.h"
#include "tests/conformance/check.h"

#include <cstdio>
#include <string>

namespace {

struct LogPath {
    WCHAR path[MAX_PATH] = {};
    LogPath()
    {
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        DWORD folder = 0;
        for (DWORD i = 0; i < n; ++i)
            if (path[i] == '\\') folder = i + 1;
        const WCHAR name[] = W16("PX71.LOG");
        for (DWORD i = 0; i < sizeof name / sizeof name[0]; ++i) path[folder + i] = name[i];
    }
};

std::string ReadWhole(const WCHAR* path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string out(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!out.empty() && !ReadFile(file, &out[0], static_cast<DWORD>(out.size()), &read, nullptr)) read = 0;
    out.resize(read);
    CloseHandle(file);
    return out;
}

std::string Now()
{
    SYSTEMTIME t{};
    GetLocalTime(&t);
    char text[32];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

std::string Printable(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace

CONFORMANCE_CASE(LogWrittenBesideTheProgramAsTheSimulatorWritesIt)
{
    HMODULE dll = LoadLibraryW(W16("PX71.dll"));
    CHECK(dll != nullptr);
    auto write_log = reinterpret_cast<decltype(&WriteLogFile)>(reinterpret_cast<void*>(GetProcAddress(dll, "WriteLogFile")));
    auto write_report = reinterpret_cast<decltype(&XU_WriteLog)>(reinterpret_cast<void*>(GetProcAddress(dll, "XU_WriteLog")));
    CHECK(write_log && write_report);
    if (!write_log || !write_report) return;

    const LogPath log;
    DeleteFileW(log.path);
    const std::string before = Now();
    int results = 0, calls = 0;
    int report_result = -1;
    px71test::RunLogScript(
        [&](const WCHAR* text) {
            ++calls;
            results += write_log(text) != 0;
        },
        [&](const char* title) { report_result = write_report(title); },
        [&] {
            const std::string first = ReadWhole(log.path);
            CHECK_EQ(first.size(), 400u);
            CHECK_EQ(px71test::NextSlot(first), 2u);
            CHECK(first == px71test::ScriptFirstImage(px71test::Created(first)));
        },
        [] {});
    const std::string after = Now();
    CHECK_EQ(results, calls);
    CHECK_EQ(report_result, 1);

    const std::string file = ReadWhole(log.path);
    const std::string created = px71test::Created(file);
    const std::string report_time = px71test::ScriptReportTime(file);
    // The two times are this run's own; everything else is fixed.
    CHECK(before <= created && created <= report_time && report_time <= after);
    const std::string expected = px71test::ScriptImage(created, report_time);
    CHECK_EQ(file.size(), expected.size());
    for (std::size_t slot = 0; slot * 200 < expected.size(); ++slot) {
        const std::string got = px71test::Slot(file, slot), want = px71test::Slot(expected, slot);
        if (got != want)
            conformance::Fail(__FILE__, __LINE__,
                              "slot " + std::to_string(slot) + ": " + Printable(got) + " instead of " + Printable(want));
    }

    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W16("SYSTEM\\CurrentControlSet\\Services"), 0, KEY_ALL_ACCESS, &key) ==
        ERROR_SUCCESS) {
        RegDeleteKeyW(key, W16("PX711"));
        RegCloseKey(key);
    }
    FreeLibrary(dll);
}

int main(int argc, char** argv) { return conformance::RunAll(argc > 1 ? argv[1] : nullptr); }
