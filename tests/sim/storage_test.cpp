// The simulator's storage floor, disk interfaces, class installer, re-enumeration and
// slot registers behave as Windows and the hardware do.
#include "sim/pnp.h"
#include "sim/slot.h"
#include "support/machine_test.h"

#include <cstddef>
#include <cstring>
#include <functional>
#include <vector>

using px71test::MachineTest;

namespace {

class StorageTest : public MachineTest {
protected:
    sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);

    HANDLE Open(const char16_t* path, DWORD access)
    {
        return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    BOOL Control(HANDLE h, DWORD code, void* out = nullptr, DWORD out_size = 0)
    {
        DWORD returned = 0;
        return DeviceIoControl(h, code, nullptr, 0, out, out_size, &returned, nullptr);
    }
    DWORD Error() const { return GetLastError(); }
    // The element of Node in a set of every present PCI device.
    HDEVINFO PciSet(DEVINST node, SP_DEVINFO_DATA& data)
    {
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, u"PCI", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        data = SP_DEVINFO_DATA{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data) && data.DevInst != node; ++i) {
        }
        EXPECT_EQ(data.DevInst, node);
        return set;
    }
    bool PropertyChange(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD state, DWORD scope,
                        DWORD size = sizeof(SP_PROPCHANGE_PARAMS))
    {
        SP_PROPCHANGE_PARAMS p{};
        p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        p.StateChange = state;
        p.Scope = scope;
        if (!SetupDiSetClassInstallParamsW(set, &data, &p.ClassInstallHeader, size)) return false;
        return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data) != 0;
    }
};

