// The main program's model against the running service on the simulated default
// machine: the cards it lists and the notification an eject gives are px71ctl's words,
// and a card that went since the listing is never ejected in another's stead.
#include "app/diagnostics.h"
#include "app/model.h"
#include "app/settings.h"
#include "app/slot.h"
#include "library/px71.h"
#include "sim/files.h"
#include "sim/slot.h"
#include "sim/storage.h"
#include "support/run_px71ctl.h"
#include "support/service_machine.h"

#include <gtest/gtest.h>

#include <thread>
#include <tuple>
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
    EXPECT_TRUE(done.ok);
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
    ASSERT_TRUE(px71app::Eject(ask, *first).ok);
    // The second disk is card 0 now; card 1 is nobody.
    const px71app::Notification gone = px71app::Eject(ask, *second);
    EXPECT_FALSE(gone.ok);
    EXPECT_EQ(gone.text, "sata controller 0, card 1: \"WDC WD5000AAKS-00V1A0\" is no longer there; nothing was ejected");
    EXPECT_TRUE(machine.tree.node(nodes.sata_disk[1]).present);

    const px71app::Card* reader_sd = Find(listing, "ehci", 2);
    ASSERT_NE(reader_sd, nullptr);
    machine.storage.disk(3)->medium = false;  // the CF medium pulled: the SD medium is card 1 now
    const px71app::Notification moved = px71app::Eject(ask, *reader_sd);
    EXPECT_FALSE(moved.ok);
    EXPECT_TRUE(machine.storage.disk(4)->medium) << "the SD medium, now at another number, stays";
}

TEST_F(AppModelTest, WithoutTheServiceTheNotificationSaysSo)
{
    const px71app::Listing listing = px71app::ListCards(ask);
    ASSERT_FALSE(listing.cards.empty());
    ASSERT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
    service.join();
    const px71app::Notification refused = px71app::Eject(ask, listing.cards.front());
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.text.rfind("PX71Service did not answer: ", 0), 0u) << refused.text;
    EXPECT_NE(refused.text.find("start it in Services"), std::string::npos) << refused.text;
    EXPECT_NE(px71app::ListCards(ask).problem, "");
}

// The page's texts for settings that the check lets through.
px71app::SettingTexts GoodSettings()
{
    return {"2", "4", "8", "16", "16", "1", "0xC0000000", "0xDFFFFFFF", "256", "1"};
}

// An Ask that counts what would have been sent.
struct Counting {
    int sent = 0;
    px71app::Ask ask = [this](const PipeRequest&, PipeRequest&) {
        ++sent;
        return px71client::Answer{};
    };
};

// A busy pipe is tried again, and each new try is told; other outcomes are not retried.
TEST(AppModelPatience, ABusyPipeIsTriedAgainAndTheWaitTold)
{
    struct Row {
        std::vector<px71client::Outcome> outcomes;  // one a try
        int tries;
        px71client::Outcome last;
        std::vector<int> told;
    } const rows[] = {
        {{px71client::Outcome::kBusy, px71client::Outcome::kAnswered}, 3, px71client::Outcome::kAnswered, {2}},
        {{px71client::Outcome::kBusy, px71client::Outcome::kBusy, px71client::Outcome::kBusy}, 3,
         px71client::Outcome::kBusy, {2, 3}},
        {{px71client::Outcome::kNoService}, 3, px71client::Outcome::kNoService, {}},
        {{px71client::Outcome::kBusy}, 1, px71client::Outcome::kBusy, {}},
    };
    for (const Row& row : rows) {
        std::size_t asked = 0;
        std::vector<int> told;
        const px71app::Ask patient = px71app::Patient(
            [&](const PipeRequest&, PipeRequest&) { return px71client::Answer{row.outcomes.at(asked++)}; }, row.tries,
            [&](int attempt, int tries) {
                EXPECT_EQ(tries, row.tries);
                told.push_back(attempt);
            });
        PipeRequest request{}, reply{};
        EXPECT_EQ(patient(request, reply).outcome, row.last);
        EXPECT_EQ(asked, row.outcomes.size());
        EXPECT_EQ(told, row.told);
    }
}

