// The service's command table: runs the library function that a request's command
// code names and stores its result in the request.
#pragma once

#include "platform/text.h"
#include "platform/win32.h"
#include "service/pipe_request.h"

namespace px71service {

// Who sent a request, as the pipe told the service. Anyone not known to be an
// administrator (a plain user, an administrator whose token UAC filtered, a client
// that could not be identified) is treated as a plain user.
struct Caller {
    bool administrator = false;
};

// Where an administrator closes commands to everyone else: the REG_DWORD
// "AdminOnlyCommands" under HKEY_LOCAL_MACHINE, a bit per command code (bit 3 closes
// command 3). Absent, every command is open to every caller.
inline constexpr WCHAR kPolicyKey[] = W16("SYSTEM\\CurrentControlSet\\Services\\PX71Service\\Parameters");
inline constexpr WCHAR kAdminOnlyCommandsValue[] = W16("AdminOnlyCommands");

// Runs request.Command on the calling thread for Caller. A code outside the table runs
// nothing and leaves Result as the client sent it. For a caller who is not an
// administrator, a command the policy closes runs nothing (Result 0, last error
// ERROR_ACCESS_DENIED), and a set-status request that can pull a volume from under an
// open file runs with the volume check whatever it asked for; the request's own fields
// are left as sent.
void RunCommand(PipeRequest& request, const Caller& caller) noexcept;

} // namespace px71service
