// The adapter's ExpressCard slots as the service sees them: where they are, what one
// holds (the read-only slot command), and the watch that makes a card put into the slot
// appear by itself. The root port has no native hot plug, so Windows never notices a
// card come or go; the watch looks at each slot's Presence Detect State once a second
// and does what a person would otherwise do by hand.
#pragma once

#include "platform/win32.h"
#include "service/pipe_request.h"

namespace px71service {

// More slots than any PC holds adapters.
inline constexpr DWORD kMaxSlots = 8;

// The buses of the adapter's slot bridge functions (1217:02E3) among the present PCI
// devices, each confirmed by its registers as every slot export confirms it; their
// count, and where `bridges` is given each one's device node. Without the dump driver
// none is confirmed.
DWORD FindSlots(BYTE (&buses)[kMaxSlots], DEVINST* bridges = nullptr) noexcept;

// The slot command: what the slot numbered request.ControllerIndex holds (see
// pipe_request.h, PX71_CMD_GET_SLOT).
void DescribeSlot(PipeRequest& request) noexcept;

// Where the watch can be switched off: the REG_DWORD "WatchSlot" under the service's
// Parameters key; 0 turns it off, anything else or nothing leaves it on.
inline constexpr WCHAR kWatchSlotValue[] = W16("WatchSlot");
bool WatchSlotWanted() noexcept;

// The watch's decisions, apart from any timer or pipe: the serving loop calls Tick once
// a second and AfterCommand after each request, on its one thread.
//   - Each tick reads Slot Status of every slot (one configuration read each). A
//     presence that changed and still holds at the next tick counts; a read that fails
//     or reads all ones is no change at all.
//   - A card in: its link on and the slot's bus enumerated, and a line in PX71.LOG with
//     what appeared.
//   - A card out while its devices are still in the tree (pulled without being
//     stopped): the bus enumerated so that they go, and a line saying so.
//   - A card a client stopped (link off by request), or found at the start with its
//     link off, is left off until it has been pulled and put in again.
//   - A read that fails has the slots looked for again (a bridge restart may move
//     them), at once and then less and less often.
//   - A slot found anew, at the start or after its reads failed, is brought in step
//     with the tree: a card that came or went while nothing watched is acted on then.
class SlotWatch {
public:
    // Finds the slots and what each holds now; false when there is none to watch.
    bool Start() noexcept;
    void Tick() noexcept;
    // A request the serving loop ran, with its reply's Result.
    void AfterCommand(const PipeRequest& request) noexcept;

private:
    struct Slot {
        BYTE bus = 0;
        bool present = false;  // the presence last acted on
        bool changing = false;  // the other presence was read once: it counts if it holds
        bool stopped = false;   // left off until pulled and put in again
    };
    void Find() noexcept;
    void CardIn(Slot& slot) noexcept;
    void CardOut(Slot& slot) noexcept;

    Slot slots_[kMaxSlots];
    DWORD count_ = 0;
    DWORD refind_in_ = 0;    // ticks until the slots are looked for again; 0: not asked
    DWORD refind_wait_ = 1;  // the wait after the next failed look, doubling up to a minute
};

} // namespace px71service
