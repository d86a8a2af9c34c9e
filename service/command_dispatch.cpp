#include "service/command_dispatch.h"

namespace px71service {

// The table's rows arrive with the library areas they call; until then every code
// is one the table does not know, so nothing runs and Result stays as sent.
void RunCommand(PipeRequest& request) noexcept { (void)request; }

} // namespace px71service
