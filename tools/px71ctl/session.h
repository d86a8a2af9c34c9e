// Where px71ctl's requests go. On Windows: the machine's own PX71Service. On a Linux
// host: a simulated machine (the embedded default) with PX71Service running in it,
// booted for this one run.
#pragma once

namespace px71ctl {

class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

} // namespace px71ctl
