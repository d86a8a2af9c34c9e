// The embedded default machine: a PC with the adapter in a PCI Express slot and a
// card in its ExpressCard slot, so every tool runs with no set-up at all.
//
//   PCI root complex (ACPI\PNP0A08)
//    `- root port (bus 0, PCI-to-PCI bridge)                      T
//        `- adapter's switch, 1E2A:0102 (bus 1)                   U
//            |- downstream port 1 (bus 2) - SI3132 A (bus 3) - disk      D1
//            |- downstream port 2 (bus 2) - SI3132 B (bus 4) - disk      D2
//            |- downstream port 3 (bus 2) - CardBus bridge 1217:8134 (bus 5) - CardBus card   D3
//            `- downstream port 4 (bus 2)                                D4
//                |- slot bridge 1217:02E3 (bus 6, function 0)  - ExpressCard (bus 7)   C1
//                |- OHCI 1217 (bus 6) - root hub                          C2
//                `- EHCI 1217 (bus 6) - root hub - USB card, NEC hub - card reader,   C3
//                                                                  |  |- CF disk (F:)
//                                                                  |  `- SD disk (G:)
//                                                                  `- a second USB card
//   Disk numbers: 0 system disk (C:, outside the adapter), 1 and 2 the SATA disks
//   (D:, E:), 3 and 4 the reader's CF and SD media (F:, G:, removable).
//   The ExpressCard slot's registers behave like the hardware (sim/slot.h).
#pragma once

#include "sim/machine.h"

namespace sim {

// The nodes of the default machine that tests and tools refer to.
struct DefaultNodes {
    DEVINST root_complex = 0;
    DEVINST root_port = 0;
    DEVINST adapter = 0;
    DEVINST downstream[4] = {};
    DEVINST sata[2] = {};
    DEVINST sata_disk[2] = {};
    DEVINST cardbus = 0;
    DEVINST cardbus_card = 0;
    DEVINST slot_bridge = 0;
    DEVINST express_card = 0;
    DEVINST ohci = 0;
    DEVINST ohci_root_hub = 0;
    DEVINST ehci = 0;
    DEVINST ehci_root_hub = 0;
    DEVINST usb_card = 0;
    DEVINST reader_hub = 0;
    DEVINST reader = 0;
    DEVINST usb_card_after_reader = 0;
    // Storage: the system disk C: outside the adapter, the SATA disks' volumes D: and
    // E:, and the reader's CF and SD disks with their removable volumes F: and G:.
    DEVINST system_controller = 0;
    DEVINST system_disk = 0;
    DEVINST reader_disk[2] = {};  // CF, SD
};

constexpr std::uint8_t kDefaultSlotBus = 6;  // bus of the adapter's slot bridge function
constexpr std::uint8_t kDefaultCardBus = 7;  // bus of the card in the ExpressCard slot

// The filter driver's service key, where the settings live.
inline constexpr char16_t kServiceKey[] = u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711";

DefaultNodes BuildDefaultMachine(Machine& machine);

} // namespace sim
