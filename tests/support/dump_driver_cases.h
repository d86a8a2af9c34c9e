// One table of dump-driver cases for two machines: the simulated default machine
// (tests/unit/config_space_test.cpp) and Wine with the kernel-mode stand-in for the
// driver behind "\\.\XUDUMP" (tests/wine/xudump.c, run by dump_driver_wine.sh). Both
// hold the adapter's bridge function on bus 6, link on and a card present; nothing
// answers on bus 0x55; every request for bus 0xFE is refused. Rows run in order and
// leave the registers as they found them.
#pragma once

#include "library/px71.h"
#include "platform/win32.h"

#include <cstdio>
#include <string>

namespace px71test::dump_driver {

constexpr DWORD kBridgeBus = 6;
constexpr DWORD kEmptyBus = 0x55;
constexpr DWORD kRefusedBus = 0xFE;
constexpr DWORD kPreset = 0x5A5A5A5A;  // in every output before the call

enum class Driver { Running, Stopped };

enum class Call {
    ReadPCI,         // XU_ReadPCI(bus, reg, &out)
    WritePCI,        // XU_WritePCI(bus, reg, arg)
    GetStatus,       // XU_GetStatus(bus, &out)
    GetStatusOnly,   // XU_GetStatus(bus, nullptr)
    SetStatus,       // XU_SetStatus(bus, 0, arg as LinkEnable, 0)
    Request,         // DeviceIoControl(code, {bus, reg, 0, 0, arg}, in_size, &out, out_size, &bytes)
};

struct Case {
    const char* name;
    Driver driver = Driver::Running;
    Call call = Call::ReadPCI;
    DWORD bus = kBridgeBus, reg = 0, arg = 0;
    DWORD code = 0, in_size = 8, out_size = 4;  // Request only
    int result = 1;         // the export's result, or DeviceIoControl's
    DWORD out = kPreset;    // register value, CardPresent, or what a failed request left
    DWORD bytes = kPreset;  // Request only: lpBytesReturned
    DWORD error = 0;        // Request only, when it fails: GetLastError()
    DWORD link = 0;         // nonzero: register 0x50 reads this afterwards
};

constexpr DWORD kRead = 0x9C40243C, kWrite = 0x9C402440;
constexpr DWORD kLinkOn = 0x10110000, kLinkOff = 0x10110010;  // Link Status x1 over Link Control

inline const Case kCases[] = {
    {.name = "identity", .reg = 0x00, .out = 0x02E31217},
    {.name = "subsystem", .reg = 0x94, .out = 0x01021E2A},
    {.name = "low bytes of bus and register", .bus = 0x100 + kBridgeBus, .reg = 0x194, .out = 0x01021E2A},
    {.name = "card present", .reg = 0x58, .out = 0x00400000},
    {.name = "nothing answers", .bus = kEmptyBus, .out = 0xFFFFFFFF},
    {.name = "refused read", .bus = kRefusedBus, .result = 0},
    {.name = "refused write", .call = Call::WritePCI, .bus = kRefusedBus, .reg = 0x50, .arg = 0x10, .result = 0},
    {.name = "Link Status is read-only", .call = Call::WritePCI, .reg = 0x50, .arg = 0xFFFF0000, .link = kLinkOn},
    {.name = "status with a card", .call = Call::GetStatus, .out = 1},
    {.name = "status alone", .call = Call::GetStatusOnly},
    {.name = "status where nothing answers", .call = Call::GetStatus, .bus = kEmptyBus, .result = 0, .out = 0},
    {.name = "status refused", .call = Call::GetStatus, .bus = kRefusedBus, .result = 0, .out = 0},
    {.name = "link off", .call = Call::SetStatus, .arg = 0, .link = kLinkOff},
    {.name = "link off again", .call = Call::SetStatus, .arg = 0, .link = kLinkOff},
    {.name = "link on", .call = Call::SetStatus, .arg = 1, .link = kLinkOn},
    {.name = "link where nothing answers", .call = Call::SetStatus, .bus = kEmptyBus, .arg = 0, .result = 0},
    {.name = "link refused", .call = Call::SetStatus, .bus = kRefusedBus, .arg = 0, .result = 0, .link = kLinkOn},
    {.name = "read request: 4 bytes", .call = Call::Request, .code = kRead, .out = 0x02E31217, .bytes = 4},
    {.name = "read request, larger buffer: 4 bytes", .call = Call::Request, .code = kRead, .out_size = 8,
     .out = 0x02E31217, .bytes = 4},
    {.name = "write request: 1 byte", .call = Call::Request, .reg = 0x50, .arg = kLinkOn, .code = kWrite,
     .out_size = 1, .out = 0x5A5A5A01, .bytes = 1, .link = kLinkOn},  // one byte copied back
    {.name = "request of 7 bytes", .call = Call::Request, .code = kRead, .in_size = 7, .result = 0,
     .error = ERROR_INVALID_PARAMETER},
    {.name = "refused request", .call = Call::Request, .bus = kRefusedBus, .code = kRead, .result = 0,
     .error = ERROR_INVALID_PARAMETER},
    {.name = "unknown code", .call = Call::Request, .code = 0x9C402444, .result = 0, .error = ERROR_INVALID_FUNCTION},
    {.name = "stopped: read", .driver = Driver::Stopped, .result = 0},
    {.name = "stopped: write", .driver = Driver::Stopped, .call = Call::WritePCI, .reg = 0x50, .arg = 0x10, .result = 0},
    {.name = "stopped: status", .driver = Driver::Stopped, .call = Call::GetStatus, .result = 0, .out = 0},
    {.name = "stopped: link", .driver = Driver::Stopped, .call = Call::SetStatus, .arg = 1, .result = 0},
    {.name = "stopped: request", .driver = Driver::Stopped, .call = Call::Request, .code = kRead, .result = 0,
     .error = ERROR_FILE_NOT_FOUND},
};

inline std::string Mismatch(const char* what, DWORD got, DWORD expected)
{
    if (got == expected) return {};
    char text[96];
    std::snprintf(text, sizeof text, "%s 0x%08lX, expected 0x%08lX; ", what, static_cast<unsigned long>(got),
                  static_cast<unsigned long>(expected));
    return text;
}

// What the driver said to the request itself, the library not in between.
inline int SendRequest(const Case& c, DWORD& out, DWORD& bytes)
{
    HANDLE device = CreateFileW(W16("\\\\.\\XUDUMP"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return 0;
    BYTE request[8] = {static_cast<BYTE>(c.bus), static_cast<BYTE>(c.reg), 0, 0};
    for (int i = 0; i < 4; ++i) request[4 + i] = static_cast<BYTE>(c.arg >> (8 * i));
    BOOL ok = DeviceIoControl(device, c.code, request, c.in_size, &out, c.out_size, &bytes, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(device);
    SetLastError(error);
    return ok;
}

// Runs one row; empty when the machine answered as the row says.
inline std::string Run(const Case& c)
{
    DWORD out = kPreset, bytes = kPreset;
    int result = 0;
    SetLastError(0);
    switch (c.call) {
    case Call::ReadPCI: result = XU_ReadPCI(c.bus, c.reg, &out); break;
    case Call::WritePCI: result = XU_WritePCI(c.bus, c.reg, c.arg); break;
    case Call::GetStatus: result = XU_GetStatus(c.bus, reinterpret_cast<int*>(&out)); break;
    case Call::GetStatusOnly: result = XU_GetStatus(c.bus, nullptr); break;
    case Call::SetStatus: result = XU_SetStatus(c.bus, 0, c.arg, 0); break;
    case Call::Request: result = SendRequest(c, out, bytes); break;
    }
    const DWORD error = GetLastError();
    std::string wrong = Mismatch("result", result != 0, c.result != 0);
    // A failed read leaves Value to the driver; the rows say what it left.
    if (c.call != Call::WritePCI && c.call != Call::SetStatus && c.call != Call::GetStatusOnly)
        wrong += Mismatch("output", out, c.out);
    if (c.call == Call::Request) wrong += Mismatch("bytes returned", bytes, c.bytes);
    if (c.error) wrong += Mismatch("last error", error, c.error);
    DWORD link = 0;
    if (c.link && XU_ReadPCI(kBridgeBus, 0x50, &link)) wrong += Mismatch("register 0x50", link, c.link);
    else if (c.link) wrong += "register 0x50 unreadable; ";
    return wrong;
}

} // namespace px71test::dump_driver
