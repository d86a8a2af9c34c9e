// The client side of PX71Service's pipe, shared by px71ctl, PX71.exe and the tests.
#pragma once

#include "platform/win32.h"
#include "service/pipe_request.h"

namespace px71client {

enum class Outcome {
    kAnswered,     // the event came and the whole reply was read
    kNoService,    // no pipe of that name: the service is not running
    kRefused,      // the pipe refused this client (a remote one, or an account not let in)
    kBusy,         // the pipe stayed busy past the time-out
    kNoEvent,      // the client's event could not be created
    kSendFailed,   // the request could not be written whole
    kNoSignal,     // the service did not signal the event within the time-out
    kShortReply,   // the connection ended before 400 bytes came back
    kNotTheService,  // the pipe's server is not the running PX71Service, or that cannot be told: nothing was sent
};

struct Answer {
    Outcome outcome = Outcome::kNoService;
    DWORD error = 0;       // the Win32 code behind a failure
    DWORD reply_bytes = 0;  // bytes of the reply that arrived
    DWORD server_process = 0;  // the process serving the pipe, once asked (0: not known)
};

// One request as the protocol asks: create the event "Global\PX71Service", open the
// pipe (waiting while it is busy, up to timeoutMs) at identification level, make sure
// the running PX71Service serves it, write the 400-byte request, wait for the event
// (up to timeoutMs), read the 400-byte reply.
Answer Transact(const PipeRequest& request, PipeRequest& reply, DWORD timeoutMs) noexcept;
// The same with another server of the same protocol, which the caller vouches for: who
// serves it is not asked (benchmarks compare against one).
Answer TransactOn(const WCHAR* pipeName, const PipeRequest& request, PipeRequest& reply, DWORD timeoutMs) noexcept;

// The event "Global\PX71Service" that every client shares: created with an access list
// that lets SYSTEM, Administrators and every interactive user wait on it and signal it,
// and this process's user do anything with it, or opened for waiting and signalling when
// another client holds it. Null on failure (last error set).
px71::UniqueHandle OpenSharedEvent() noexcept;

const char* Describe(Outcome outcome) noexcept;

} // namespace px71client
