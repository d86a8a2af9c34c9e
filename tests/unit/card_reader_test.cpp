// The card reader's media below the EHCI root hub: found through the drive letters
// with SCSI INQUIRY and READ CAPACITY, named and ejected by number.
#include "library/disk_identification.h"
#include "library/px71.h"
#include "sim/storage.h"
#include "support/machine_test.h"

#include <chrono>
#include <string>
#include <vector>

using px71test::MachineTest;

namespace {

class ReaderTest : public MachineTest {
protected:
    sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);

    // Another removable drive reporting Product (16 characters), with or without a medium.
    sim::Volume& Drive(char letter, DWORD number, std::string product, bool medium = true)
    {
        sim::PhysicalDisk& d = sim::AddDisk(machine, 0, number, {});
        d.removable = true;
        d.vendor_id = "Generic ";
        d.product_id = std::move(product);
        d.medium = medium;
        d.blocks = 1000;
        return sim::AddVolume(machine, letter, number, 512'000, DRIVE_REMOVABLE);
    }

    struct Named {
        int result;
        std::u16string name;
    };
    Named Name(DWORD card, DWORD size = 64)
    {
        char16_t buffer[64];
        for (auto& c : buffer) c = u'#';
        int result = XU_GetEhciExpressCardName(0, card, buffer, size);
        // Up to the terminator, or to the caller's '#' where no terminator was written.
        std::u16string name(buffer, 64);
        return {result, name.substr(0, std::min(name.find(u'#'), name.find(u'\0')))};
    }

    std::vector<std::string> Scan(const char* slot_id)
    {
        std::vector<std::string> paths;
        px71::ScanReaderSlots(slot_id, [&](const char* path) {
            paths.push_back(path);
            return px71::SlotAction::Next;
        });
        return paths;
    }
};

TEST_F(ReaderTest, TheDefaultMachineNumbersUsbCardThenCfThenSd)
{
    struct Case {
        DWORD card;
        int result;
        std::u16string name;
    } cases[] = {
        {0, 1, u"USB Ethernet Adapter"},
        {1, 2, u"ZEK-PX71    CF"},
        {2, 3, u"ZEK-PX71    SD"},
        {3, 1, u"USB Bluetooth Adapter"},
        {4, 0, u""},
    };
    for (const auto& c : cases) {
        Named n = Name(c.card);
        EXPECT_EQ(n.result, c.result) << c.card;
        // Reader names carry no terminator: the caller's '#' follows the 14 characters.
        EXPECT_EQ(n.name, c.name) << c.card;
    }
}

TEST_F(ReaderTest, ReaderNamesNeedMoreThanEightCharacters)
{
    struct Case {
        DWORD size;
        std::u16string name;
    } cases[] = {{8, u""}, {14, u"ZEK-PX71    CF"}, {15, u"ZEK-PX71    CF"}};
    for (const auto& c : cases) {
        Named n = Name(1, c.size);
        EXPECT_EQ(n.result, 2) << c.size;
        EXPECT_EQ(n.name, c.name) << c.size;
    }
    EXPECT_EQ(Name(1, 10).result, 2) << "too small to convert: the result all the same";
    EXPECT_EQ(XU_GetEhciExpressCardName(0, 1, nullptr, 64), 2) << "no buffer: the result all the same";
}

TEST_F(ReaderTest, ScanComparesFourteenCharactersIgnoringCase)
{
    Drive('H', 10, "zek-px71    cfXY");              // lower case and two other characters
    Drive('I', 11, "ZEK-PX71   CF   ");              // three spaces: another product
    Drive('J', 12, "ZEK-PX71    CF  ", false);       // a slot without a medium
    Drive('K', 13, "USB Flash Disk  ");              // a stick
    EXPECT_EQ(Scan(px71::kCfSlotId), (std::vector<std::string>{"\\\\.\\F:", "\\\\.\\H:"}));
    EXPECT_EQ(Scan(px71::kSdSlotId), (std::vector<std::string>{"\\\\.\\G:"}));
}

TEST_F(ReaderTest, ScanSendsReadCapacityOnlyToReaderSlots)
{
    Drive('K', 13, "USB Flash Disk  ");
    machine.ClearCalls();
    Scan(px71::kCfSlotId);
    std::vector<std::string> opened;
    for (const auto& c : machine.calls())
        if (c.function == "CreateFileA") opened.push_back(c.text);
    // Fixed drives C:, D:, E: are never opened; each removable one gets an INQUIRY
    // (volume, then disk); only the CF slot gets a READ CAPACITY as well.
    const std::vector<std::string> expected = {"\\\\.\\F:", "\\\\.\\PHYSICALDRIVE3", "\\\\.\\F:",
                                               "\\\\.\\PHYSICALDRIVE3", "\\\\.\\G:", "\\\\.\\PHYSICALDRIVE4",
                                               "\\\\.\\K:", "\\\\.\\PHYSICALDRIVE13"};
    EXPECT_EQ(opened, expected);
}

TEST_F(ReaderTest, PassThroughRecordAndItsFailure)
{
    BYTE data[98] = {};
    BYTE cdb[8] = {0x12, 0, 0, 0, 0x60};
    DWORD length = 0x60;
    machine.ClearCalls();
    ASSERT_EQ(px71::SendVolumeScsiCommand(data, &length, "\\\\.\\F:", cdb, 6), 1);
    EXPECT_EQ(length, 36u) << "what the disk transferred";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 16, 16), "ZEK-PX71    CF  ");
    for (const auto& c : machine.calls()) {
        if (c.function != "DeviceIoControl" || c.args[1] != IOCTL_SCSI_PASS_THROUGH_DIRECT) continue;
        EXPECT_EQ(c.args[2], sizeof(px71::PassThroughRecord));
        EXPECT_EQ(c.args[3], sizeof(px71::PassThroughRecord));
    }
    EXPECT_EQ(machine.CallCount("WaitForSingleObject"), 1u) << "the pause after a command";

    // The record's fields as the disk got them, for both commands. The x86 column is
    // what the 32-bit build's static assertions pin; the host checks its own column.
    BYTE capacity[8] = {};
    const BYTE read_capacity[10] = {0x25};
    DWORD capacity_length = sizeof capacity;
    ASSERT_EQ(px71::SendVolumeScsiCommand(capacity, &capacity_length, "\\\\.\\F:", read_capacity, 10), 1);
    const auto& spt = machine.storage.disk(3)->last_pass_through;
    const bool x64 = sizeof(void*) == 8;
    const struct {
        const char* field;
        std::uint64_t got, x64, x86;
    } fields[] = {
        {"Length", spt.Length, 56, 44},
        {"TargetId", spt.TargetId, 1, 1},
        {"CdbLength", spt.CdbLength, 10, 10},
        {"SenseInfoLength", spt.SenseInfoLength, 24, 24},
        {"DataIn", spt.DataIn, SCSI_IOCTL_DATA_IN, SCSI_IOCTL_DATA_IN},
        {"DataTransferLength", spt.DataTransferLength, 8, 8},
        {"TimeOutValue", spt.TimeOutValue, 2, 2},
        {"SenseInfoOffset", spt.SenseInfoOffset, 60, 48},
        {"record bytes", machine.storage.disk(3)->last_pass_through_bytes, 96, 80},
    };
    for (const auto& f : fields) EXPECT_EQ(f.got, x64 ? f.x64 : f.x86) << f.field;
    EXPECT_EQ(spt.SenseInfoOffset, offsetof(px71::PassThroughRecord, Sense));

    machine.storage.disk(3)->fail_pass_through = true;
    length = 0x60;
    EXPECT_EQ(px71::SendVolumeScsiCommand(data, &length, "\\\\.\\F:", cdb, 6), 0)
        << "a request that fails is no GOOD status";
    EXPECT_EQ(Name(1).name, u"ZEK-PX71    SD") << "the CF medium no longer counts";
}

