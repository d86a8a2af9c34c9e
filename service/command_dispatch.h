// The service's command table: runs the library function that a request's command
// code names and stores its result in the request.
#pragma once

#include "service/pipe_request.h"

namespace px71service {

// Runs request.Command on the calling thread. A code outside the table runs nothing
// and leaves Result as the client sent it.
void RunCommand(PipeRequest& request) noexcept;

} // namespace px71service
