#include "app/slot.h"

namespace px71app {
namespace {

constexpr DWORD kLinkControl = 0x50;      // Link Control in the low half
constexpr DWORD kLinkDisable = 0x00000010;

} // namespace

SlotState ReadSlot(const SlotLibrary& library)
{
    SlotState state;
    for (DWORD bus = 0; bus <= 0xFF && !state.found; ++bus) {
        int present = 0;
        if (library.get_status(bus, &present) != 1) continue;
        state.found = true;
        state.bus = static_cast<std::uint8_t>(bus);
        state.card_present = present == 1;
        DWORD value = 0;
        if (library.read_pci(bus, kLinkControl, &value) && value != 0xFFFFFFFF) state.link_on = !(value & kLinkDisable);
    }
    if (!state.found) {
        state.words = "no adapter slot bridge on any bus: the adapter is not there, or the dump driver "
                      "\\\\.\\XUDUMP that reads it is not installed";
        return state;
    }
    state.words = "slot bridge on bus " + std::to_string(state.bus) + ": " +
                  (state.card_present ? "a card is in the slot" : "the slot is empty") + "; the link is " +
                  (state.link_on ? (*state.link_on ? "on" : "off") : "unknown (its register cannot be read)");
    return state;
}

Notification SwitchLink(const Ask& ask, std::uint8_t bus, bool on)
{
    PipeRequest request{};
    request.Command = PX71_CMD_SET_STATUS;
    request.SetStatusArgs[0] = bus;
    request.SetStatusArgs[1] = 0;  // re-enumerate the devices on the bus
    request.SetStatusArgs[2] = on ? 1 : 0;
    request.SetStatusArgs[3] = 1;  // the volume check
    return Send(ask, request);
}

} // namespace px71app
