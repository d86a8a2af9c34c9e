// Card names and removal over the controller walk: which card a pair of numbers
// means, what the client is told, and what is let go.
#include "library/px71.h"
#include "sim/files.h"
#include "support/machine_test.h"

#include <cstring>
#include <string>
#include <vector>

using px71test::MachineTest;

namespace {

// Builds controllers of each kind with the children a case needs.
class Cards {
public:
    explicit Cards(sim::Machine& m) : m_(m) {}

    DEVINST Controller(const GUID& cls, std::u16string hardware_id)
    {
        sim::NewDevice dev;
        dev.enumerator = "PCI";
        dev.class_guid = cls;
        dev.hardware_ids = {std::move(hardware_id), u"PCI\\CC_0000"};
        return m_.tree.Add(m_.tree.root(), dev);
    }
    DEVINST CardBus() { return Controller(sim::kClassPcmcia, u"PCI\\VEN_1217&DEV_8134&SUBSYS_01021E2A&REV_02"); }
    DEVINST Ohci() { return Controller(sim::kClassUsb, u"USB\\ROOT_HUB&VID1217&PID02EF&REV0001"); }
    DEVINST Ehci() { return Controller(sim::kClassUsb, u"usb\\root_hub20&vid1217&pid02f1&rev0001"); }
    DEVINST Sata() { return Controller(sim::kClassScsiAdapter, u"PCI\\VEN_1095&DEV_3132&SUBSYS_71321095&REV_01"); }

    DEVINST Card(DEVINST parent, std::u16string description, bool started = true, ULONG problem = 0,
                 std::u16string hardware_id = u"USB\\VID_0BDA&PID_8150")
    {
        sim::NewDevice dev;
        dev.enumerator = "USB";
        dev.hardware_ids = {std::move(hardware_id)};
        dev.description = description;
        dev.friendly_name = description + u" (friendly)";
        dev.status = started ? (DN_DRIVER_LOADED | DN_STARTED) : DN_DRIVER_LOADED;
        dev.problem = problem;
        return m_.tree.Add(parent, dev);
    }

private:
    sim::Machine& m_;
};

struct NameResult {
    int result;
    std::u16string name;
};

NameResult Name(int (*function)(DWORD, DWORD, LPWSTR, DWORD), DWORD controller, DWORD card, DWORD size = 64)
{
    char16_t buffer[64];
    for (auto& c : buffer) c = u'#';
    int result = function(controller, card, buffer, size);
    std::u16string name;
    for (char16_t c : buffer) {
        if (c == 0) break;
        name.push_back(c);
    }
    return {result, name};
}

class CardNamesTest : public MachineTest {
protected:
    Cards cards{machine};
};

TEST_F(CardNamesTest, CardBusAndOhciNameStartedCardsOnly)
{
    using Export = int (*)(DWORD, DWORD, LPWSTR, DWORD);
    struct Kind {
        const char* what;
        DEVINST (Cards::*controller)();
        Export name;
    } kinds[] = {{"CardBus", &Cards::CardBus, XU_GetCardBusCardName},
                 {"OHCI", &Cards::Ohci, XU_GetOhciExpressCardName}};
    for (const auto& kind : kinds) {
        sim::Machine m;
        sim::ActiveMachine active(m);
        Cards c(m);
        DEVINST first = (c.*kind.controller)();
        c.Card(first, u"Network card");
        c.Card(first, u"Stopped card", false);
        c.Card(first, u"Card without driver", true, CM_PROB_FAILED_INSTALL);
        DEVINST second = (c.*kind.controller)();
        c.Card(second, u"Modem card");
        struct Case {
            DWORD controller, card;
            int result;
            const char16_t* name;
        } cases[] = {
            {0, 0, 1, u"Network card"}, {0, 1, 0, u""}, {0, 2, 0, u""}, {0, 3, 0, u""},
            {1, 0, 1, u"Modem card"},   {2, 0, 0, u""},
        };
        for (const auto& k : cases) {
            NameResult r = Name(kind.name, k.controller, k.card);
            EXPECT_EQ(r.result, k.result) << kind.what << " " << k.controller << "/" << k.card;
            EXPECT_EQ(r.name, k.name) << kind.what << " " << k.controller << "/" << k.card;
        }
        EXPECT_TRUE(px71test::NothingOpen(m));
    }
}

TEST_F(CardNamesTest, NameFitsOnlyWhenItsBytesAreBelowNameSize)
{
    DEVINST bridge = cards.CardBus();
    cards.Card(bridge, std::u16string(31, u'x'));  // 64 bytes with its terminator
    EXPECT_EQ(Name(XU_GetCardBusCardName, 0, 0, 64).name, u"");
    EXPECT_EQ(Name(XU_GetCardBusCardName, 0, 0, 64).result, 1) << "the result does not depend on the fit";
    EXPECT_EQ(Name(XU_GetCardBusCardName, 0, 0, 65).name, std::u16string(31, u'x'));
    EXPECT_EQ(XU_GetCardBusCardName(0, 0, nullptr, 64), 1);
    // A buffer of size 0 is not written at all, not even its first character; the
    // same for every name export.
    for (auto name : {XU_GetCardBusCardName, XU_GetOhciExpressCardName, XU_GetEhciExpressCardName, XU_Get3132CardName}) {
        WCHAR untouched[2] = {0x5A5A, 0x5A5A};
        name(0, 7, untouched, 0);
        EXPECT_EQ(untouched[0], 0x5A5A);
    }
}

TEST_F(CardNamesTest, SataControllersComeInPairs)
{
    DEVINST a = cards.Sata(), b = cards.Sata(), c = cards.Sata();
    cards.Card(a, u"Disk A0");
    cards.Card(a, u"Disk A1", false);
    cards.Card(b, u"Disk B0");
    cards.Card(c, u"Disk C0");
    struct Case {
        DWORD controller, card;
        int result;
        const char16_t* name;
    } cases[] = {
        {0, 0, 2, u"Disk A0 (friendly)"}, {0, 1, 1, u"Disk A1 (friendly)"}, {0, 2, 2, u"Disk B0 (friendly)"},
        {0, 3, 0, u""},                   {1, 0, 2, u"Disk C0 (friendly)"}, {1, 1, 0, u""},
    };
    for (const auto& k : cases) {
        NameResult r = Name(XU_Get3132CardName, k.controller, k.card);
        EXPECT_EQ(r.result, k.result) << k.controller << "/" << k.card;
        EXPECT_EQ(r.name, k.name) << k.controller << "/" << k.card;
    }
}

TEST_F(CardNamesTest, EhciSkipsChildrenThatAreNotStarted)
{
    DEVINST hub = cards.Ehci();
    cards.Card(hub, u"Stopped card", false);
    cards.Card(hub, u"Camera");
    NameResult r = Name(XU_GetEhciExpressCardName, 0, 0);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.name, u"Camera");
    EXPECT_EQ(Name(XU_GetEhciExpressCardName, 0, 1).result, 0);
    // The removal export numbers the children the same way: card 0 is the camera.
    EXPECT_EQ(XU_StopEhciExpressCard(0, 0), 1);
    EXPECT_FALSE(machine.tree.node(hub).children.empty());
    EXPECT_TRUE(machine.tree.node(machine.tree.node(hub).children[0]).present) << "the stopped card stays";
    EXPECT_FALSE(machine.tree.node(machine.tree.node(hub).children[1]).present);
}

