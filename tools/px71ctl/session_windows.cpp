#include "tools/px71ctl/session.h"

namespace px71ctl {

// The service is the machine's own; nothing to set up.
Session::Session() = default;
Session::~Session() = default;

} // namespace px71ctl