TEST_F(StorageTest, DriveLettersFollowTheDisksNodes)
{
    EXPECT_EQ(GetLogicalDrives(), 0x7Cu) << "C: to G:";
    machine.tree.node(nodes.reader_disk[1]).present = false;
    EXPECT_EQ(GetLogicalDrives(), 0x3Cu) << "G: leaves with its disk";
    EXPECT_EQ(GetDriveTypeA("F:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
    EXPECT_EQ(GetDriveTypeA("d:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("G:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
}

TEST_F(StorageTest, FreeSpaceNeedsAMediumAndAFileSystem)
{
    ULARGE_INTEGER total{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(u"F:\\", nullptr, &total, nullptr));
    EXPECT_EQ(total.QuadPart, 2'013'265'920ull);
    struct Case {
        const char* what;
        const char16_t* root;
        DWORD error;
    } cases[] = {
        {"no such drive", u"Q:\\", ERROR_PATH_NOT_FOUND},
        {"no medium", u"F:\\", ERROR_NOT_READY},
        {"no file system", u"G:\\", ERROR_UNRECOGNIZED_VOLUME},
    };
    machine.storage.disk(3)->medium = false;
    machine.storage.volumes.at('G').total_bytes = 0;
    for (const auto& c : cases) {
        EXPECT_FALSE(GetDiskFreeSpaceExW(c.root, nullptr, &total, nullptr)) << c.what;
        EXPECT_EQ(Error(), c.error) << c.what;
    }
}

TEST_F(StorageTest, VolumeAnswersItsDiskNumber)
{
    HANDLE h = Open(u"\\\\.\\g:", 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    STORAGE_DEVICE_NUMBER number{};
    ASSERT_TRUE(Control(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number));
    EXPECT_EQ(number.DeviceType, static_cast<DWORD>(FILE_DEVICE_DISK));
    EXPECT_EQ(number.DeviceNumber, 4u);
    EXPECT_FALSE(Control(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, 8));
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    CloseHandle(h);
    EXPECT_EQ(Open(u"\\\\.\\Q:", 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    machine.storage.volumes.at('F').deny_read_write = true;
    EXPECT_EQ(Open(u"\\\\.\\F:", GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    h = Open(u"\\\\.\\F:", 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "access 0 still opens";
    CloseHandle(h);
}

// A pass-through record with wrong fields is refused, as the port driver and a real
// disk refuse it.
TEST_F(StorageTest, PassThroughWithWrongFieldsIsRefused)
{
    struct Record {
        SCSI_PASS_THROUGH_DIRECT spt;
        ULONG filler;
        UCHAR sense[32];
    };
    struct Case {
        const char* what;
        void (*spoil)(Record&);
        DWORD error;  // 0: answered
    } cases[] = {
        {"a good INQUIRY", [](Record&) {}, 0},
        {"data out for a command that brings data in", [](Record& r) { r.spt.DataIn = 0; }, ERROR_IO_DEVICE},
        {"sense data past the buffer", [](Record& r) { r.spt.SenseInfoOffset = sizeof(Record) - 8; },
         ERROR_INVALID_PARAMETER},
        {"sense data over the record's own fields", [](Record& r) { r.spt.SenseInfoOffset = 8; },
         ERROR_INVALID_PARAMETER},
        {"a record of another size", [](Record& r) { r.spt.Length = 44; }, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        HANDLE disk = Open(u"\\\\.\\PHYSICALDRIVE3", GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(disk, INVALID_HANDLE_VALUE);
        UCHAR data[96] = {};
        Record r{};
        r.spt.Length = sizeof r.spt;
        r.spt.CdbLength = 6;
        r.spt.SenseInfoLength = 24;
        r.spt.DataIn = SCSI_IOCTL_DATA_IN;
        r.spt.DataTransferLength = sizeof data;
        r.spt.TimeOutValue = 2;
        r.spt.DataBuffer = data;
        r.spt.SenseInfoOffset = offsetof(Record, sense);
        r.spt.Cdb[0] = 0x12;
        r.spt.Cdb[4] = sizeof data;
        c.spoil(r);
        DWORD returned = 0;
        const BOOL ok = DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH_DIRECT, &r, sizeof r, &r, sizeof r, &returned, nullptr);
        EXPECT_EQ(ok != FALSE, c.error == 0) << c.what;
        if (c.error) {
            EXPECT_EQ(Error(), c.error) << c.what;
        }
        CloseHandle(disk);
    }
}

TEST_F(StorageTest, LockFailsWhileAFileIsOpenOrAnotherHandleHoldsIt)
{
    HANDLE a = Open(u"\\\\.\\F:", GENERIC_READ | GENERIC_WRITE);
    HANDLE b = Open(u"\\\\.\\F:", GENERIC_READ | GENERIC_WRITE);
    HANDLE query = Open(u"\\\\.\\F:", 0);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Control(query, FSCTL_LOCK_VOLUME));
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "a handle without access cannot lock";
    EXPECT_FALSE(Control(a, FSCTL_UNLOCK_VOLUME));
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_NOT_LOCKED));

    machine.storage.volumes.at('F').open_files = 1;
    EXPECT_FALSE(Control(a, FSCTL_LOCK_VOLUME));
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    machine.storage.volumes.at('F').open_files = 0;
    EXPECT_TRUE(Control(a, FSCTL_LOCK_VOLUME));
    EXPECT_FALSE(Control(b, FSCTL_LOCK_VOLUME)) << "held by the other handle";
    EXPECT_FALSE(Control(b, FSCTL_DISMOUNT_VOLUME)) << "nor dismounted through it";
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Control(a, FSCTL_UNLOCK_VOLUME));
    EXPECT_TRUE(Control(b, FSCTL_LOCK_VOLUME));
    CloseHandle(b);  // closing lets the lock go
    EXPECT_TRUE(Control(a, FSCTL_LOCK_VOLUME));
    // Unlocked, a dismount goes through all the same and cuts the open files off.
    EXPECT_TRUE(Control(a, FSCTL_UNLOCK_VOLUME));
    machine.storage.volumes.at('F').open_files = 2;
    EXPECT_TRUE(Control(a, FSCTL_DISMOUNT_VOLUME));
    EXPECT_EQ(machine.storage.volumes.at('F').open_files, 0);
    CloseHandle(a);
    CloseHandle(query);

    machine.storage.disk(4)->medium = false;
    HANDLE g = Open(u"\\\\.\\G:", GENERIC_READ | GENERIC_WRITE);
    EXPECT_FALSE(Control(g, FSCTL_LOCK_VOLUME));
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_NOT_READY));
    CloseHandle(g);
}

TEST_F(StorageTest, DiskInterfaceDetailInTwoSteps)
{
    HDEVINFO set = SetupDiGetClassDevsW(&sim::kInterfaceDisk, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<DWORD> numbers;
    std::vector<DEVINST> disks;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &sim::kInterfaceDisk, index, &data)) {
            EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        EXPECT_EQ(data.Flags, static_cast<DWORD>(SPINT_ACTIVE));
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<std::byte> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = 6;  // the 32-bit figure, wrong in this 64-bit process
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
        EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required - 2, nullptr, nullptr));
        EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &device));
        const std::u16string path = detail->DevicePath;
        EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + 2 * (path.size() + 1));
        disks.push_back(device.DevInst);
        HANDLE disk = Open(path.c_str(), 0);
        ASSERT_NE(disk, INVALID_HANDLE_VALUE) << sim::Narrow(path);
        STORAGE_DEVICE_NUMBER number{};
        EXPECT_TRUE(Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number));
        numbers.push_back(number.DeviceNumber);
        CloseHandle(disk);
    }
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(numbers, (std::vector<DWORD>{1, 2, 0, 3, 4}));
    EXPECT_EQ(disks, (std::vector<DEVINST>{nodes.sata_disk[0], nodes.sata_disk[1], nodes.system_disk,
                                           nodes.reader_disk[0], nodes.reader_disk[1]}));

    HANDLE drive = Open(u"\\\\.\\PHYSICALDRIVE3", 0);
    EXPECT_NE(drive, INVALID_HANDLE_VALUE);
    CloseHandle(drive);
    EXPECT_EQ(Open(u"\\\\.\\PHYSICALDRIVE9", 0), INVALID_HANDLE_VALUE);
}

