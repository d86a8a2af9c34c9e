// Removal vetoes, subtrees that follow their parent's start and stop, and the restart.
#include "sim/pnp.h"

#include "sim/slot.h"

#include <utility>

namespace sim {
namespace {

// The first node at or below Id that vetoes its removal. A veto may come with the type
// PNP_VetoTypeUnknown, "rejected for an unknown reason" (reference: PNP_VETO_TYPE), and
// only the vetoer's name: a node with a name and no type vetoes so.
const DevNode* Vetoer(const DeviceTree& tree, DEVINST id)
{
    const DevNode* n = tree.find(id);
    if (!n || !n->present) return nullptr;
    if (n->veto != PNP_VetoTypeUnknown || !n->veto_name.empty()) return n;
    for (DEVINST child : n->children)
        if (const DevNode* v = Vetoer(tree, child)) return v;
    return nullptr;
}

bool AtOrBelow(const DeviceTree& tree, DEVINST node, DEVINST top)
{
    for (const DevNode* n = tree.find(node); n; n = tree.find(n->parent))
        if (n->id == top) return true;
    return false;
}

// A volume in use on a disk at or below Id: a file is open on it or it is locked. Only
// a mounted file system holds files: a reader slot without a medium, or a volume
// without a file system, holds none; network and CD drives number no disk.
const Volume* VolumeInUseBelow(const Machine& machine, DEVINST id)
{
    for (const auto& [number, disk] : machine.storage.disks) {
        if (disk.node == 0 || !disk.medium || !AtOrBelow(machine.tree, disk.node, id)) continue;
        for (const auto& [letter, v] : machine.storage.volumes) {
            if (v.disk != number || v.total_bytes == 0 || v.drive_type == DRIVE_REMOTE || v.drive_type == DRIVE_CDROM)
                continue;
            if (v.InUse(machine.Now()) || v.locked_by) return &v;
        }
    }
    return nullptr;
}

// The slot whose card's nodes include Id while the card cannot answer (its link is down
// or it was pulled): such nodes come back with the card, not with their parent.
Slot* DeadSlotHolding(Machine& machine, DEVINST id)
{
    for (auto& s : machine.slots)
        if (s.card != 0 && !(s.link_up && s.inserted) && AtOrBelow(machine.tree, id, s.card)) return &s;
    return nullptr;
}

void ParkWithSlot(Machine& machine, Slot& slot, DEVINST id)
{
    DevNode& n = machine.tree.node(id);
    n.taken_down_by = 0;
    slot.taken_down.push_back(id);
    for (DEVINST c : n.children)
        if (machine.tree.node(c).taken_down_by == id) ParkWithSlot(machine, slot, c);
}

} // namespace

std::u16string VolumeInstancePath(const Volume& volume)
{
    return u"STORAGE\\Volume\\Disk" + Widen(std::to_string(volume.disk)) + u"#Partition" +
           Widen(std::to_string(volume.partition));
}

std::optional<Veto> QueryRemove(const Machine& machine, DEVINST id)
{
    if (const DevNode* v = Vetoer(machine.tree, id)) return Veto{v->veto, v->veto_name};
    if (const Volume* v = VolumeInUseBelow(machine, id)) return Veto{PNP_VetoOutstandingOpen, VolumeInstancePath(*v)};
    return std::nullopt;
}

void TakeDownBelow(Machine& machine, DEVINST id)
{
    std::vector<DEVINST> pending(machine.tree.node(id).children);
    for (DEVINST c : pending) {
        DevNode& n = machine.tree.node(c);
        if (!n.present) continue;
        n.present = false;
        n.taken_down_by = id;
        TakeDownBelow(machine, c);
    }
}

void BringBackBelow(Machine& machine, DEVINST id)
{
    for (DEVINST c : std::vector<DEVINST>(machine.tree.node(id).children)) {
        DevNode& n = machine.tree.node(c);
        if (!n.present && n.taken_down_by == id) {
            if (Slot* slot = DeadSlotHolding(machine, c)) {
                ParkWithSlot(machine, *slot, c);
                continue;
            }
            n.present = true;
            n.taken_down_by = 0;
        }
        if (n.present && (n.status & DN_STARTED)) BringBackBelow(machine, c);
    }
}

void Restart(Machine& machine)
{
    for (auto& [letter, volume] : machine.storage.volumes) {
        volume.open_files = 0;
        volume.transient_holder_until = {};
        volume.dismounted = false;
    }
    for (auto& [number, disk] : machine.storage.disks) disk.removal_locks = 0;
    for (DEVINST id : machine.tree.order()) {
        DevNode& n = machine.tree.node(id);
        const Pending pending = std::exchange(n.pending, Pending::kNone);
        if (pending == Pending::kDisable) n.problem = CM_PROB_DISABLED;
        if (pending == Pending::kDisable || pending == Pending::kStop) n.status &= ~DN_STARTED;
    }
    // From the root down: a started node enumerates its children, one that is not
    // started has none.
    for (DEVINST id : machine.tree.order()) {
        const DevNode& n = machine.tree.node(id);
        if (!n.present) continue;
        if (n.status & DN_STARTED)
            BringBackBelow(machine, id);
        else
            TakeDownBelow(machine, id);
    }
    ReenumerateSlots(machine, machine.tree.root());
}

} // namespace sim
