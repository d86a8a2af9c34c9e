// The walk every card export shares: the controllers of one kind among the present
// devices of their setup class, the selected controller (or SI3132 pair), and the
// cards below it, numbered in walk order. The name and removal exports supply only
// what they do with the selected card.
#pragma once

#include "library/device_tree.h"
#include "library/disk_identification.h"

#include <type_traits>

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

// A callable handed down a walk: no copy, and one walk for every caller rather than one
// per lambda.
template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
public:
    // From any callable but another FunctionRef, which is copied as it is.
    template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& f) noexcept  // implicit: converts, as std::function does
        : object_(static_cast<void*>(&f)),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(args...);
          })
    {
    }
    R operator()(Args... args) const { return call_(object_, args...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

// OnChild(DEVINST child, DWORD& cardNumber) runs for every child of the selected
// controller(s) in walk order; it counts the cards it finds in cardNumber, which runs
// on across an SI3132 pair. Returns Found when a visitor found its card, Abort when
// the call is to fail, Next when the walk ran out.
CardStep WalkControllerCards(const CardController& controller, DWORD controllerIndex,
                             FunctionRef<CardStep(DEVINST, DWORD&)> onChild) noexcept;

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
int WithEhciCard(DWORD controllerIndex, DWORD cardIndex, FunctionRef<int(const EhciCard&)> onCard) noexcept;

Match IsReaderHub(DEVINST node) noexcept;

} // namespace px71
