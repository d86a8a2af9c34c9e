// The Plug and Play manager's side of the machine: who may veto a device's removal,
// subtrees that leave with a device that stops and come back when it starts, and the
// machine's restart, where changes kept in the hardware profile take effect.
#pragma once

#include "sim/machine.h"

#include <optional>
#include <string>

namespace sim {

// Why the removal of a subtree would be refused, as an eject reports it.
struct Veto {
    PNP_VETO_TYPE type = PNP_VetoTypeUnknown;
    std::u16string name;  // for PNP_VetoOutstandingOpen, the volume's device instance path
};

// The query-remove of Id and everything below it: a node's own veto, a volume of a disk
// at or below Id (with a letter or in a folder) with a file open or a lock held, or such
// a disk held open as a raw device (reference: PNP_VETO_TYPE, "PNP_VetoOutstandingOpen
// ... device instance path"). Nothing when all may go.
std::optional<Veto> QueryRemove(const Machine& machine, DEVINST id);

// The device instance path a volume, or a disk, reports as the one that vetoed.
std::u16string VolumeInstancePath(const Volume& volume);
std::u16string DiskInstancePath(const PhysicalDisk& disk);

// A query-and-remove that nothing vetoed: Id and everything below it leave the tree,
// and come back when Id's parent is enumerated again (RestartRemoved), unless
// no_restart keeps them out until they are reset or found anew.
void RemoveAfterQuery(Machine& machine, DEVINST id, bool no_restart);
// Re-enumeration of Id: the query-removed nodes below it that may restart come back.
void RestartRemoved(Machine& machine, DEVINST id);

// The children of a node that stops or is disabled leave the tree with everything
// below them; they are remembered as taken down by that node. Nodes already gone stay
// as they were.
void TakeDownBelow(Machine& machine, DEVINST id);
// A node that starts enumerates its children anew: those it took down come back, and
// so on below every one of them that is itself started. A slot's card comes back only
// while its link is up and a card is in it.
void BringBackBelow(Machine& machine, DEVINST id);

// The machine starts again: the programs that held files open on its volumes are gone,
// every disable or stop kept pending takes effect, and the tree is
// enumerated anew from the root.
void Restart(Machine& machine);

} // namespace sim