// ---------------------------------------------------------------- class installer
TEST_F(StorageTest, ClassInstallerChangesStateAndRecordsTheScope)
{
    SP_DEVINFO_DATA data{};
    HDEVINFO set = PciSet(nodes.cardbus, data);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_NO_CLASSINSTALL_PARAMS));

    auto request = [&](DWORD state, DWORD scope, DWORD size = sizeof(SP_PROPCHANGE_PARAMS)) {
        return PropertyChange(set, data, state, scope, size);
    };
    auto state = [&] {
        ULONG status = 0, problem = 0;
        CM_Get_DevNode_Status(&status, &problem, nodes.cardbus, 0);
        return std::make_pair(status, problem);
    };
    const ULONG running = DN_DRIVER_LOADED | DN_STARTED;
    struct Step {
        DWORD state, scope;
        bool ok;
        ULONG status, problem;
    } steps[] = {
        {DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC, true, DN_DRIVER_LOADED | DN_HAS_PROBLEM, CM_PROB_DISABLED},
        {DICS_START, DICS_FLAG_CONFIGSPECIFIC, true, DN_DRIVER_LOADED | DN_HAS_PROBLEM, CM_PROB_DISABLED},
        {DICS_ENABLE, DICS_FLAG_GLOBAL, true, running, 0},
        {DICS_STOP, DICS_FLAG_CONFIGSPECIFIC, true, DN_DRIVER_LOADED, 0},
        {DICS_START, DICS_FLAG_CONFIGSPECIFIC, true, running, 0},
        {DICS_STOP, DICS_FLAG_GLOBAL, false, running, 0},
        {DICS_PROPCHANGE, DICS_FLAG_CONFIGSPECIFIC, true, running, 0},
        {7, DICS_FLAG_CONFIGSPECIFIC, false, running, 0},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(request(s.state, s.scope), s.ok) << s.state << "/" << s.scope;
        EXPECT_EQ(state(), std::make_pair(s.status, s.problem)) << s.state << "/" << s.scope;
    }
    EXPECT_FALSE(request(DICS_ENABLE, DICS_FLAG_GLOBAL, 16)) << "the record is 20 bytes";
    ASSERT_EQ(machine.property_changes.size(), 6u);
    EXPECT_EQ(machine.property_changes[2].scope, static_cast<DWORD>(DICS_FLAG_GLOBAL));
    EXPECT_EQ(machine.property_changes[2].state_change, static_cast<DWORD>(DICS_ENABLE));
    SetupDiDestroyDeviceInfoList(set);
}

