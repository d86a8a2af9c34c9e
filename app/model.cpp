#include "app/model.h"

#include "platform/handles.h"
#include "platform/text.h"

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

// Whether PX71Service is installed at all: the pipe's absence alone cannot tell.
bool ServiceInstalled()
{
    const px71::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return true;  // cannot be told: assume the common case
    const px71::UniqueServiceHandle service(OpenServiceW(manager.get(), W16("PX71Service"), SERVICE_QUERY_STATUS));
    return service || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

} // namespace

std::string NoAnswer(const px71client::Answer& answer)
{
    std::string text = std::string("PX71Service did not answer: ") + px71client::Describe(answer.outcome) +
                       " (error " + std::to_string(answer.error) + ")";
    switch (answer.outcome) {
    case px71client::Outcome::kNoService:
        return text + (ServiceInstalled() ? "; start it in Services, or as an administrator with \"sc start PX71Service\""
                                          : "; it is not installed: install PX71 again");
    case px71client::Outcome::kBusy:
    case px71client::Outcome::kNoSignal: return text + "; try again in a moment";
    default: return text;
    }
}

Notification Send(const Ask& ask, const PipeRequest& request)
{
    PipeRequest reply{};
    const px71client::Answer answer = ask(request, reply);
    if (answer.outcome != px71client::Outcome::kAnswered) return {false, NoAnswer(answer)};
    return {!px71client::ReplyFails(reply), px71client::DescribeReply(reply)};
}

Ask ServiceAsk(DWORD timeoutMs)
{
    return [timeoutMs](const PipeRequest& request, PipeRequest& reply) {
        return px71client::Transact(request, reply, timeoutMs);
    };
}

Ask Patient(Ask ask, int tries, std::function<void(int attempt, int tries)> waiting)
{
    return [ask = std::move(ask), tries, waiting = std::move(waiting)](const PipeRequest& request, PipeRequest& reply) {
        px71client::Answer answer = ask(request, reply);
        for (int attempt = 2; attempt <= tries && answer.outcome == px71client::Outcome::kBusy; ++attempt) {
            if (waiting) waiting(attempt, tries);
            answer = ask(request, reply);
        }
        return answer;
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
    return Send(ask, CardRequest(card.kind->eject_code, card.controller, card.index));
}

} // namespace px71app
