#include "sim/slot.h"

namespace sim {
namespace {

Slot* FindSlot(Machine& m, std::uint8_t bus)
{
    for (auto& s : m.slots)
        if (s.bus == bus) return &s;
    return nullptr;
}

// The card stops answering: its nodes leave the tree and its configuration space
// reads all ones.
void CardGone(Machine& m, Slot& s)
{
    if (s.card != 0) {
        std::vector<DEVINST> pending{s.card};
        while (!pending.empty()) {
            DEVINST id = pending.back();
            pending.pop_back();
            DevNode& n = m.tree.node(id);
            if (n.present) {
                n.present = false;
                s.taken_down.push_back(id);
            }
            for (DEVINST c : n.children) pending.push_back(c);
        }
    }
    auto it = m.dump.functions.find(s.card_bus);
    if (s.card_bus != 0 && it != m.dump.functions.end()) {
        s.parked = it->second;
        m.dump.functions.erase(it);
    }
}

void CardBack(Machine& m, Slot& s)
{
    for (DEVINST id : s.taken_down) m.tree.node(id).present = true;
    s.taken_down.clear();
    if (s.parked) {
        m.dump.functions[s.card_bus] = *s.parked;
        s.parked.reset();
    }
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
    SetPresence(m, slot);
    auto previous = m.dump.on_write;
    m.dump.on_write = [&m, previous](std::uint8_t bus, std::uint8_t reg, std::uint32_t before, std::uint32_t after) {
        if (previous) previous(bus, reg, before, after);
        Slot* s = FindSlot(m, bus);
        if (!s || reg / 4 != 0x50 / 4 || ((before ^ after) & kLinkDisable) == 0) return;
        s->link_up = (after & kLinkDisable) == 0;
        if (!s->link_up) CardGone(m, *s);
    };
}

void SetCardInserted(Machine& m, std::uint8_t bus, bool inserted)
{
    Slot* s = FindSlot(m, bus);
    if (!s) return;
    s->inserted = inserted;
    SetPresence(m, *s);
    if (!inserted) CardGone(m, *s);
}

void ReenumerateSlots(Machine& m, DEVINST node)
{
    for (auto& s : m.slots) {
        if (!s.link_up || !s.inserted) continue;
        // The slot counts when Node is its bridge or an ancestor of it.
        for (DEVINST at = s.bridge; at != 0; at = m.tree.node(at).parent) {
            if (at == node) {
                CardBack(m, s);
                break;
            }
        }
    }
}

} // namespace sim
