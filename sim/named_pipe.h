// What the system knows about a pipe instance's two ends beyond the bytes between them:
// the process that created the server end, and how far the connected client lets the
// server act as it.
#pragma once

#include "sim/processes.h"

namespace sim {

// The security quality of service a client opened its end with. Without
// SECURITY_SQOS_PRESENT a pipe client grants SecurityImpersonation (reference:
// "Impersonating a Named Pipe Client"; CreateFile, SECURITY_SQOS_PRESENT).
struct ClientQualityOfService {
    bool present = false;  // the open carried SECURITY_SQOS_PRESENT
    SECURITY_IMPERSONATION_LEVEL level = SecurityImpersonation;
    bool context_tracking = false;
    bool effective_only = false;
};

// Every instance CreateNamedPipeW makes is one of these (snapshots keep them so too).
struct NamedPipe : PipeInstance {
    DWORD server_process_id = 0;          // GetNamedPipeServerProcessId
    ClientQualityOfService client_qos;    // of the client connected now; each open sets it
};

inline NamedPipe& AsNamedPipe(PipeInstance& pipe) { return static_cast<NamedPipe&>(pipe); }
inline const NamedPipe& AsNamedPipe(const PipeInstance& pipe) { return static_cast<const NamedPipe&>(pipe); }

// CreateFile's route for "\\.\pipe\<name>", with the open's flags and attributes.
HANDLE OpenPipeClient(Machine& machine, std::u16string_view name, DWORD flags);

} // namespace sim