// A disable, stop or restart asks the subtree first: a file open on a volume below, or
// a device's veto, keeps it for the next restart (DI_NEEDREBOOT, the device runs on);
// one that goes through takes the children out of the tree until a start.
TEST_F(StorageTest, PropertyChangesTakeTheSubtreeAlongUnlessAVetoDefersThem)
{
    SP_DEVINFO_DATA data{};
    HDEVINFO set = PciSet(nodes.adapter, data);
    const DEVINST child = nodes.downstream[0];
    auto reboot_flag = [&] {
        SP_DEVINSTALL_PARAMS_W p{};
        p.cbSize = sizeof p;
        SetupDiGetDeviceInstallParamsW(set, &data, &p);
        return (p.Flags & DI_NEEDREBOOT) != 0;
    };
    const sim::DevNode& adapter = machine.tree.node(nodes.adapter);
    sim::Volume& d = machine.storage.volumes.at('D');
    struct Step {
        const char* what;
        std::function<void()> before;
        DWORD state;
        bool deferred, started, child_there;
        sim::Pending pending;
    } steps[] = {
        {"an open file vetoes the disable", [&] { d.open_files = 1; }, DICS_DISABLE, true, true, true,
         sim::Pending::kDisable},
        {"the enable takes the pending disable back", [] {}, DICS_ENABLE, false, true, true, sim::Pending::kNone},
        {"a restart vetoed waits for nothing", [] {}, DICS_PROPCHANGE, true, true, true, sim::Pending::kNone},
        {"so does a stop", [] {}, DICS_STOP, true, true, true, sim::Pending::kStop},
        {"the start takes it back", [] {}, DICS_START, false, true, true, sim::Pending::kNone},
        {"a device's own veto", [&] { d.open_files = 0, machine.tree.node(nodes.sata[1]).veto = PNP_VetoDevice; },
         DICS_DISABLE, true, true, true, sim::Pending::kDisable},
        {"no veto: the children leave",
         [&] { machine.tree.node(nodes.sata[1]).veto = PNP_VetoTypeUnknown; },
         DICS_DISABLE, false, false, false, sim::Pending::kNone},
        {"the enable brings them back", [] {}, DICS_ENABLE, false, true, true, sim::Pending::kNone},
        {"a restart gives them back at once", [] {}, DICS_PROPCHANGE, false, true, true, sim::Pending::kNone},
        {"a stop takes them", [] {}, DICS_STOP, false, false, false, sim::Pending::kNone},
        {"a start brings them", [] {}, DICS_START, false, true, true, sim::Pending::kNone},
    };
    for (const auto& s : steps) {
        s.before();
        const std::size_t changes = machine.property_changes.size();
        SP_DEVINFO_DATA fresh{};
        SetupDiDestroyDeviceInfoList(set);
        set = PciSet(nodes.adapter, fresh);  // install flags are the set's own
        data = fresh;
        EXPECT_TRUE(PropertyChange(set, data, s.state, DICS_FLAG_CONFIGSPECIFIC)) << s.what;
        EXPECT_EQ(reboot_flag(), s.deferred) << s.what;
        ASSERT_EQ(machine.property_changes.size(), changes + 1) << s.what;
        EXPECT_EQ(machine.property_changes.back().deferred, s.deferred) << s.what;
        EXPECT_EQ((adapter.status & DN_STARTED) != 0, s.started) << s.what;
        EXPECT_EQ(machine.tree.node(child).present, s.child_there) << s.what;
        EXPECT_EQ(machine.tree.node(nodes.sata_disk[0]).present, s.child_there) << s.what;
        EXPECT_EQ((GetLogicalDrives() & (1u << ('D' - 'A'))) != 0, s.child_there) << s.what;
        EXPECT_EQ(adapter.pending, s.pending) << s.what;
    }
    SetupDiDestroyDeviceInfoList(set);
}

