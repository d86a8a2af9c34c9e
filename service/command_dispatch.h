// The service's command table: runs the library function that a request's command
// code names and stores its result in the request.
#pragma once

#include "platform/text.h"
#include "platform/win32.h"
#include "service/pipe_request.h"

namespace px71service {

// Who sent a request. Learning it means taking on the client's identity through the
// pipe, so it is asked only when an answer depends on it, and at most once. Anyone not
// known to be an administrator (a plain user, an administrator whose token UAC
// filtered, a client that could not be identified) is treated as a plain user.
class Caller {
public:
    // Identifies the client: NO_ERROR with `administrator` set, or the error after which
    // the calling thread must run nothing more (it could not stop acting as the client).
    using Identify = DWORD (*)(void* context, bool& administrator) noexcept;

    Caller(Identify identify, void* context) noexcept : identify_(identify), context_(context) {}

    bool administrator() noexcept;
    // NO_ERROR, or the error that leaves the thread unfit to run anything.
    DWORD failure() const noexcept { return failure_; }

private:
    enum class Known { kNotAsked, kAdministrator, kOther };
    Identify identify_;
    void* context_;
    Known known_ = Known::kNotAsked;
    DWORD failure_ = NO_ERROR;
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
// are left as sent. Nothing runs once caller.failure() is set.
void RunCommand(PipeRequest& request, Caller& caller) noexcept;

} // namespace px71service
