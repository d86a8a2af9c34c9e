#include "sim/slot.h"

#include <algorithm>

namespace sim {
namespace {

Slot* FindSlot(Machine& m, std::uint8_t bus)
{
    for (auto& s : m.slots)
        if (s.bus == bus) return &s;
    return nullptr;
}

bool Answers(const Slot& s) { return s.link_up && s.inserted; }

bool AtOrBelow(const DeviceTree& tree, DEVINST node, DEVINST top)
{
    for (const DevNode* n = tree.find(node); n; n = tree.find(n->parent))
        if (n->id == top) return true;
    return false;
}

// The card's top node and everything below it, in the tree's order.
std::vector<DEVINST> CardNodes(const Machine& m, const Slot& s)
{
    std::vector<DEVINST> nodes;
    if (s.card == 0) return nodes;
    std::vector<DEVINST> pending{s.card};
    while (!pending.empty()) {
        const DEVINST id = pending.back();
        pending.pop_back();
        nodes.push_back(id);
        const auto& children = m.tree.find(id)->children;
        for (auto c = children.rbegin(); c != children.rend(); ++c) pending.push_back(*c);
    }
    return nodes;
}

std::u16string Description(const Machine& m, DEVINST id)
{
    const Property* p = m.tree.property(id, CM_DRP_DEVICEDESC);
    const WideList text = p ? ParseMultiSz(p->data) : WideList{};
    return text.empty() ? std::u16string() : text[0];
}

// What leaves with a card that Windows still held: the files open on its volumes are
// lost, the handles on its disks and volumes fail from now on (reference: "Handling an
// IRP_MN_SURPRISE_REMOVAL Request").
void SurpriseRemove(Machine& m, const Slot& s, const std::vector<DEVINST>& present)
{
    SurpriseRemoval cut;
    cut.bus = s.bus;
    for (DEVINST id : present) cut.devices.push_back(Description(m, id));
    std::vector<DWORD> disks;
    for (auto& [number, disk] : m.storage.disks) {
        if (disk.node == 0 || std::find(present.begin(), present.end(), disk.node) == present.end()) continue;
        disks.push_back(number);
        if (disk.raw_handles > 0) cut.raw_handles.push_back({number, disk.raw_handles});
        disk.raw_handles = 0;
        ++disk.generation;
    }
    m.storage.ForEachVolume([&](Volume& v) {
        if (std::find(disks.begin(), disks.end(), v.disk) == disks.end()) return;
        if (v.open_files > 0) cut.open_files.push_back({v.Name(), v.open_files});
        v.open_files = 0;
        v.transient_holder_until = {};
        v.locked_by = nullptr;
    });
    m.ForEachObject([&](const KernelObject& object) {
        const auto disk = object.Disk();
        if (disk && std::find(disks.begin(), disks.end(), *disk) != disks.end()) ++cut.handles;
    });
    m.surprise_removals.push_back(std::move(cut));
}

// The card stops answering: its configuration space reads all ones, and a card whose
// nodes are still in the tree is surprise-removed.
void CardFallsSilent(Machine& m, Slot& s)
{
    auto it = m.dump.functions.find(s.card_bus);
    if (s.card_bus != 0 && it != m.dump.functions.end()) {
        s.parked = it->second;
        m.dump.functions.erase(it);
    }
    std::vector<DEVINST> present;
    for (DEVINST id : CardNodes(m, s))
        if (m.tree.node(id).present) present.push_back(id);
    if (!present.empty()) SurpriseRemove(m, s, present);
}

void CardAnswers(Machine& m, Slot& s)
{
    if (s.parked) {
        m.dump.functions[s.card_bus] = *s.parked;
        s.parked.reset();
    }
}

// Windows finds the card gone: its nodes leave the tree, to come back with the card, a
// node that a query-and-remove took out among them (the card comes anew).
void CardLeaves(Machine& m, Slot& s)
{
    for (DEVINST id : CardNodes(m, s)) {
        DevNode& n = m.tree.node(id);
        if (!n.present && !n.query_removed) continue;
        n.present = false;
        n.query_removed = n.no_restart = false;
        s.taken_down.push_back(id);
    }
}

void CardBack(Machine& m, Slot& s)
{
    for (DEVINST id : s.taken_down) {
        DevNode& n = m.tree.node(id);
        n.present = true;
        n.taken_down_by = 0;
        if (n.status == 0 && n.problem == 0) n.status = DN_DRIVER_LOADED | DN_STARTED;  // removed, now new
    }
    s.taken_down.clear();
}

void SetPresence(Machine& m, const Slot& s)
{
    auto it = m.dump.functions.find(s.bus);
    if (it == m.dump.functions.end()) return;
    auto& reg = it->second.registers[0x58 / 4];
    reg = s.inserted ? (reg | kPresenceDetect) : (reg & ~kPresenceDetect);
}

} // namespace

void AttachSlot(Machine& m, Slot slot)
{
    slot.link_up = (m.dump.Read(slot.bus, 0x50) & kLinkDisable) == 0;
    m.slots.push_back(slot);
    Slot& s = m.slots.back();
    SetPresence(m, s);
    if (!Answers(s)) {
        // Not there at the start: nothing was open on it.
        auto it = m.dump.functions.find(s.card_bus);
        if (s.card_bus != 0 && it != m.dump.functions.end()) {
            s.parked = it->second;
            m.dump.functions.erase(it);
        }
        for (DEVINST id : CardNodes(m, s)) {
            m.tree.node(id).present = false;
            s.taken_down.push_back(id);
        }
    }
    auto previous = m.dump.on_write;
    m.dump.on_write = [&m, previous](std::uint8_t bus, std::uint8_t reg, std::uint32_t before, std::uint32_t after) {
        if (previous) previous(bus, reg, before, after);
        Slot* s = FindSlot(m, bus);
        if (!s || reg / 4 != 0x50 / 4 || ((before ^ after) & kLinkDisable) == 0) return;
        const bool answered = Answers(*s);
        s->link_up = (after & kLinkDisable) == 0;
        if (answered && !Answers(*s)) CardFallsSilent(m, *s);
        if (!answered && Answers(*s)) CardAnswers(m, *s);
    };
}

void SetCardInserted(Machine& m, std::uint8_t bus, bool inserted)
{
    Slot* s = FindSlot(m, bus);
    if (!s) return;
    const bool answered = Answers(*s);
    s->inserted = inserted;
    SetPresence(m, *s);
    if (answered && !Answers(*s)) CardFallsSilent(m, *s);
    if (!answered && Answers(*s)) CardAnswers(m, *s);
    m.Notify();
}

void ReenumerateSlots(Machine& m, DEVINST node)
{
    for (auto& s : m.slots) {
        const DevNode* bridge = m.tree.find(s.bridge);
        if (!bridge || !bridge->present || !(bridge->status & DN_STARTED) || !AtOrBelow(m.tree, s.bridge, node))
            continue;
        if (Answers(s))
            CardBack(m, s);
        else
            CardLeaves(m, s);
    }
}

Slot* SilentSlotHolding(Machine& m, DEVINST id)
{
    for (auto& s : m.slots)
        if (s.card != 0 && !Answers(s) && AtOrBelow(m.tree, id, s.card)) return &s;
    return nullptr;
}

bool OnSilentCard(const Machine& m, DEVINST id) { return SilentSlotHolding(const_cast<Machine&>(m), id) != nullptr; }

} // namespace sim