// What a veto kept in the profile happens at the next restart; a card whose link is
// down stays away however its bridge starts.
TEST_F(StorageTest, ARestartCarriesOutWhatWasPending)
{
    machine.tree.node(nodes.adapter).pending = sim::Pending::kDisable;
    machine.tree.node(nodes.cardbus).pending = sim::Pending::kStop;
    machine.storage.volumes.at('F').open_files = 3;
    sim::Restart(machine);
    EXPECT_EQ(machine.tree.node(nodes.adapter).problem, static_cast<ULONG>(CM_PROB_DISABLED));
    EXPECT_FALSE(machine.tree.node(nodes.downstream[0]).present);
    EXPECT_EQ(machine.storage.volumes.at('F').open_files, 0) << "its programs are gone";
    EXPECT_TRUE(machine.tree.node(nodes.system_disk).present) << "outside the adapter";

    machine.dump.Write(sim::kDefaultSlotBus, 0x50, machine.dump.Read(sim::kDefaultSlotBus, 0x50) | sim::kLinkDisable);
    SP_DEVINFO_DATA data{};
    HDEVINFO set = PciSet(nodes.adapter, data);
    EXPECT_TRUE(PropertyChange(set, data, DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC));
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_TRUE(machine.tree.node(nodes.slot_bridge).present);
    EXPECT_TRUE(machine.tree.node(nodes.sata_disk[1]).present);
    EXPECT_TRUE(machine.tree.node(nodes.cardbus).present);
    EXPECT_FALSE(machine.tree.node(nodes.cardbus_card).present) << "a stopped bridge has no children";
    EXPECT_FALSE(machine.tree.node(nodes.express_card).present) << "no link, no card";
    machine.dump.Write(sim::kDefaultSlotBus, 0x50, machine.dump.Read(sim::kDefaultSlotBus, 0x50) & ~sim::kLinkDisable);
    CM_Reenumerate_DevNode(nodes.slot_bridge, 0);
    EXPECT_TRUE(machine.tree.node(nodes.express_card).present);
}

