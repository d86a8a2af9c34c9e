// The words for the service's replies, as px71ctl prints them and PX71.exe shows them.
// A reply comes back with the request's command code, so the code says which words fit.
#pragma once

#include "service/pipe_request.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace px71client {

// A kind of card controller, with the commands that name and that eject its cards.
struct CardKind {
    const char* name;  // "cardbus", "ehci", "ohci" or "sata"
    std::uint32_t name_code;
    std::uint32_t eject_code;
};
inline constexpr CardKind kCardKinds[] = {
    {"cardbus", PX71_CMD_GET_CARDBUS_CARD_NAME, PX71_CMD_STOP_CARDBUS_CARD},
    {"ehci", PX71_CMD_GET_EHCI_EXPRESS_CARD_NAME, PX71_CMD_STOP_EHCI_EXPRESS_CARD},
    {"ohci", PX71_CMD_GET_OHCI_EXPRESS_CARD_NAME, PX71_CMD_STOP_OHCI_EXPRESS_CARD},
    {"sata", PX71_CMD_GET_3132_CARD_NAME, PX71_CMD_STOP_3132_CARD},
};
// More cards than any controller of the adapter can show: where a listing that asks
// card 0, 1, 2 ... stops, should the service never answer 0.
inline constexpr std::uint32_t kMostCards = 256;

// The kind of that name; null when there is none.
const CardKind* FindCardKind(std::string_view name) noexcept;
// The kind whose cards a command names or ejects; null for the other commands.
const CardKind* CardKindOf(std::uint32_t command) noexcept;

// The state changes a set-status request can ask for, by the names px71ctl takes.
struct StateName {
    const char* name;
    std::uint8_t code;
};
inline constexpr StateName kStateNames[] = {{"reenumerate", 0}, {"enable", 1}, {"disable", 2},
                                            {"propchange", 3},  {"start", 4},  {"stop", 5}};

// Where a card sits, as the words for it begin: "ehci controller 0, card 2: ".
std::string CardPlace(const CardKind& kind, std::uint32_t controller, std::uint32_t index);

// The card name of a reply as UTF-8; a surrogate becomes '?'.
std::string CardNameText(const PipeRequest& reply);
// The words for a reply of commands 1 to 15, without the raw numbers; empty for any
// other code.
std::string DescribeReply(const PipeRequest& reply);
// Whether the reply reports a failure or that nothing was found.
bool ReplyFails(const PipeRequest& reply) noexcept;

} // namespace px71client
