// The ExpressCard slot's hardware: what its registers do to the card and the tree.
#pragma once

#include "sim/machine.h"

namespace sim {

// Wires a slot into the machine: its bridge's writes of Link Disable (register 0x50,
// bit 4) take the link down or up, and Presence Detect State (register 0x58, bit 22)
// is set from Inserted. The bridge function's registers must exist on Slot.bus.
void AttachSlot(Machine& machine, Slot slot);

// A card is pushed into or pulled out of the slot on Bus. Pulling it takes its nodes
// away at once; a pushed card appears once the link is up and the bridge is re-enumerated.
void SetCardInserted(Machine& machine, std::uint8_t bus, bool inserted);

// Re-enumeration of Node: every slot at or below it whose link is up and which holds
// a card brings the card's nodes and registers back.
void ReenumerateSlots(Machine& machine, DEVINST node);

constexpr std::uint32_t kLinkDisable = 0x00000010;     // register 0x50
constexpr std::uint32_t kPresenceDetect = 0x00400000;  // register 0x58

} // namespace sim