TEST_F(CardNamesTest, RemovalReportsOnlyWhatWasLetGo)
{
    DEVINST bridge = cards.CardBus();
    DEVINST busy = cards.Card(bridge, u"Busy card");
    // A file open on a volume of a disk below the card: Windows vetoes the eject.
    sim::AddDisk(machine, machine.tree.Add(busy, sim::NewDevice{}), 9, u"\\?\busy#disk");
    sim::AddVolume(machine, 'K', 9, 1'000'000).open_files = 1;
    DEVINST idle = cards.Card(bridge, u"Idle card");
    EXPECT_EQ(XU_StopCardBusCard(0, 0), 0) << "a vetoed eject is no success";
    EXPECT_TRUE(machine.tree.node(busy).present);
    EXPECT_TRUE(machine.system_boxes.empty()) << "the veto came back to the caller, not in a box: "
                                              << machine.system_boxes.front();
    // Who vetoed is written where a user can look it up: one line in PX71.LOG.
    const auto log = machine.files().Read(machine.files().ProgramFolder() + u"PX71.LOG");
    ASSERT_TRUE(log.has_value());
    const std::string text(log->begin(), log->end());
    EXPECT_NE(text.find("\r\nEject vetoed (veto type 5): STORAGE\\Volume\\Disk9#Partition1"), std::string::npos);
    const auto asks = Calls("CM_Request_Device_EjectW");
    ASSERT_FALSE(asks.empty());
    EXPECT_NE(asks.back().args[1], 0u) << "a veto type";
    EXPECT_NE(asks.back().args[2], 0u) << "a veto name";
    EXPECT_EQ(asks.back().args[3], static_cast<std::uint64_t>(MAX_PATH));
    // A veto for an unknown reason, with only who vetoed: no success either, and logged.
    machine.tree.node(idle).veto_name = u"PCI\\VEN_ACME&DEV_0001\\4&1";
    EXPECT_EQ(XU_StopCardBusCard(0, 1), 0);
    const auto later = machine.files().Read(machine.files().ProgramFolder() + u"PX71.LOG");
    EXPECT_NE(std::string(later->begin(), later->end()).find("\r\nEject vetoed (veto type 0): PCI\\VEN_ACME&DEV_0001\\4&1"),
              std::string::npos);
    machine.tree.node(idle).veto_name.clear();
    EXPECT_EQ(XU_StopCardBusCard(0, 1), 1);
    EXPECT_FALSE(machine.tree.node(idle).present);
    EXPECT_EQ(XU_StopCardBusCard(0, 1), 0) << "the card is gone; nothing has the number now";
    EXPECT_EQ(XU_StopCardBusCard(0, 5), 0);
}