TEST_F(AppModelTest, SettingsOutsideTheirBoundsAreRefusedBeforeAnythingIsSent)
{
    struct Row {
        std::size_t field;
        const char* text;
        const char* reason;
    } const rows[] = {
        {1, "1.5", "Oz888Len: a window length is a whole number of MiB from 0 to 4095, not \"1.5\""},
        {0, "4096", "PortLen: a window length is a whole number of MiB from 0 to 4095, not \"4096\""},
        {5, "-1", "USBLen: a window length is a whole number of MiB from 0 to 4095, not \"-1\""},
        {2, " ", "SxsLen: a value is needed"},
        {6, "0x1FFFFFFFF", "StartAdrs: an address is a number from 0 to 0xFFFFFFFF, not \"0x1FFFFFFFF\""},
        {7, "0xC0000000", "StartAdrs 0xC0000000 is not below EndAdrs 0xC0000000: the range starts below its end"},
        {7, "0", "StartAdrs 0xC0000000 is not below EndAdrs 0x00000000: the range starts below its end"},
        {8, "300", "PayloadSize: the payload size is 128, 256, 512, 1024, 2048 or 4096 bytes, not \"300\""},
        {8, "64", "PayloadSize: the payload size is 128, 256, 512, 1024, 2048 or 4096 bytes, not \"64\""},
        {9, "2", "SataSSC: 0 (off) or 1 (on), not \"2\""},
    };
    const px71app::SettingTexts before = px71app::ShowSettings(px71app::ReadSettings());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        px71app::SettingTexts texts = GoodSettings();
        texts[row.field] = row.text;
        const px71app::CheckedSettings checked = px71app::CheckSettings(texts, false);
        EXPECT_EQ(checked.reason, row.reason);
        Counting counting;
        const px71app::Notification refused = px71app::StoreSettings(counting.ask, checked);
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.text, std::string("nothing was sent: ") + row.reason);
        EXPECT_EQ(counting.sent, 0);
    }
    EXPECT_EQ(px71app::ShowSettings(px71app::ReadSettings()), before);
}

TEST_F(AppModelTest, SettingsAreReadInTheirUnitsAndStoredThroughTheService)
{
    px71app::StoredSettings stored = px71app::ReadSettings();
    ASSERT_EQ(stored.problem, "");
    px71app::SettingTexts shown = px71app::ShowSettings(stored);
    EXPECT_EQ(shown[1], "4") << "Oz888Len 0x00400000 is 4 MiB";
    EXPECT_EQ(shown[5], "1");
    EXPECT_EQ(shown[6], "") << "no StartAdrs stored";

    const px71app::Notification done = px71app::StoreSettings(ask, px71app::CheckSettings(GoodSettings(), false));
    EXPECT_TRUE(done.ok) << done.text;
    EXPECT_EQ(done.text, "settings stored under HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711; the filter driver "
                         "reads them at the next start of Windows");
    EXPECT_EQ(px71app::ShowSettings(px71app::ReadSettings()), GoodSettings()) << "read back as they were typed";
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"SxsLen"), 0x00800000u);

    // The defaults need only the five lengths that have one; the others are not read.
    px71app::SettingTexts lengths = {"", "3", "5", "7", "9", "11", "x", "", "", ""};
    const px71app::Notification defaults = px71app::StoreSettings(ask, px71app::CheckSettings(lengths, true));
    EXPECT_TRUE(defaults.ok) << defaults.text;
    stored = px71app::ReadSettings();
    EXPECT_EQ(stored.defaults[4], 9u * 0x100000);
    EXPECT_EQ(stored.values[7], 0xDFFFFFFFu) << "EndAdrs is left as it was";

    // A length that is no whole MiB is shown in bytes, and the check names it.
    machine.registry.SetDword(sim::kServiceKey, u"SxsLen", 0x1234);
    shown = px71app::ShowSettings(px71app::ReadSettings());
    EXPECT_EQ(shown[2], "0x00001234");
    EXPECT_NE(px71app::CheckSettings(shown, false).reason.find("SxsLen: "), std::string::npos);

    machine.registry.DeleteKey(sim::kServiceKey);
    EXPECT_NE(px71app::ReadSettings().problem.find("the filter driver PX711 is not installed"), std::string::npos);
}