TEST_F(ReaderTest, VolumesAreTriedAHundredTimes)
{
    BYTE data[98] = {};
    BYTE cdb[8] = {0x12, 0, 0, 0, 0x60};
    DWORD length = 0x60;
    machine.storage.volumes['F'].failing_opens = 99;
    EXPECT_EQ(px71::SendVolumeScsiCommand(data, &length, "\\\\.\\F:", cdb, 6), 1);
    machine.storage.volumes['F'].failing_opens = 100;
    machine.ClearCalls();
    EXPECT_EQ(px71::SendVolumeScsiCommand(data, &length, "\\\\.\\F:", cdb, 6), 0);
    EXPECT_EQ(machine.CallCount("CreateFileA"), 100u);
}

TEST_F(ReaderTest, TheRoadOfARequestEjectsTheSdMedium)
{
    machine.ClearCalls();
    EXPECT_EQ(XU_StopEhciExpressCard(0, 2), 1);
    EXPECT_FALSE(machine.storage.disk(4)->medium);
    EXPECT_TRUE(machine.storage.disk(3)->medium);
    // The volume requests, in order, on one handle to G:.
    std::vector<std::uint64_t> codes;
    bool opened_g = false;
    for (const auto& c : machine.calls()) {
        if (c.function == "CreateFileA" && c.text == "\\\\.\\G:") opened_g = true;
        if (opened_g && c.function == "DeviceIoControl" && c.args[1] != IOCTL_STORAGE_GET_DEVICE_NUMBER &&
            c.args[1] != IOCTL_SCSI_PASS_THROUGH_DIRECT)
            codes.push_back(c.args[1]);
    }
    // The platform's documented sequence: lock, dismount, allow removal, eject, unlock.
    EXPECT_EQ(codes, (std::vector<std::uint64_t>{FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME, IOCTL_STORAGE_MEDIA_REMOVAL,
                                                 IOCTL_STORAGE_EJECT_MEDIA, FSCTL_UNLOCK_VOLUME}));
    EXPECT_EQ(machine.storage.volumes['G'].locked_by, nullptr);
    EXPECT_TRUE(machine.storage.volumes['G'].dismounted);
    EXPECT_EQ(machine.storage.disk(3)->removal_locks, 0);
    Named after = Name(2);
    EXPECT_EQ(after.result, 1) << "the SD medium is gone; the card behind it moved up";
    EXPECT_EQ(after.name, u"USB Bluetooth Adapter");
    EXPECT_EQ(Name(3).result, 0);
}