TEST_F(CardNamesTest, SataRemovalNeedsAStartedDisk)
{
    DEVINST a = cards.Sata(), b = cards.Sata();
    DEVINST a0 = cards.Card(a, u"Disk A0");
    DEVINST a1 = cards.Card(a, u"Disk A1", false);
    DEVINST b0 = cards.Card(b, u"Disk B0");
    EXPECT_EQ(XU_Stop3132Card(0, 1), 0) << "not started";
    EXPECT_TRUE(machine.tree.node(a1).present);
    EXPECT_EQ(XU_Stop3132Card(0, 2), 1) << "beyond the first controller's disks";
    EXPECT_FALSE(machine.tree.node(b0).present);
    // A file open on the disk's volume: Windows removes it only at the next restart. The
    // call succeeds all the same; the disk stays mounted and must not be reported gone.
    sim::AddDisk(machine, a0, 9, u"\\\\?\\scsi#disk&ven_a0#1");
    sim::AddVolume(machine, 'K', 9, 1'000'000).open_files = 1;
    EXPECT_EQ(XU_Stop3132Card(0, 0), 0) << "removal deferred to the next restart";
    EXPECT_TRUE(machine.tree.node(a0).present);
    const auto log = machine.files().Read(machine.files().ProgramFolder() + u"PX71.LOG");
    ASSERT_TRUE(log.has_value());
    EXPECT_NE(std::string(log->begin(), log->end()).find("Removal kept for a restart (a volume on the disk is in use): Disk A0 (friendly)"),
              std::string::npos);
    EXPECT_TRUE(machine.tree.node(a0).keys_deleted) << "the name was read before the removal deleted it";
    // A disk without a friendly name is named by its description (its keys made anew,
    // as the restart makes them).
    machine.tree.node(a0).keys_deleted = false;
    machine.tree.node(a0).properties.erase(CM_DRP_FRIENDLYNAME);
    EXPECT_EQ(XU_Stop3132Card(0, 0), 0);
    const auto later = machine.files().Read(machine.files().ProgramFolder() + u"PX71.LOG");
    const std::string text(later->begin(), later->end());
    const auto at = text.rfind("disk is in use): Disk A0");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text[at + 24], '\0') << "the description ends the line: " << text.substr(at, 40);
    machine.storage.volumes.at('K').open_files = 0;
    EXPECT_EQ(XU_Stop3132Card(0, 0), 1);
    EXPECT_FALSE(machine.tree.node(a0).present);
    EXPECT_EQ(XU_Stop3132Card(0, 1), 0) << "the remaining disk is still not started";
}

