// The walk every card export shares: the controllers of one kind among the present
// devices of their setup class, the selected controller (or SI3132 pair), and the
// cards below it, numbered in walk order. The name and removal exports supply only
// what they do with the selected card.
#pragma once

#include "library/device_tree.h"
#include "library/disk_identification.h"

namespace px71 {

struct CardController {
    const GUID* setupClass;
    const char* prefix;  // of the controller's first hardware ID, compared ignoring case
    bool pairs;          // ControllerIndex selects a pair of controllers (the SI3132s of one adapter)
};

extern const CardController kCardBusController;
extern const CardController kEhciController;
extern const CardController kOhciController;
extern const CardController kSataController;

enum class CardStep {
    Next,           // go on with the next child
    EndController,  // the walk of this controller ends
    Found,          // the card was found; the walk ends
    Abort,          // the call ends with its failure value
};

enum class Match { No, Yes, OutOfMemory };

// The member is a controller of this kind: its first hardware ID, read with the ANSI
// call, begins with the controller's prefix.
Match MatchController(HDEVINFO set, SP_DEVINFO_DATA& data, const CardController& controller) noexcept;

// OnChild(DEVINST child, DWORD& cardNumber) runs for every child of the selected
// controller(s) in walk order; it counts the cards it finds in cardNumber, which runs
// on across an SI3132 pair. Returns Found when a visitor found its card, Abort when
// the call is to fail, Next when the walk ran out.
template <typename OnChild>
CardStep WalkControllerCards(const CardController& controller, DWORD controllerIndex, OnChild&& onChild) noexcept
{
    UniqueDevInfo set = PresentClassDevices(*controller.setupClass);
    if (!set) return CardStep::Abort;
    DWORD controllers = 0;
    DWORD card = 0;
    CardStep outcome = CardStep::Next;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        const Match match = MatchController(set.get(), data, controller);
        if (match == Match::OutOfMemory) {
            outcome = CardStep::Abort;
            return Walk::Stop;
        }
        if (match == Match::No) return Walk::Next;
        const DWORD number = controller.pairs ? controllers / 2 : controllers;
        ++controllers;
        if (number != controllerIndex) return Walk::Next;
        for (DEVINST child = FirstChild(data.DevInst); child != 0; child = NextSibling(child)) {
            const CardStep step = onChild(child, card);
            if (step == CardStep::EndController) break;
            if (step == CardStep::Found || step == CardStep::Abort) {
                outcome = step;
                return Walk::Stop;
            }
        }
        return Walk::Next;
    });
    return outcome;
}

// The cards below the EHCI root hub, as the name and the removal export both number
// them: started children without a problem, the reader's hub standing for the media
// in its CF slots, then in its SD slots.
struct EhciCard {
    enum Kind { UsbDevice, CfMedium, SdMedium } kind;
    DEVINST node;            // the USB device, or the reader's hub
    const char* volumePath;  // "\\.\X:" of a medium
};

// Runs OnCard(const EhciCard&) -> int for the card numbered CardIndex and returns its
// result; 0 when there is no such card or the walk failed.
template <typename OnCard>
int WithEhciCard(DWORD controllerIndex, DWORD cardIndex, OnCard&& onCard) noexcept;

Match IsReaderHub(DEVINST node) noexcept;

template <typename OnCard>
int WithEhciCard(DWORD controllerIndex, DWORD cardIndex, OnCard&& onCard) noexcept
{
    int result = 0;
    WalkControllerCards(kEhciController, controllerIndex, [&](DEVINST child, DWORD& card) {
        ULONG status = 0, problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, child, 0) != CR_SUCCESS) return CardStep::EndController;
        if (problem != 0 || !(status & DN_STARTED)) return CardStep::Next;
        const Match hub = IsReaderHub(child);
        if (hub == Match::OutOfMemory) return CardStep::Abort;
        if (hub == Match::No) {
            if (card++ != cardIndex) return CardStep::Next;
            result = onCard(EhciCard{EhciCard::UsbDevice, child, nullptr});
            return CardStep::Found;
        }
        const struct {
            EhciCard::Kind kind;
            const char* slotId;
        } slots[] = {{EhciCard::CfMedium, kCfSlotId}, {EhciCard::SdMedium, kSdSlotId}};
        for (const auto& slot : slots) {
            const SlotAction scan = ScanReaderSlots(slot.slotId, [&](const char* volumePath) {
                if (card++ != cardIndex) return SlotAction::Next;
                result = onCard(EhciCard{slot.kind, child, volumePath});
                return SlotAction::Stop;
            });
            if (scan == SlotAction::Stop) return CardStep::Found;
        }
        return CardStep::Next;
    });
    return result;
}

} // namespace px71