TEST_F(ReaderTest, NamesMoveUpAfterAnEject)
{
    EXPECT_EQ(XU_StopEhciExpressCard(0, 1), 1);
    Named n = Name(1);
    EXPECT_EQ(n.result, 3);
    EXPECT_EQ(n.name, u"ZEK-PX71    SD");
    EXPECT_EQ(XU_StopEhciExpressCard(0, 0), 1) << "the USB card";
    EXPECT_FALSE(machine.tree.node(nodes.usb_card).present);
    EXPECT_EQ(Name(0).result, 3) << "the SD medium is card 0 now";
}

TEST_F(ReaderTest, NoEjectUnderOpenFiles)
{
    // A lasting holder: the lock is tried again for about 2 s, then nothing is sent.
    machine.storage.volumes['F'].open_files = 1;
    machine.ClearCalls();
    EXPECT_EQ(XU_StopEhciExpressCard(0, 1), 0);
    EXPECT_TRUE(machine.storage.disk(3)->medium);
    std::size_t locks = 0;
    for (const auto& c : machine.calls()) {
        EXPECT_FALSE(c.function == "DeviceIoControl" && c.args[1] == IOCTL_STORAGE_EJECT_MEDIA);
        locks += c.function == "DeviceIoControl" && c.args[1] == FSCTL_LOCK_VOLUME;
    }
    EXPECT_GT(locks, 1u) << "the lock was tried again";
    EXPECT_LE(locks, 22u) << "every 100 ms for about 2 s, no more";
    machine.storage.volumes['F'].open_files = 0;
    // A holder that lets go by itself, as an indexer does with a fresh medium: the
    // eject goes through once it has.
    machine.storage.volumes['F'].transient_holder_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    EXPECT_EQ(XU_StopEhciExpressCard(0, 1), 1);
    EXPECT_FALSE(machine.storage.disk(3)->medium);
    machine.storage.volumes['F'].deny_read_write = true;
    EXPECT_EQ(Name(1).result, 3) << "a volume that cannot be opened holds no card we can see";
}

// Only the eject's own refusal reads as a reader without an eject mechanism: a lock,
// dismount or allow-removal refused as unknown (ERROR_INVALID_FUNCTION) leaves the
// medium in use, and the answer is 0.
TEST_F(ReaderTest, OnlyTheEjectsOwnRefusalMeansNoEjectMechanism)
{
    const auto start = machine.Snapshot();
    std::size_t refused_steps = 0;
    for (std::uint64_t nth = 1;; ++nth) {
        machine.Restore(*start);
        machine.ClearCalls();
        machine.ArmFault({"DeviceIoControl", nth, ERROR_INVALID_FUNCTION});
        const int result = XU_StopEhciExpressCard(0, 2);
        machine.ClearFaults();
        std::optional<std::uint64_t> failed;
        for (const auto& c : machine.calls())
            if (c.failed && c.function == "DeviceIoControl") failed = c.args[1];
        if (!failed) break;  // past the last control of the road
        SCOPED_TRACE(*failed);
        if (*failed == FSCTL_LOCK_VOLUME || *failed == FSCTL_DISMOUNT_VOLUME || *failed == IOCTL_STORAGE_MEDIA_REMOVAL) {
            EXPECT_EQ(result, 0);
            ++refused_steps;
        }
        if (*failed == IOCTL_STORAGE_EJECT_MEDIA) {
            EXPECT_EQ(result, 1) << "a reader without an eject mechanism";
        }
    }
    EXPECT_EQ(refused_steps, 3u);
}