// After an eject a device may stay in the tree, held for eject (problem 47), until it is
// pulled. Names and removals still count the cards alike: a removal never lets go a card
// other than the one the same numbers name, for every kind and every index.
TEST(CardNumbering, NamesAndRemovalsAgreeWhileACardIsHeldForEject)
{
    using NameFunction = int (*)(DWORD, DWORD, LPWSTR, DWORD);
    using StopFunction = int (*)(DWORD, DWORD);
    struct Kind {
        const char* what;
        DEVINST (Cards::*controller)();
        NameFunction name;
        StopFunction stop;
        const char16_t* suffix;  // the SATA names are the friendly names
    } kinds[] = {
        {"CardBus", &Cards::CardBus, XU_GetCardBusCardName, XU_StopCardBusCard, u""},
        {"OHCI", &Cards::Ohci, XU_GetOhciExpressCardName, XU_StopOhciExpressCard, u""},
        {"EHCI", &Cards::Ehci, XU_GetEhciExpressCardName, XU_StopEhciExpressCard, u""},
        {"SATA", &Cards::Sata, XU_Get3132CardName, XU_Stop3132Card, u" (friendly)"},
    };
    for (const auto& kind : kinds) {
        for (DWORD index = 0; index < 4; ++index) {
            SCOPED_TRACE(std::string(kind.what) + ", card " + std::to_string(index));
            sim::Machine m;
            sim::ActiveMachine active(m);
            Cards cards(m);
            const DEVINST controller = (cards.*kind.controller)();
            std::vector<DEVINST> nodes;
            for (char16_t c : {u'A', u'B', u'C'}) {
                nodes.push_back(cards.Card(controller, std::u16string(u"Card ") + c));
                m.tree.node(nodes.back()).held_after_eject = true;
            }
            ASSERT_EQ(kind.stop(0, 1), 1) << "card B let go";
            const NameResult named = Name(kind.name, 0, index);
            auto let_go = [&](DEVINST n) {
                return !m.tree.node(n).present || m.tree.node(n).problem == CM_PROB_HELD_FOR_EJECT;
            };
            std::vector<bool> before;
            for (DEVINST n : nodes) before.push_back(let_go(n));
            kind.stop(0, index);
            for (std::size_t k = 0; k < nodes.size(); ++k) {
                if (before[k] || !let_go(nodes[k])) continue;
                // A card that went with this removal is the one the name gave.
                EXPECT_NE(named.result, 0) << "no card was named, yet one went";
                EXPECT_EQ(named.name, std::u16string(u"Card ") + static_cast<char16_t>(u'A' + k) + kind.suffix)
                    << "another card went than the one named";
            }
            EXPECT_TRUE(px71test::NothingOpen(m));
        }
    }
}

TEST(CardFaults, NamesAndRemovalsLeaveNothingOpen)
{
    using Export = int (*)(DWORD, DWORD);
    struct Subject {
        const char* what;
        const char* export_name;
        Export call;
        DWORD card;
    } subjects[] = {
        {"CardBus name", "XU_GetCardBusCardName",
         [](DWORD c, DWORD k) { WCHAR n[64]; return XU_GetCardBusCardName(c, k, n, 64); }, 0},
        {"OHCI name", "XU_GetOhciExpressCardName",
         [](DWORD c, DWORD k) { WCHAR n[64]; return XU_GetOhciExpressCardName(c, k, n, 64); }, 0},
        {"EHCI name", "XU_GetEhciExpressCardName",
         [](DWORD c, DWORD k) { WCHAR n[64]; return XU_GetEhciExpressCardName(c, k, n, 64); }, 0},
        {"SI3132 name", "XU_Get3132CardName",
         [](DWORD c, DWORD k) { WCHAR n[64]; return XU_Get3132CardName(c, k, n, 64); }, 1},
        {"CardBus removal", "XU_StopCardBusCard", XU_StopCardBusCard, 0},
        {"OHCI removal", "XU_StopOhciExpressCard", XU_StopOhciExpressCard, 0},
        {"EHCI removal", "XU_StopEhciExpressCard", XU_StopEhciExpressCard, 0},
        {"SI3132 removal", "XU_Stop3132Card", XU_Stop3132Card, 1},
    };
    auto build = [](sim::Machine& m) {
        Cards c(m);
        c.Card(c.CardBus(), u"CardBus card");
        c.Card(c.Ohci(), u"OHCI card");
        c.Card(c.Ehci(), u"EHCI card");
        DEVINST sata = c.Sata();
        c.Card(sata, u"Disk 0");
        c.Card(sata, u"Disk 1");
    };
    for (const auto& subject : subjects) {
        int expected = 0;
        {
            sim::Machine m;
            build(m);
            sim::ActiveMachine active(m);
            expected = subject.call(0, subject.card);
        }
        EXPECT_GT(expected, 0) << subject.what;
        int faults = px71test::SweepFaults<int>(
            build, [&] { return subject.call(0, subject.card); },
            [&](int result, sim::Machine&, std::size_t n) {
                // A fault can only take the card away, or (for a disk whose state cannot
                // be read) make it count as not started.
                EXPECT_TRUE(result >= 0 && result <= expected) << subject.what << ", call " << n << ": " << result;
            });
        EXPECT_GT(faults, 5) << subject.what;
        ::testing::Test::RecordProperty(std::string("faults_") + subject.export_name, faults);
    }
}

} // namespace