// The slot is read through the service's slot command, in px71ctl's words: the program
// itself opens no dump driver.
TEST_F(AppModelTest, TheSlotIsReadThroughTheServiceAndItsLinkSwitchedWithTheVolumeCheck)
{
    const std::thread::id program = std::this_thread::get_id();
    px71app::SlotState slot = px71app::ReadSlot(ask);
    ASSERT_TRUE(slot.found);
    EXPECT_EQ(slot.bus, sim::kDefaultSlotBus);
    EXPECT_EQ(std::vector<std::string>{slot.words}, Px71ctlWords({"slot"}));

    const px71app::Notification off = px71app::SwitchLink(ask, slot.bus, false);
    EXPECT_TRUE(off.ok);
    EXPECT_EQ(std::vector<std::string>{off.text}, Px71ctlWords({"slot", "6", "--link", "off", "--check-volumes"}));
    EXPECT_EQ(px71app::ReadSlot(ask).link_on, false);

    machine.dump.installed = false;  // no dump driver: nothing to find the slot with
    slot = px71app::ReadSlot(ask);
    EXPECT_FALSE(slot.found);
    EXPECT_NE(slot.words.find("no adapter slot found"), std::string::npos) << slot.words;
    std::size_t opens = 0;
    for (const auto& call : machine.calls()) {
        if (call.function != "CreateFileW" || call.text.find("XUDUMP") == std::string::npos) continue;
        EXPECT_NE(call.thread, program) << "the program opened the dump driver";
        ++opens;
    }
    EXPECT_GT(opens, 0u) << "the service read the slot";
}

// The balloons for what happened between two readings: a card that came, one pulled
// without being stopped, and a card whose node lacks room for its registers, with the
// setting that gives it room.
TEST_F(AppModelTest, TheBalloonsSayWhatCameWhatWentAndWhichWindowACardLacks)
{
    const px71app::SlotState in = px71app::ReadSlot(ask);
    ASSERT_TRUE(in.card_node);
    {
        std::lock_guard lock(machine.mutex);
        sim::SetCardInserted(machine, sim::kDefaultSlotBus, false);
        sim::ReenumerateSlots(machine, nodes.slot_bridge);
    }
    const px71app::SlotState out = px71app::ReadSlot(ask);
    auto news = px71app::Compare(in, out);
    ASSERT_EQ(news.size(), 1u);
    EXPECT_EQ(news[0].text, "ExpressCard pulled without being stopped: \"ExpressCard PCI Express to PCI Bridge\". "
                            "Data being written to it may have been lost.");
    EXPECT_TRUE(news[0].warning);

    // Back in, as a SATA card that found no room for its registers.
    machine.tree.SetMultiSz(nodes.express_card, CM_DRP_HARDWAREID, {u"PCI\\VEN_1095&DEV_3132&SUBSYS_71321095&REV_01"});
    machine.tree.SetMultiSz(nodes.express_card, CM_DRP_COMPATIBLEIDS, {u"PCI\\VEN_1095&CC_010400", u"PCI\\CC_010400"});
    {
        std::lock_guard lock(machine.mutex);
        sim::SetCardInserted(machine, sim::kDefaultSlotBus, true);
        sim::ReenumerateSlots(machine, nodes.slot_bridge);
    }
    machine.tree.node(nodes.express_card).problem = CM_PROB_NORMAL_CONFLICT;
    const px71app::SlotState back = px71app::ReadSlot(ask);
    EXPECT_EQ(back.pci_id, 0x10953132u);
    news = px71app::Compare(out, back);
    ASSERT_EQ(news.size(), 2u);
    EXPECT_EQ(news[0].text, "ExpressCard inserted: ExpressCard PCI Express to PCI Bridge");
    EXPECT_FALSE(news[0].warning);
    EXPECT_EQ(news[1].text, "\"ExpressCard PCI Express to PCI Bridge\": This device cannot find enough free "
                            "resources that it can use. (Code 12) It gets its resources from the SATA controller A "
                            "and B windows of the adapter's filter driver: click to open Settings and make it larger.");
    EXPECT_EQ(news[1].setting, std::optional<std::size_t>(3));
    EXPECT_STREQ(px71app::kSettings[*news[1].setting].name, "A3132Len");
    EXPECT_TRUE(px71app::Compare(back, back).empty()) << "a problem is told once";

    // A card whose IDs do not tell its kind gets its room from the port window.
    machine.tree.SetMultiSz(nodes.express_card, CM_DRP_HARDWAREID, {u"PCI\\VEN_10XY&DEV_0001"});
    machine.tree.DeleteProperty(nodes.express_card, CM_DRP_COMPATIBLEIDS);
    const px71app::SlotState unknown = px71app::ReadSlot(ask);
    EXPECT_EQ(unknown.pci_id, 0u);
    EXPECT_EQ(unknown.class_code, 0u);
    EXPECT_STREQ(px71app::kSettings[px71app::WindowFor(unknown)].name, "PortLen");

    // The window each kind of card gets its room from.
    px71app::SlotState card = back;
    for (const auto& [id, code, name] : {std::tuple{0x12178134u, 0x060700u, "Oz888Len"},
                                         std::tuple{0x12170000u, 0x0C0320u, "USBLen"},
                                         std::tuple{0x104C8240u, 0x060400u, "PortLen"}}) {
        card.pci_id = id;
        card.class_code = code;
        EXPECT_STREQ(px71app::kSettings[px71app::WindowFor(card)].name, name);
    }
}