// ---------------------------------------------------------------- the slot's hardware
TEST_F(StorageTest, LinkDisableTakesTheCardAndReenumerationBringsItBack)
{
    const std::uint8_t bus = sim::kDefaultSlotBus;
    auto card_there = [&] { return machine.tree.node(nodes.express_card).present; };
    machine.dump.Write(bus, 0x50, machine.dump.Read(bus, 0x50) | sim::kLinkDisable);
    EXPECT_TRUE(card_there()) << "without native hot plug, Windows learns of it on re-enumeration only";
    EXPECT_EQ(machine.dump.Read(sim::kDefaultCardBus, 0x00), 0xFFFFFFFFu) << "a vanished device reads all ones";
    EXPECT_NE(machine.dump.Read(bus, 0x58) & sim::kPresenceDetect, 0u) << "the card is still in the slot";

    EXPECT_EQ(CM_Reenumerate_DevNode(nodes.slot_bridge, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_FALSE(card_there()) << "no link, no card";
    machine.dump.Write(bus, 0x50, machine.dump.Read(bus, 0x50) & ~sim::kLinkDisable);
    EXPECT_EQ(machine.dump.Read(sim::kDefaultCardBus, 0x00), 0x8240104Cu) << "it answers once its link is up";
    EXPECT_FALSE(card_there()) << "it appears on re-enumeration only";
    EXPECT_EQ(CM_Reenumerate_DevNode(nodes.adapter, 0), static_cast<CONFIGRET>(CR_SUCCESS)) << "an ancestor";
    EXPECT_TRUE(card_there());
    EXPECT_EQ(machine.reenumerations, (std::vector<DEVINST>{nodes.slot_bridge, nodes.adapter}));
    EXPECT_EQ(CM_Reenumerate_DevNode(nodes.slot_bridge, 0x8), static_cast<CONFIGRET>(CR_INVALID_FLAG));
}

TEST_F(StorageTest, PresenceDetectFollowsTheCard)
{
    const std::uint8_t bus = sim::kDefaultSlotBus;
    sim::SetCardInserted(machine, bus, false);
    EXPECT_EQ(machine.dump.Read(bus, 0x58) & sim::kPresenceDetect, 0u);
    EXPECT_TRUE(machine.tree.node(nodes.express_card).present) << "until the bus is enumerated again";
    CM_Reenumerate_DevNode(nodes.slot_bridge, 0);
    EXPECT_FALSE(machine.tree.node(nodes.express_card).present) << "the slot is empty";
    sim::SetCardInserted(machine, bus, true);
    EXPECT_NE(machine.dump.Read(bus, 0x58) & sim::kPresenceDetect, 0u);
    CM_Reenumerate_DevNode(nodes.slot_bridge, 0);
    EXPECT_TRUE(machine.tree.node(nodes.express_card).present);
}

// A disk on the card in the slot, with a lettered volume K: and one mounted in a folder only.
class CardDiskTest : public StorageTest {
protected:
    static constexpr DWORD kCardDisk = 9;
    DEVINST disk = 0;
    void SetUp() override
    {
        sim::NewDevice d;
        d.enumerator = "SCSI";
        d.class_guid = sim::kClassDiskDrive;
        d.description = u"Card disk";
        disk = machine.tree.Add(nodes.express_card, d);
        sim::AddDisk(machine, disk, kCardDisk, u"\\\\?\\scsi#disk&ven_card#6&1f&0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
        sim::AddVolume(machine, 'K', kCardDisk, 1000);
        sim::AddMountedVolume(machine, u"C:\\Mnt\\Card\\", kCardDisk, 2000).partition = 2;
    }
    sim::Volume& Mounted() { return machine.storage.unlettered.at(0); }
    bool CardThere() { return machine.tree.node(nodes.express_card).present; }
};

// A card pulled while Windows holds its nodes: what was open on it is cut and recorded,
// its handles fail from then on, and nothing comes back with the card.
TEST_F(CardDiskTest, APullUnderOpenFilesIsASurpriseRemoval)
{
    HANDLE volume = Open(u"\\\\.\\K:", 0);
    HANDLE raw = Open(u"\\\\.\\PHYSICALDRIVE9", 0);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    machine.storage.volumes.at('K').open_files = 2;
    Mounted().open_files = 1;
    machine.storage.disk(kCardDisk)->raw_handles = 1;
    STORAGE_DEVICE_NUMBER number{};
    ASSERT_TRUE(Control(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number));

    sim::SetCardInserted(machine, sim::kDefaultSlotBus, false);
    ASSERT_EQ(machine.surprise_removals.size(), 1u);
    const sim::SurpriseRemoval& cut = machine.surprise_removals[0];
    EXPECT_EQ(cut.bus, sim::kDefaultSlotBus);
    EXPECT_EQ(cut.devices, (std::vector<std::u16string>{u"ExpressCard PCI Express to PCI Bridge", u"Card disk"}));
    EXPECT_EQ(cut.open_files, (std::vector<sim::SurpriseRemoval::OpenFiles>{{u"K:", 2}, {u"C:\\Mnt\\Card\\", 1}}));
    EXPECT_EQ(cut.raw_handles, (std::vector<sim::SurpriseRemoval::RawHandles>{{kCardDisk, 1}}));
    EXPECT_EQ(cut.handles, 2u);
    EXPECT_TRUE(CardThere()) << "Windows has not enumerated the bus yet";
    EXPECT_FALSE(Control(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number));
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));

    sim::SetCardInserted(machine, sim::kDefaultSlotBus, true);
    CM_Reenumerate_DevNode(nodes.slot_bridge, 0);
    EXPECT_TRUE(CardThere());
    EXPECT_FALSE(Control(raw, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number)) << "the old handle stays dead";
    EXPECT_EQ(machine.storage.volumes.at('K').open_files + Mounted().open_files, 0) << "the files do not come back";
    CloseHandle(volume);
    CloseHandle(raw);
    HANDLE fresh = Open(u"\\\\.\\K:", 0);
    EXPECT_TRUE(Control(fresh, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number));
    CloseHandle(fresh);
    // A card that a query-and-remove let go leaves without a surprise.
    ASSERT_EQ(CM_Query_And_Remove_SubTreeW(nodes.express_card, nullptr, nullptr, 0, CM_REMOVE_UI_NOT_OK),
              static_cast<CONFIGRET>(CR_SUCCESS));
    machine.dump.Write(sim::kDefaultSlotBus, 0x50, machine.dump.Read(sim::kDefaultSlotBus, 0x50) | sim::kLinkDisable);
    EXPECT_EQ(machine.surprise_removals.size(), 1u);
}

// Reference: CM_Query_And_Remove_SubTree, PNP_VETO_TYPE. What is open anywhere below the
// node refuses the removal, with who it is; without a veto the subtree goes, and comes
// back when the parent is enumerated again (with CM_REMOVE_NO_RESTART only once reset).
TEST_F(CardDiskTest, AQueryAndRemoveIsVetoedByWhatIsOpenBelow)
{
    HANDLE locker = INVALID_HANDLE_VALUE;
    struct Case {
        const char* what;
        std::function<void()> prepare;
        CONFIGRET result;
        PNP_VETO_TYPE type;
        std::u16string name;
    } cases[] = {
        {"nothing open", [] {}, CR_SUCCESS, PNP_VetoTypeUnknown, u""},
        {"a file on the volume in a folder", [&] { Mounted().open_files = 1; }, CR_REMOVE_VETOED,
         PNP_VetoOutstandingOpen, u"STORAGE\\Volume\\Disk9#Partition2"},
        {"a raw handle on the disk", [&] { machine.storage.disk(kCardDisk)->raw_handles = 1; }, CR_REMOVE_VETOED,
         PNP_VetoOutstandingOpen, u"SCSI\\DISK&VEN_CARD\\6&1F&0&0"},
        {"K: locked through another handle",
         [&] {
             locker = Open(u"\\\\.\\K:", GENERIC_READ | GENERIC_WRITE);
             ASSERT_TRUE(Control(locker, FSCTL_LOCK_VOLUME));
         },
         CR_REMOVE_VETOED, PNP_VetoOutstandingOpen, u"STORAGE\\Volume\\Disk9#Partition1"},
        {"a node's own veto",
         [&] {
             machine.tree.node(disk).veto = PNP_VetoDevice;
             machine.tree.node(disk).veto_name = u"Card disk";
         },
         CR_REMOVE_VETOED, PNP_VetoDevice, u"Card disk"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare();
        PNP_VETO_TYPE type = PNP_VetoLegacyDevice;
        char16_t name[MAX_PATH] = u"x";
        EXPECT_EQ(CM_Query_And_Remove_SubTreeW(nodes.express_card, &type, name, MAX_PATH, CM_REMOVE_UI_NOT_OK),
                  c.result);
        EXPECT_EQ(type, c.type);
        if (c.result == CR_REMOVE_VETOED) {
            EXPECT_EQ(std::u16string(name), c.name);
        }
        EXPECT_EQ(CardThere(), c.result != CR_SUCCESS);
        EXPECT_TRUE(machine.system_boxes.empty()) << "asked for no user interface";
        // Back as it was for the next row.
        CM_Reenumerate_DevNode(nodes.slot_bridge, 0);
        EXPECT_TRUE(CardThere()) << "re-enumeration finds what was removed";
        if (locker != INVALID_HANDLE_VALUE) CloseHandle(locker);
        locker = INVALID_HANDLE_VALUE;
        Mounted().open_files = 0;
        machine.storage.disk(kCardDisk)->raw_handles = 0;
        machine.tree.node(disk).veto = PNP_VetoTypeUnknown;
        machine.tree.node(disk).veto_name.clear();
    }

    ASSERT_EQ(CM_Query_And_Remove_SubTreeW(nodes.express_card, nullptr, nullptr, 0,
                                           CM_REMOVE_UI_NOT_OK | CM_REMOVE_NO_RESTART),
              static_cast<CONFIGRET>(CR_SUCCESS));
    CM_Reenumerate_DevNode(nodes.slot_bridge, 0);
    EXPECT_FALSE(CardThere()) << "no restart until reset";
    EXPECT_EQ(CM_Setup_DevNode(nodes.express_card, CM_SETUP_DEVNODE_RESET), static_cast<CONFIGRET>(CR_SUCCESS));
    CM_Reenumerate_DevNode(nodes.slot_bridge, 0);
    EXPECT_TRUE(CardThere());

    // Without a buffer for the name and with the user interface allowed, Windows tells the user.
    Mounted().open_files = 1;
    EXPECT_EQ(CM_Query_And_Remove_SubTreeW(nodes.express_card, nullptr, nullptr, 0, CM_REMOVE_UI_OK),
              static_cast<CONFIGRET>(CR_REMOVE_VETOED));
    EXPECT_EQ(machine.system_boxes.size(), 1u);
    EXPECT_EQ(CM_Query_And_Remove_SubTreeW(nodes.express_card, nullptr, nullptr, 0, 0x8),
              static_cast<CONFIGRET>(CR_INVALID_FLAG));
}

} // namespace
