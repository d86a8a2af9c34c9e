// What the main program shows and does, apart from its window: the cards below the
// adapter's controllers as the name commands give them, and their eject, in the words
// px71ctl prints. Each call asks the service and waits for it: the window runs these
// off its own thread.
#pragma once

#include "client/pipe_client.h"
#include "client/words.h"

#include <functional>
#include <string>
#include <vector>

namespace px71app {

// One request to the service and its answer.
using Ask = std::function<px71client::Answer(const PipeRequest& request, PipeRequest& reply)>;
// PX71Service through its pipe, each request bounded by timeoutMs.
Ask ServiceAsk(DWORD timeoutMs);
// `ask`, tried again while the pipe stays busy, `tries` times in all; `waiting` hears of
// each try after the first, so that the window can say that it waits.
Ask Patient(Ask ask, int tries, std::function<void(int attempt, int tries)> waiting);

struct Card {
    const px71client::CardKind* kind = nullptr;
    std::uint32_t controller = 0;
    std::uint32_t index = 0;
    int state = 0;       // the name command's Result
    std::string name;    // UTF-8
    std::string words;   // the line px71ctl prints for it
};

struct Listing {
    std::vector<Card> cards;
    std::string problem;  // why the list is incomplete; empty when the service answered
};

// The cards of controller 0 of every kind, each asked card 0, 1, 2 ... until one
// answers 0, as "px71ctl names KIND 0" asks them.
Listing ListCards(const Ask& ask);

// What the program tells after an action, in px71ctl's words.
struct Notification {
    bool ok = false;  // it was done: for an eject, the card may be pulled now
    std::string text;
};

// Why the service gave no answer, and what a person can do about it.
std::string NoAnswer(const px71client::Answer& answer);
// One request, and the words for its answer.
Notification Send(const Ask& ask, const PipeRequest& request);

// Ejects `card` as listed. Its number is asked again first: a card that went since the
// listing moves the numbers up, and the card now at that number is not ejected in its
// stead.
Notification Eject(const Ask& ask, const Card& card);

} // namespace px71app