// Link off and "Stop the ExpressCard" always ask for the volume check: a file open below
// the slot refuses them for an administrator as for a plain user, and the refusal names
// who holds the card.
TEST_F(AppModelTest, StoppingTheCardWaitsForEveryFileOnItForEveryone)
{
    sim::NewDevice d;
    d.description = u"Card disk";
    sim::AddDisk(machine, machine.tree.Add(nodes.express_card, d), 9,
                 u"\\\\?\\scsi#disk&ven_card#6&1f&0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    sim::AddVolume(machine, 'K', 9, 1'000'000).open_files = 1;
    const std::u16string log = machine.files().ProgramFolder() + u"PX71.LOG";
    const auto linkOn = [&] { return (machine.dump.Read(sim::kDefaultSlotBus, 0x50) & sim::kLinkDisable) == 0; };
    for (const auto account : {sim::Account::kUser, sim::Account::kAdministrator}) {
        SCOPED_TRACE(static_cast<int>(account));
        sim::CallerAccount caller(account);
        EXPECT_FALSE(px71app::SwitchLink(ask, sim::kDefaultSlotBus, false).ok);
        const px71app::Notification stop = px71app::StopCard(ask, sim::kDefaultSlotBus, log.c_str());
        EXPECT_FALSE(stop.ok);
        EXPECT_EQ(stop.text, "The ExpressCard cannot be stopped now: a program is using a drive on it, or Windows "
                             "could not tell whether one is. Close the files and programs that use it, then try again.");
        EXPECT_TRUE(linkOn());
    }
    // A volume without a letter passes the volume check; Plug and Play names the holder.
    machine.storage.volumes.erase('K');
    sim::AddMountedVolume(machine, u"C:\\Mnt\\Card\\", 9, 2000).open_files = 1;
    const px71app::Notification vetoed = px71app::StopCard(ask, sim::kDefaultSlotBus, log.c_str());
    EXPECT_EQ(vetoed.text.rfind("The ExpressCard cannot be stopped now: a program has a file open on it (", 0), 0u)
        << vetoed.text;
    EXPECT_TRUE(linkOn());

    machine.storage.unlettered[0].open_files = 0;
    const px71app::Notification stopped = px71app::StopCard(ask, sim::kDefaultSlotBus, log.c_str());
    EXPECT_TRUE(stopped.ok);
    EXPECT_EQ(stopped.text, "You can pull the ExpressCard now.");
    EXPECT_FALSE(linkOn());
    EXPECT_FALSE(machine.tree.node(nodes.express_card).present);
    EXPECT_TRUE(machine.surprise_removals.empty());
}

TEST_F(AppModelTest, DiagnosticsAreWordedAsTheToolsWordThem)
{
    // px71ctl prints the same words, with the raw numbers after the first line.
    std::string printed = px71test::RunPx71ctl({"check"}).out;
    const auto numbers = printed.find(" (Result ");
    ASSERT_NE(numbers, std::string::npos);
    printed.erase(numbers, printed.find('\n') - numbers);
    EXPECT_EQ(px71app::CheckDevice(ask).text + "\n", printed);

    const std::u16string log = machine.files().ProgramFolder() + u"PX71.LOG";
    machine.files().Delete(log);
    EXPECT_EQ(px71app::ReadLog(log.c_str()).problem.rfind("no log yet", 0), 0u);

    Counting counting;
    const px71app::Notification tooLong = px71app::WriteReport(counting.ask, std::string(200, 'x'));
    EXPECT_EQ(tooLong.text, "nothing was sent: a report's title is at most 199 bytes, and this one has 200");
    EXPECT_EQ(counting.sent, 0);

    const px71app::Notification written = px71app::WriteReport(ask, "after the card went");
    EXPECT_TRUE(written.ok) << written.text;
    const px71app::LogView view = px71app::ReadLog(log.c_str());
    EXPECT_EQ(view.problem, "");
    ASSERT_GT(view.lines.size(), 5u);
    EXPECT_EQ(view.lines[0], "PX71 log PX71.LOG");
    bool titled = false;
    for (const auto& line : view.lines) titled = titled || line.find("after the card went") != std::string::npos;
    EXPECT_TRUE(titled);
}

} // namespace
