// PX71Service's host: the program entry, the service main function, the control
// handler and the serving loop of "\\.\pipe\PX71Service".
#pragma once

#include "platform/win32.h"

namespace px71service {

// Bounds a client gets: the whole request must arrive within the pipe's default
// time-out, and the reply be taken up within kReplyReadTimeoutMs after it was written;
// then the service moves on to the next client. The reply's bound is the longer one:
// its command has run, and a client on a busy machine that lost its reply could not
// tell whether to ask again (after an eject, the same numbers name other cards).
constexpr DWORD kPipeTimeoutMs = 1000;
constexpr DWORD kReplyReadTimeoutMs = 3000;

// The program entry's work: hands the process to the service control manager and
// returns when the service has stopped. 0, or 1 when the program was not started
// as a service.
int RunServiceProcess() noexcept;

} // namespace px71service
