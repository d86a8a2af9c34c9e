#include "app/model.h"

namespace px71app {
namespace {

// A name or eject request for one card; the eject reads no CardNameSize.
PipeRequest CardRequest(std::uint32_t command, std::uint32_t controller, std::uint32_t index)
{
    PipeRequest request{};
    request.Command = command;
    request.ControllerIndex = controller;
    request.CardIndex = index;
    request.CardNameSize = PX71_CARD_NAME_UNITS;
    return request;
}

std::string NoAnswer(const px71client::Answer& answer)
{
    return std::string("PX71Service did not answer: ") + px71client::Describe(answer.outcome) + " (error " +
           std::to_string(answer.error) + ")";
}

} // namespace

Ask ServiceAsk(DWORD timeoutMs)
{
    return [timeoutMs](const PipeRequest& request, PipeRequest& reply) {
        return px71client::Transact(request, reply, timeoutMs);
    };
}

Listing ListCards(const Ask& ask)
{
    Listing listing;
    for (const auto& kind : px71client::kCardKinds) {
        for (std::uint32_t index = 0; index < px71client::kMostCards; ++index) {
            PipeRequest reply{};
            const px71client::Answer answer = ask(CardRequest(kind.name_code, 0, index), reply);
            if (answer.outcome != px71client::Outcome::kAnswered) {
                listing.problem = NoAnswer(answer);
                return listing;
            }
            if (reply.Result == 0) break;
            listing.cards.push_back({&kind, 0, index, reply.Result, px71client::CardNameText(reply),
                                     px71client::DescribeReply(reply)});
        }
    }
    return listing;
}

Notification Eject(const Ask& ask, const Card& card)
{
    PipeRequest reply{};
    px71client::Answer answer = ask(CardRequest(card.kind->name_code, card.controller, card.index), reply);
    if (answer.outcome != px71client::Outcome::kAnswered) return {false, NoAnswer(answer)};
    if (reply.Result == 0 || px71client::CardNameText(reply) != card.name)
        return {false, px71client::CardPlace(*card.kind, card.controller, card.index) + "\"" + card.name +
                           "\" is no longer there; nothing was ejected"};
    answer = ask(CardRequest(card.kind->eject_code, card.controller, card.index), reply);
    if (answer.outcome != px71client::Outcome::kAnswered) return {false, NoAnswer(answer)};
    return {!px71client::ReplyFails(reply), px71client::DescribeReply(reply)};
}

} // namespace px71app
