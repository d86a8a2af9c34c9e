#include "service/command_dispatch.h"

#include "library/px71.h"
#include "platform/handles.h"
#include "service/slot_watch.h"

#include <cstring>

namespace px71service {
namespace {

// CardName holds 64 UTF-16 units; the name functions never write more characters
// than the size they are given, so a larger size from the client is not passed on.
constexpr DWORD kCardNameCapacity = 2 * PX71_CARD_NAME_UNITS;

LPWSTR CardName(PipeRequest& r) noexcept { return reinterpret_cast<LPWSTR>(r.CardName); }

DWORD CardNameSize(const PipeRequest& r) noexcept
{
    return r.CardNameSize < kCardNameCapacity ? r.CardNameSize : kCardNameCapacity;
}

void AddFilter(PipeRequest& r) noexcept { r.Result = XU_AddFilter(); }

// Switching the link off, and disabling (2), restarting (3) or stopping (5) the
// devices, can pull a volume from under whoever has a file open on it, another user or
// a service among them: only an administrator may have that done without the check.
void SetStatus(PipeRequest& r, Caller& caller) noexcept
{
    const BYTE state = r.SetStatusArgs[1];
    const bool linkOff = r.SetStatusArgs[2] == 0;
    const bool guarded = linkOff || state == 2 || state == 3 || state == 5;
    BYTE check = r.SetStatusArgs[3];
    if (guarded && check == 0 && !caller.administrator()) check = 1;
    if (caller.failure() != NO_ERROR) return;
    r.Result = XU_SetStatus(r.SetStatusArgs[0], r.SetStatusArgs[1], r.SetStatusArgs[2], check);
}

// A non-zero EndAdrs stores the working values; zero stores the defaults.
void SetSizes(PipeRequest& r) noexcept
{
    if (r.EndAdrs != 0)
        r.Result = XU_SetSize_Pro2(r.PortLen, r.Oz888Len, r.SxsLen, r.A3132Len, r.B3132Len, r.USBLen, r.StartAdrs,
                                   r.EndAdrs, r.PayloadSize, r.SataSSC);
    else
        r.Result = XU_SetSize_Pro2_DEF(r.PortLen, r.Oz888Len, r.SxsLen, r.A3132Len, r.B3132Len, r.USBLen,
                                       r.StartAdrs, 0);
}

// The title is the client's text: one without a NUL in its field is cut there rather
// than read past the record.
void WriteReport(PipeRequest& r) noexcept
{
    char title[PX71_LOG_TITLE_SIZE + 1];
    std::memcpy(title, r.LogTitle, PX71_LOG_TITLE_SIZE);
    title[PX71_LOG_TITLE_SIZE] = 0;
    r.Result = XU_WriteLog(title);
}

// A restart: disable, then enable, whatever the first call did. Result is left as sent.
void ResetBridge(PipeRequest&) noexcept
{
    XU_ResetPCIBridge(0);
    XU_ResetPCIBridge(1);
}

void Stop3132(PipeRequest& r) noexcept { r.Result = XU_Stop3132Card(r.ControllerIndex, r.CardIndex); }
void StopCardBus(PipeRequest& r) noexcept { r.Result = XU_StopCardBusCard(r.ControllerIndex, r.CardIndex); }
void StopEhci(PipeRequest& r) noexcept { r.Result = XU_StopEhciExpressCard(r.ControllerIndex, r.CardIndex); }
void StopOhci(PipeRequest& r) noexcept { r.Result = XU_StopOhciExpressCard(r.ControllerIndex, r.CardIndex); }

void NameCardBus(PipeRequest& r) noexcept
{
    r.Result = XU_GetCardBusCardName(r.ControllerIndex, r.CardIndex, CardName(r), CardNameSize(r));
}
void NameEhci(PipeRequest& r) noexcept
{
    r.Result = XU_GetEhciExpressCardName(r.ControllerIndex, r.CardIndex, CardName(r), CardNameSize(r));
}
void NameOhci(PipeRequest& r) noexcept
{
    r.Result = XU_GetOhciExpressCardName(r.ControllerIndex, r.CardIndex, CardName(r), CardNameSize(r));
}
void Name3132(PipeRequest& r) noexcept
{
    r.Result = XU_Get3132CardName(r.ControllerIndex, r.CardIndex, CardName(r), CardNameSize(r));
}

void CheckDevice(PipeRequest& r) noexcept { r.Result = XU_CheckDevice(); }

void GetSlot(PipeRequest& r) noexcept { DescribeSlot(r); }

using Command = void (*)(PipeRequest&) noexcept;

// The administrator's policy: the commands closed to callers who are not
// administrators. Read for every request, so a change holds from the next one; a value
// that is absent or not a REG_DWORD closes nothing.
DWORD AdminOnlyCommands() noexcept
{
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return 0;
    px71::UniqueRegKey key(raw);
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExW(key.get(), kAdminOnlyCommandsValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return 0;
    return value;
}

// By command code. The removal commands list the SATA controller first (6); the name
// commands list it last (13).
constexpr Command kCommands[] = {
    nullptr,      // 0: no command
    AddFilter,    // 1
    nullptr,      // 2: set-status, which depends on the caller (SetStatus)
    SetSizes,     // 3
    WriteReport,  // 4
    ResetBridge,  // 5
    Stop3132,     // 6
    StopCardBus,  // 7
    StopEhci,     // 8
    StopOhci,     // 9
    NameCardBus,  // 10
    NameEhci,     // 11
    NameOhci,     // 12
    Name3132,     // 13
    CheckDevice,  // 14
    GetSlot,      // 15: read only, beyond the library's functions
};

} // namespace

bool Caller::administrator() noexcept
{
    if (known_ == Known::kNotAsked) {
        bool administrator = false;
        failure_ = identify_(context_, administrator);
        known_ = administrator && failure_ == NO_ERROR ? Known::kAdministrator : Known::kOther;
    }
    return known_ == Known::kAdministrator;
}

void RunCommand(PipeRequest& request, Caller& caller) noexcept
{
    constexpr DWORD kCount = sizeof kCommands / sizeof kCommands[0];
    constexpr DWORD kSetStatus = 2;
    if (request.Command >= kCount || (request.Command != kSetStatus && !kCommands[request.Command])) return;
    if ((AdminOnlyCommands() >> request.Command & 1) && !caller.administrator()) {
        if (caller.failure() != NO_ERROR) return;
        request.Result = 0;
        SetLastError(ERROR_ACCESS_DENIED);
        return;
    }
    if (request.Command == kSetStatus)
        SetStatus(request, caller);
    else
        kCommands[request.Command](request);
}

} // namespace px71service
