// The Slot page's model and the news the program gives of the slot: what the service
// says the adapter's slot holds (the read-only slot command; the program itself never
// opens the dump driver), what changed between two readings in a person's words, and
// the card's stop, which Windows must agree to first.
#pragma once

#include "app/model.h"
#include "app/settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace px71app {

struct SlotState {
    bool found = false;  // the service answered and found the adapter's slot
    std::uint8_t bus = 0;
    bool card_present = false;
    std::optional<bool> link_on;  // none when the link register cannot be read
    // The card's device as Windows holds it below the slot bridge.
    bool card_node = false;
    std::string description;  // UTF-8
    std::uint32_t status = 0, problem = 0;
    std::uint32_t pci_id = 0;      // vendor in the high half, device in the low; 0 unknown
    std::uint32_t class_code = 0;  // 0 unknown
    std::string words;
};

// The first slot the service finds, in px71ctl's words.
SlotState ReadSlot(const Ask& ask);
// Switches the slot's link, with the volume check: a volume in use below the slot keeps
// the link on, and the words say so. The devices on the bus are re-enumerated.
Notification SwitchLink(const Ask& ask, std::uint8_t bus, bool on);

// Stops the card in the slot so that it can be pulled: the link goes off with the volume
// check, after Plug and Play agreed. A refusal names who holds the card, as the service
// wrote it into its log at `log`.
Notification StopCard(const Ask& ask, std::uint8_t bus, const WCHAR* log);

// Device Manager's message for a problem code, "(Code N)" included.
std::string ProblemWords(std::uint32_t problem);
// The Settings page's field whose window a card of this kind gets its resources from.
std::size_t WindowFor(const SlotState& slot);

// What happened between two readings of the slot, for a balloon.
struct SlotNews {
    std::string text;
    bool warning = false;
    std::optional<std::size_t> setting;  // the Settings field a click on it opens
};
std::vector<SlotNews> Compare(const SlotState& before, const SlotState& now);

} // namespace px71app
