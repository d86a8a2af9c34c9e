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
// without a file system, holds none; network and CD drives number no disk. A volume
// mounted in a folder counts as one with a letter.
const Volume* VolumeInUseBelow(const Machine& machine, DEVINST id)
{
    const Volume* in_use = nullptr;
    for (const auto& [number, disk] : machine.storage.disks) {
        if (disk.node == 0 || !disk.medium || !AtOrBelow(machine.tree, disk.node, id)) continue;
        const DWORD on = number;  // a structured binding cannot be captured before C++20's later compilers
        machine.storage.ForEachVolume([&](const Volume& v) {
            if (in_use || v.disk != on || v.total_bytes == 0 || v.drive_type == DRIVE_REMOTE ||
                v.drive_type == DRIVE_CDROM)
                return;
            if (v.InUse(machine.Now()) || v.locked_by) in_use = &v;
        });
        if (in_use) return in_use;
    }
    return nullptr;
}

// A disk at or below Id that another program holds open as a raw device.
const PhysicalDisk* RawHandleBelow(const Machine& machine, DEVINST id)
{
    for (const auto& [number, disk] : machine.storage.disks)
        if (disk.node != 0 && disk.raw_handles > 0 && AtOrBelow(machine.tree, disk.node, id)) return &disk;
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

// The instance path of the disk's device, as the part of its interface path between
// the prefix and the class GUID gives it: \\?\scsi#disk&ven_x#5&2c1d&0&0#{...} is
// SCSI\DISK&VEN_X\5&2C1D&0&0.
std::u16string DiskInstancePath(const PhysicalDisk& disk)
{
    std::u16string path = disk.interface_path;
    if (path.rfind(u"\\\\?\\", 0) == 0) path.erase(0, 4);
    const auto guid = path.rfind(u"#{");
    if (guid == std::u16string::npos || guid == 0) return u"\\\\.\\PHYSICALDRIVE" + Widen(std::to_string(disk.number));
    path.resize(guid);
    for (auto& c : path) {
        if (c == u'#') c = u'\\';
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return path;
}

std::optional<Veto> QueryRemove(const Machine& machine, DEVINST id)
{
    if (const DevNode* v = Vetoer(machine.tree, id)) return Veto{v->veto, v->veto_name};
    if (const Volume* v = VolumeInUseBelow(machine, id)) return Veto{PNP_VetoOutstandingOpen, VolumeInstancePath(*v)};
    if (const PhysicalDisk* d = RawHandleBelow(machine, id)) return Veto{PNP_VetoOutstandingOpen, DiskInstancePath(*d)};
    return std::nullopt;
}

void RemoveAfterQuery(Machine& machine, DEVINST id, bool no_restart)
{
    DevNode& n = machine.tree.node(id);
    if (!n.present) return;
    n.present = false;
    n.query_removed = true;
    n.no_restart = no_restart;
    // Nothing was open on its disks, or the query would have been vetoed; a handle of
    // the removed device is of no use on the one that comes back.
    for (auto& [number, disk] : machine.storage.disks)
        if (disk.node == id) ++disk.generation;
    for (DEVINST c : n.children) RemoveAfterQuery(machine, c, no_restart);
}

void RestartRemoved(Machine& machine, DEVINST id)
{
    for (DEVINST c : machine.tree.node(id).children) {
        DevNode& n = machine.tree.node(c);
        if (n.query_removed && !n.no_restart && !OnSilentCard(machine, c)) {
            n.present = true;
            n.query_removed = false;
        }
        if (n.present) RestartRemoved(machine, c);
    }
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
            if (Slot* slot = SilentSlotHolding(machine, c)) {
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
    machine.storage.ForEachVolume([](Volume& volume) {
        volume.open_files = 0;
        volume.transient_holder_until = {};
        volume.dismounted = false;
    });
    for (auto& [number, disk] : machine.storage.disks) {
        disk.removal_locks = 0;
        disk.raw_handles = 0;
    }
    for (DEVINST id : machine.tree.order()) {
        DevNode& n = machine.tree.node(id);
        // What a query-and-remove took out is found anew.
        if (n.query_removed) n.present = true;
        n.query_removed = n.no_restart = n.keys_deleted = false;
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
