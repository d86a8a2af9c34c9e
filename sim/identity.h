// Who calls: the process a thread runs in, the account its token holds, and the access
// check of an object that carries an access list (named events).
#pragma once

#include "sim/processes.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

// The calling thread's process: a thread of the service process runs in
// Machine::service_process_id, any other in Machine::process_id, unless an InProcess
// says otherwise.
DWORD CallerProcessId(Machine& machine);

// While it lives, the calling thread, and the threads it creates meanwhile, run in
// process `id`: a test plays another program so (one that squats a pipe's name, say).
class InProcess {
public:
    explicit InProcess(DWORD id);
    ~InProcess();
    InProcess(const InProcess&) = delete;
    InProcess& operator=(const InProcess&) = delete;

private:
    DWORD previous_;
};

// The SIDs of the calling thread's token that grant, its user first: SYSTEM's in the
// service process, else Machine::user's with the groups of an interactive logon (a
// network logon for a RemoteCaller), Administrators only for an administrator's token.
std::vector<std::u16string> CallerSids(Machine& machine);
// The SIDs that only deny: Administrators, in a token UAC filtered.
std::vector<std::u16string> DenyOnlySids(Machine& machine);
// Whether an access list lets the calling thread in at all: a deny entry for one of its
// SIDs (deny-only ones too) before any allow entry for one that grants refuses it.
bool MayEnter(Machine& machine, const std::vector<AccessEntry>& list);

// An object's access list; nullopt is a NULL DACL, which lets everyone in.
using AccessList = std::optional<std::vector<AccessEntry>>;
// The list a new object gets: the DACL of the descriptor given, or else the default
// DACL of the creator's token.
AccessList AccessListFor(Machine& machine, const SECURITY_ATTRIBUTES* sa);

// What GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE and GENERIC_ALL mean for one kind of object.
struct GenericMapping {
    ACCESS_MASK read, write, execute, all;
};
ACCESS_MASK MapGeneric(ACCESS_MASK access, const GenericMapping& mapping);
// Whether the caller's token is granted every right of `wanted` by the list.
bool AccessGranted(Machine& machine, const AccessList& list, ACCESS_MASK wanted, const GenericMapping& mapping);

} // namespace sim
