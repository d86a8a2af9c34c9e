// The ExpressCard slot's hardware: what its registers do to the card and the tree.
#pragma once

#include "sim/machine.h"

namespace sim {

// Wires a slot into the machine: its bridge's writes of Link Disable (register 0x50,
// bit 4) take the link down or up, and Presence Detect State (register 0x58, bit 22)
// is set from Inserted. The bridge function's registers must exist on Slot.bus. A card
// that does not answer at the start (out, or its link off) has no nodes in the tree.
void AttachSlot(Machine& machine, Slot slot);

// A card is pushed into or pulled out of the slot on Bus. A card stops answering the
// moment it is pulled or its link goes off (its registers read all ones, its disks fail
// every request), and one that was still in use is surprise-removed (SurpriseRemoval);
// it answers again once it is in and its link is up. The root port has no native hot
// plug: Windows learns of either only when the slot's bus is enumerated again
// (ReenumerateSlots), and until then the tree holds what it held.
void SetCardInserted(Machine& machine, std::uint8_t bus, bool inserted);

// Re-enumeration of Node: for every slot at or below it whose bridge runs, a card that
// answers brings its nodes back, and the nodes of one that does not leave the tree.
void ReenumerateSlots(Machine& machine, DEVINST node);

// The slot whose card holds Id while the card does not answer; null when there is none.
Slot* SilentSlotHolding(Machine& machine, DEVINST id);
bool OnSilentCard(const Machine& machine, DEVINST id);

constexpr std::uint32_t kLinkDisable = 0x00000010;     // register 0x50
constexpr std::uint32_t kPresenceDetect = 0x00400000;  // register 0x58

} // namespace sim
