// The Slot page's model: where the adapter's slot bridge is, whether a card is in the
// slot and whether its link is on, read through the device library directly (reading
// needs no service); switching the link goes through the service with the volume check.
#pragma once

#include "app/model.h"

#include <cstdint>
#include <optional>
#include <string>

namespace px71app {

// The two reading exports of PX71.dll: the library itself on the simulated machine,
// the installed DLL on Windows.
struct SlotLibrary {
    int (*get_status)(DWORD bus, int* card_present) = nullptr;
    int (*read_pci)(DWORD bus, DWORD reg, DWORD* value) = nullptr;
};

struct SlotState {
    bool found = false;
    std::uint8_t bus = 0;
    bool card_present = false;
    std::optional<bool> link_on;  // none when the link register cannot be read
    std::string words;
};

// Asks bus 0, 1, ... 255 for the adapter's slot bridge; the first that has it is the slot.
SlotState ReadSlot(const SlotLibrary& library);
// Switches the slot's link, with the volume check: a volume in use below the slot keeps
// the link on, and the words say so. The devices on the bus are re-enumerated.
Notification SwitchLink(const Ask& ask, std::uint8_t bus, bool on);

} // namespace px71app
