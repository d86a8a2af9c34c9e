// PX71Service's host: the program entry, the service main function, the control
// handler and the serving loop of "\\.\pipe\PX71Service".
#pragma once

#include "platform/win32.h"

namespace px71service {

// Bounds a client gets: the whole request must arrive, and the reply be taken up,
// within the pipe's default time-out; then the service moves on to the next client.
constexpr DWORD kPipeTimeoutMs = 1000;

// The program entry's work: hands the process to the service control manager and
// returns when the service has stopped. 0, or 1 when the program was not started
// as a service.
int RunServiceProcess() noexcept;

} // namespace px71service