// Both kinds of reader: one without an eject mechanism refuses the eject, and the
// medium, locked, dismounted and allowed out, may be pulled: 1. A medium another
// program keeps in (its removal lock) is not out: 0, and the volume is left unlocked,
// to mount again on its next use.
TEST_F(ReaderTest, AReaderThatCannotEjectStillLetsTheMediumGo)
{
    machine.storage.disk(4)->eject_supported = false;
    EXPECT_EQ(XU_StopEhciExpressCard(0, 2), 1);
    EXPECT_TRUE(machine.storage.disk(4)->medium) << "still in the slot, for the user to pull";
    EXPECT_TRUE(machine.storage.volumes['G'].dismounted);
    EXPECT_EQ(machine.storage.volumes['G'].locked_by, nullptr);

    machine.storage.disk(3)->removal_locks = 2;
    EXPECT_EQ(XU_StopEhciExpressCard(0, 1), 0);
    EXPECT_TRUE(machine.storage.disk(3)->medium);
    EXPECT_EQ(machine.storage.volumes['F'].locked_by, nullptr);
    ULARGE_INTEGER total{};
    EXPECT_TRUE(GetDiskFreeSpaceExW(u"F:\\", nullptr, &total, nullptr)) << "the volume is usable";
}

TEST_F(ReaderTest, ReaderHubFirstAndMediaAcrossLetters)
{
    // Move the USB card behind the reader hub in sibling order, and add a second CF
    // medium at E: (before F:) and one at H:.
    machine.tree.node(nodes.ehci_root_hub).children = {nodes.reader_hub, nodes.usb_card};
    Drive('H', 10, "ZEK-PX71    CF  ");
    machine.storage.volumes.erase('E');
    Drive('E', 11, "ZEK-PX71    CF  ");
    const struct {
        DWORD card;
        int result;
    } cases[] = {{0, 2}, {1, 2}, {2, 2}, {3, 3}, {4, 1}, {5, 0}};
    for (const auto& c : cases) EXPECT_EQ(Name(c.card).result, c.result) << c.card;
}

TEST(CardReaderFaults, TheRoadOfARequestUnderFaults)
{
    sim::DefaultNodes nodes;
    int faults = px71test::SweepFaults<int>(
        [&](sim::Machine& m) { nodes = sim::BuildDefaultMachine(m); }, [] { return XU_StopEhciExpressCard(0, 2); },
        [&](int result, sim::Machine& m, std::size_t n) {
            // 1 only when a card really went: the SD medium, or (when a fault hid a
            // medium) the card that then had its number; no lock is left behind.
            const bool let_go = !m.storage.disk(4)->medium || !m.storage.disk(3)->medium ||
                                !m.tree.node(nodes.usb_card_after_reader).present;
            EXPECT_EQ(result == 1, let_go) << "call " << n;
            EXPECT_EQ(m.storage.volumes['G'].locked_by, nullptr) << "call " << n;
        });
    EXPECT_GT(faults, 50);
    ::testing::Test::RecordProperty("faults_XU_StopEhciExpressCard_default_machine", faults);
}

TEST(CardReaderFaults, NamingTheSdMediumUnderFaults)
{
    int faults = px71test::SweepFaults<int>(
        [](sim::Machine& m) { sim::BuildDefaultMachine(m); },
        [] {
            char16_t name[64];
            for (auto& c : name) c = u'#';
            int result = XU_GetEhciExpressCardName(0, 2, name, 64);
            // A fault may hide a card (another one then has the number) but the caller's
            // buffer past the longest name and its terminator is never touched.
            for (int i = 22; i < 64; ++i)
                if (name[i] != u'#') return -1;
            return result;
        },
        [](int result, sim::Machine&, std::size_t n) { EXPECT_TRUE(result >= 0 && result <= 3) << "call " << n; });
    EXPECT_GT(faults, 50);
    ::testing::Test::RecordProperty("faults_XU_GetEhciExpressCardName_default_machine", faults);
}

} // namespace
