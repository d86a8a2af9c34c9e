// The main program's model against the running service on the simulated default
// machine: the cards it lists and the notification an eject gives are px71ctl's words,
// and a card that went since the listing is never ejected in another's stead.
#include "app/model.h"
#include "support/run_px71ctl.h"
#include "support/service_machine.h"

#include <gtest/gtest.h>

#include <vector>

using px71test::ServiceMachineTest;

namespace {

// What px71ctl prints for a friendly form, the raw numbers of each line cut off.
std::vector<std::string> Px71ctlWords(std::vector<const char*> args)
{
    const std::string printed = px71test::RunPx71ctl(std::move(args)).out;
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = printed.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = printed.substr(at, end - at);
        const auto numbers = line.rfind(" (Result ");
        if (numbers != std::string::npos) lines.push_back(line.substr(0, numbers));
    }
    return lines;
}

std::vector<std::string> Words(const px71app::Listing& listing, const char* kind)
{
    std::vector<std::string> words;
    for (const auto& card : listing.cards)
        if (std::string(card.kind->name) == kind) words.push_back(card.words);
    return words;
}

// The cards px71ctl names for a kind, without its closing "no such card" line.
std::vector<std::string> Px71ctlCards(const char* kind)
{
    auto lines = Px71ctlWords({"names", kind, "0"});
    if (!lines.empty()) lines.pop_back();
    return lines;
}

const px71app::Card* Find(const px71app::Listing& listing, const char* kind, std::uint32_t index)
{
    for (const auto& card : listing.cards)
        if (std::string(card.kind->name) == kind && card.index == index) return &card;
    return nullptr;
}

class AppModelTest : public ServiceMachineTest {
protected:
    px71app::Ask ask = px71app::ServiceAsk(5000);
};

TEST_F(AppModelTest, ListsTheCardsAsPx71ctlNamesThem)
{
    const px71app::Listing listing = px71app::ListCards(ask);
    EXPECT_EQ(listing.problem, "");
    for (const char* kind : {"cardbus", "ehci", "ohci", "sata"}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(Words(listing, kind), Px71ctlCards(kind));
    }
    EXPECT_EQ(listing.cards.size(), 7u) << "1 CardBus card, 4 on the EHCI controller, 2 SATA disks";
}

// Ejecting the SD medium gives what "px71ctl eject ehci 0 2" gives, and the list after
// it is px71ctl's.
TEST_F(AppModelTest, EjectingTheSdMediumSaysWhatPx71ctlSays)
{
    const px71app::Listing before = px71app::ListCards(ask);
    const px71app::Card* sd = Find(before, "ehci", 2);
    ASSERT_NE(sd, nullptr);
    ASSERT_EQ(sd->name, "ZEK-PX71    SD");
    const px71app::Notification done = px71app::Eject(ask, *sd);
    EXPECT_TRUE(done.safe);
    EXPECT_EQ(done.text, "ehci controller 0, card 2: ejected; it can be pulled");
    EXPECT_FALSE(machine.storage.disk(4)->medium);
    const px71app::Listing after = px71app::ListCards(ask);
    EXPECT_EQ(Words(after, "ehci"), Px71ctlCards("ehci"));

    // The same eject, by px71ctl, on the medium put back.
    machine.storage.disk(4)->medium = true;
    EXPECT_EQ(Px71ctlWords({"eject", "ehci", "0", "2"}), std::vector<std::string>{done.text});
}

// A card that went since the listing moves the numbers up: its number now names
// another card, or none, and neither is ejected.
TEST_F(AppModelTest, ACardThatWentIsNotEjectedInAnothersStead)
{
    const px71app::Listing listing = px71app::ListCards(ask);
    const px71app::Card* first = Find(listing, "sata", 0);
    const px71app::Card* second = Find(listing, "sata", 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(px71app::Eject(ask, *first).safe);
    // The second disk is card 0 now; card 1 is nobody.
    const px71app::Notification gone = px71app::Eject(ask, *second);
    EXPECT_FALSE(gone.safe);
    EXPECT_EQ(gone.text, "sata controller 0, card 1: \"WDC WD5000AAKS-00V1A0\" is no longer there; nothing was ejected");
    EXPECT_TRUE(machine.tree.node(nodes.sata_disk[1]).present);

    const px71app::Card* reader_sd = Find(listing, "ehci", 2);
    ASSERT_NE(reader_sd, nullptr);
    machine.storage.disk(3)->medium = false;  // the CF medium pulled: the SD medium is card 1 now
    const px71app::Notification moved = px71app::Eject(ask, *reader_sd);
    EXPECT_FALSE(moved.safe);
    EXPECT_TRUE(machine.storage.disk(4)->medium) << "the SD medium, now at another number, stays";
}

TEST_F(AppModelTest, WithoutTheServiceTheNotificationSaysSo)
{
    const px71app::Listing listing = px71app::ListCards(ask);
    ASSERT_FALSE(listing.cards.empty());
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
    service.join();
    const px71app::Notification refused = px71app::Eject(ask, listing.cards.front());
    EXPECT_FALSE(refused.safe);
    EXPECT_EQ(refused.text.rfind("PX71Service did not answer: ", 0), 0u) << refused.text;
    EXPECT_NE(px71app::ListCards(ask).problem, "");
}

} // namespace
