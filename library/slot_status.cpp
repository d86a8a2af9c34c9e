// The card slot: is the adapter's bridge function on a bus, is a card in its slot,
// what is the card, and switching the slot's link after a check of the volumes below.
#include "library/slot_status.h"

#include "library/device_tree.h"
#include "library/px71.h"

#include <cstring>

namespace px71 {
namespace {

constexpr DWORD kBridgeFunctionId = 0x02E31217;  // register 0x00: vendor 1217, device 02E3
const WCHAR kBridgeFunctionHardwareId[] = W16("PCI\\VEN_1217&DEV_02E3");
constexpr DWORD kAdapterSubsystem = 0x01021E2A;  // register 0x94
constexpr BYTE kRegisterId = 0x00;
constexpr BYTE kRegisterSubsystem = 0x94;
constexpr BYTE kRegisterLink = 0x50;        // Link Control, Link Status
constexpr BYTE kRegisterSlot = 0x58;        // Slot Control, Slot Status
constexpr DWORD kLinkDisable = 0x00000010;  // Link Control bit 4
constexpr DWORD kPresenceDetect = 0x00400000;  // Slot Status bit 6
constexpr DWORD kNothingAnswers = 0xFFFFFFFF;  // what a vanished function reads

// The fixed part of the detail record that cbSize must name: 6 bytes in the 32-bit
// build (packed), 8 in the 64-bit build.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (sizeof(void*) == 8 ? 8 : 6), "interface detail layout");

const GUID kDiskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Both identity registers read and hold the adapter's values.
bool IsAdapterBridge(BYTE bus) noexcept
{
    DWORD value = 0;
    if (!XU_ReadPCI(bus, kRegisterId, &value) || value != kBridgeFunctionId) return false;
    return XU_ReadPCI(bus, kRegisterSubsystem, &value) && value == kAdapterSubsystem;
}

bool OnBus(HDEVINFO set, SP_DEVINFO_DATA& data, const DWORD& bus) noexcept
{
    return GetDeviceRegistryProperty(set, &data, SPDRP_BUSNUMBER, &bus, nullptr, 0) != 0;
}

// Without the dump driver: a bridge function in the device tree on that bus.
int BridgeFunctionInTree(BYTE bus) noexcept
{
    UniqueDevInfo set = PresentPciDevices();
    if (!set) return 0;
    const DWORD busMatch = bus;
    int found = 0;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (!OnBus(set.get(), data, busMatch)) return Walk::Next;
        if (!GetDeviceRegistryProperty(set.get(), &data, SPDRP_HARDWAREID, kBridgeFunctionHardwareId, nullptr, 0))
            return Walk::Next;
        found = 1;
        return Walk::Stop;
    });
    return found;
}

// Brings Link Disable to the wanted state: 1 when it ends there.
int SwitchLink(BYTE bus, bool linkOn) noexcept
{
    if (!IsAdapterBridge(bus)) return 0;
    DWORD link = 0;
    if (!XU_ReadPCI(bus, kRegisterLink, &link)) return 0;
    const DWORD wanted = linkOn ? 0 : kLinkDisable;
    if ((link & kLinkDisable) == wanted) return 1;
    // The whole register goes back with only bit 4 changed.
    if (!XU_WritePCI(bus, kRegisterLink, (link & ~kLinkDisable) | wanted)) return 0;
    DWORD after = 0;
    if (!XU_ReadPCI(bus, kRegisterLink, &after)) return 0;
    return (after & kLinkDisable) == wanted ? 1 : 0;
}

// Every device of the adapter on the bus: a class-installer state change, or
// re-enumeration for 0. A disable is kept in the hardware profile, so a device outside
// the adapter (the root port, the chipset, a system disk's controller) is never
// touched, whatever bus a caller names: the pipe lets every local user ask.
// False when Windows deferred a change to its next start (a device below vetoed it):
// then every disable or stop this call made on the bus is taken back, so the bus is
// left as it was found and nothing waits in the profile for the next boot.
bool ChangeBusDevices(BYTE bus, BYTE stateChange) noexcept
{
    UniqueDevInfo set = PresentPciDevices();
    if (!set) return true;
    const DWORD busMatch = bus;
    // A bus holds at most 256 functions; a tree that claims more gets no change beyond
    // the ones that could be taken back.
    constexpr DWORD kMaxFunctions = 256;
    // The elements themselves, so that taking a change back needs no walk that could fail.
    SP_DEVINFO_DATA changed[kMaxFunctions];
    DWORD count = 0;
    bool deferred = false;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (!OnBus(set.get(), data, busMatch) || !BelongsToAdapter(data.DevInst)) return Walk::Next;
        if (stateChange == 0) {
            CM_Reenumerate_DevNode(data.DevInst, 0);
            return Walk::Next;
        }
        if (count == kMaxFunctions) return Walk::Stop;
        const Change change = RequestPropertyChange(set.get(), data, stateChange, DICS_FLAG_CONFIGSPECIFIC);
        if (change != Change::kFailed) changed[count++] = data;
        deferred |= change == Change::kDeferred;
        return Walk::Next;
    });
    if (!deferred) return true;
    for (DWORD i = 0; i < count; ++i) UndoPropertyChange(set.get(), changed[i], stateChange, DICS_FLAG_CONFIGSPECIFIC);
    return false;
}

// The slot bridge function's node on the bus (the adapter's 1217:02E3), or 0 when the
// tree has none; false when the tree cannot be read.
bool FindSlotBridge(BYTE bus, DEVINST& bridge) noexcept
{
    bridge = 0;
    UniqueDevInfo set = PresentPciDevices();
    if (!set) return false;
    const DWORD busMatch = bus;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (!OnBus(set.get(), data, busMatch) ||
            !GetDeviceRegistryProperty(set.get(), &data, SPDRP_HARDWAREID, kBridgeFunctionHardwareId, nullptr, 0))
            return Walk::Next;
        bridge = data.DevInst;
        return Walk::Stop;
    });
    return true;
}

// Asks Plug and Play to let the card in the slot go before its link goes off, as
// Windows' own "Safely Remove Hardware" does for a device it cannot eject: each function
// of the card (a child of the slot bridge) gets a query-and-remove of its subtree, which
// every driver and program below may refuse: a file open on any of its volumes, with a
// letter or in a folder, a volume locked, a raw handle on a disk, a program that asked
// to be told (reference: CM_Query_And_Remove_SubTree, "Handling an
// IRP_MN_QUERY_REMOVE_DEVICE Request"). The removed functions do not start again until
// the card comes anew, so that nothing reaches them in the moment before the link goes
// off. A refusal is logged with who refused, and the functions already let go are found
// again: the card is left as it was. True when the whole card was let go.
bool LetCardGo(BYTE bus) noexcept
{
    DEVINST bridge = 0;
    if (!FindSlotBridge(bus, bridge)) return false;
    if (bridge == 0) return true;  // no card in the tree for Windows to let go
    constexpr DWORD kMaxFunctions = 8;  // a PCI device has at most eight
    DEVINST functions[kMaxFunctions];
    DWORD count = 0;
    DEVINST node = 0;
    CONFIGRET cr = CM_Get_Child(&node, bridge, 0);
    while (cr == CR_SUCCESS && count < kMaxFunctions) {
        functions[count++] = node;
        cr = CM_Get_Sibling(&node, node, 0);
    }
    // A walk cut short could leave a function in use behind the link.
    if (cr != CR_SUCCESS && cr != CR_NO_SUCH_DEVNODE) return false;
    for (DWORD i = 0; i < count; ++i) {
        PNP_VETO_TYPE vetoType = PNP_VetoTypeUnknown;
        WCHAR vetoName[MAX_PATH] = {};
        cr = CM_Query_And_Remove_SubTreeW(functions[i], &vetoType, vetoName, MAX_PATH,
                                          CM_REMOVE_UI_NOT_OK | CM_REMOVE_NO_RESTART);
        if (cr == CR_SUCCESS) continue;
        LogVeto(W16("Link off refused"), vetoType, vetoName);
        for (DWORD j = 0; j < i; ++j) CM_Setup_DevNode(functions[j], CM_SETUP_DEVNODE_RESET);
        if (i > 0) CM_Reenumerate_DevNode(bridge, 0);
        return false;
    }
    return true;
}

// Does the disk lie below the bus: is some PCI node above it on the bus? kUnknown when
// the walk up cannot be made to the top.
Answer DiskBelowBus(DEVINST disk, DWORD bus) noexcept
{
    constexpr int kMaxDepth = 256;  // deeper than any real device tree
    DEVINST node = disk;
    for (int depth = 0; depth < kMaxDepth; ++depth) {
        DEVINST parent = 0;
        const CONFIGRET cr = CM_Get_Parent(&parent, node, 0);
        if (cr == CR_NO_SUCH_DEVNODE) return Answer::kNo;  // past the root of the tree
        if (cr != CR_SUCCESS) return Answer::kUnknown;
        const Answer here = PciNodeOnBus(parent, bus);
        if (here != Answer::kNo) return here;
        node = parent;
    }
    return Answer::kUnknown;
}

UniqueFile OpenVolume(LPCWSTR path, DWORD access) noexcept
{
    return UniqueFile(
        CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
}

// The device path of a disk interface and the disk's element, read in two steps.
// An empty block when the detail cannot be had.
HeapBlock InterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData, SP_DEVINFO_DATA& data) noexcept
{
    constexpr DWORD kFixedPart = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || required < kFixedPart)
        return HeapBlock();
    // One character more than asked for, so the path is terminated whatever is reported.
    HeapBlock detail(static_cast<SIZE_T>(required) + sizeof(WCHAR));
    if (!detail) return HeapBlock();
    detail.as<SP_DEVICE_INTERFACE_DETAIL_DATA_W>()->cbSize = kFixedPart;
    data = SP_DEVINFO_DATA{};
    data.cbSize = sizeof data;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail.as<SP_DEVICE_INTERFACE_DETAIL_DATA_W>(),
                                          required, nullptr, &data))
        return HeapBlock();
    return detail;
}

} // namespace

int GetStorageDeviceNumber(LPCWSTR path, DWORD* deviceNumber) noexcept
{
    UniqueFile device = OpenVolume(path, 0);
    if (!device) return 0;
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(device.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                                    &returned, nullptr);
    // Numbers count per device type: only a disk's number names a disk.
    if (!ok || number.DeviceType != FILE_DEVICE_DISK) return 0;
    *deviceNumber = number.DeviceNumber;
    return 1;
}

int AreDiskVolumesFree(DWORD diskNumber) noexcept
{
    const QuietCriticalErrors quiet;  // an empty reader slot answers "not ready", without a box
    const DWORD drives = GetLogicalDrives();
    if (drives == 0) return 0;  // the call failed: nothing can be said of the volumes
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        if ((drives & (1u << (letter - 'A'))) == 0) continue;
        WCHAR volume[] = W16("\\\\.\\X:");
        volume[4] = static_cast<WCHAR>(letter);
        WCHAR root[] = W16("X:\\");
        root[0] = static_cast<WCHAR>(letter);
        DWORD number = 0;
        if (!GetStorageDeviceNumber(volume, &number)) {
            // A volume whose disk cannot be told may lie on this one; only a drive that
            // is no local disk (a network share, a CD) cannot.
            char rootA[] = "X:\\";
            rootA[0] = letter;
            const UINT type = GetDriveTypeA(rootA);
            if (type == DRIVE_REMOTE || type == DRIVE_CDROM || type == DRIVE_NO_ROOT_DIR) continue;
            return 0;
        }
        if (number != diskNumber) continue;

        // Its size is asked only to learn whether a file system is there.
        ULARGE_INTEGER total{};
        if (!GetDiskFreeSpaceExW(root, nullptr, &total, nullptr)) {
            // No medium, or no file system on it: nothing to be in use. Anything else
            // leaves it unknown whether the volume is in use.
            const DWORD error = GetLastError();
            if (error != ERROR_NOT_READY && error != ERROR_UNRECOGNIZED_VOLUME) return 0;
            continue;
        }

        UniqueFile device = OpenVolume(volume, GENERIC_READ | GENERIC_WRITE);
        if (!device) return 0;
        DWORD returned = 0;
        const bool locked =
            DeviceIoControl(device.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
        if (!locked ||
            !DeviceIoControl(device.get(), FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr))
            return 0;
    }
    return 1;
}

int AreBusVolumesFree(DWORD bus) noexcept
{
    // A check that cannot be made counts as "not free": the link then stays as it is,
    // rather than go off under a volume that may be in use.
    UniqueDevInfo set = PresentDiskInterfaces();
    if (!set) return 0;
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    for (DWORD index = 0;; ++index) {
        if (!SetupDiEnumDeviceInfo(set.get(), index, &element)) return GetLastError() == ERROR_NO_MORE_ITEMS ? 1 : 0;
        // Only a disk below the bus (or one whose place cannot be told) is asked about.
        const Answer below = DiskBelowBus(element.DevInst, bus);
        if (below == Answer::kNo) continue;
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &kDiskInterface, index, &interfaceData)) return 0;
        SP_DEVINFO_DATA disk{};
        HeapBlock detail = InterfaceDetail(set.get(), interfaceData, disk);
        DWORD number = 0;
        if (!detail || !GetStorageDeviceNumber(detail.as<SP_DEVICE_INTERFACE_DETAIL_DATA_W>()->DevicePath, &number))
            return 0;
        // A busy volume stands: switching the link would pull it from under an open file.
        if (!AreDiskVolumesFree(number)) return 0;
    }
}

} // namespace px71

using namespace px71;

extern "C" int PX71API XU_GetStatus(DWORD Bus, int* CardPresent) noexcept
{
    const BYTE bus = LOBYTE(Bus);
    if (CardPresent) *CardPresent = 0;
    DWORD id = 0;
    if (!XU_ReadPCI(bus, kRegisterId, &id)) return CardPresent ? 0 : BridgeFunctionInTree(bus);
    if (id != kBridgeFunctionId) return 0;
    DWORD subsystem = 0;
    if (!XU_ReadPCI(bus, kRegisterSubsystem, &subsystem) || subsystem != kAdapterSubsystem) return 0;
    if (!CardPresent) return 1;
    DWORD slot = 0;
    if (XU_ReadPCI(bus, kRegisterSlot, &slot) && (slot & kPresenceDetect) && slot != kNothingAnswers) *CardPresent = 1;
    return 1;
}

extern "C" int PX71API XU_GetCardInfo(DWORD Bus, WCHAR* Description, DWORD DescriptionSize, DWORD* Status,
                                      DWORD* Problem) noexcept
{
    // Never more than the caller said the buffer holds, even for the first NUL.
    if (Description) std::memset(Description, 0, DescriptionSize < sizeof(WCHAR) ? DescriptionSize : sizeof(WCHAR));
    UniqueDevInfo set = PresentPciDevices();
    if (!set) return 0;
    const DWORD busMatch = LOBYTE(Bus);
    // The card is the node below the slot bridge function. Its USB functions share the
    // bus and have root hubs below them, so where the bridge is on the bus only its own
    // child counts; on a bus without it, the last device with a child does.
    DEVINST card = 0;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (!OnBus(set.get(), data, busMatch)) return Walk::Next;
        if (GetDeviceRegistryProperty(set.get(), &data, SPDRP_HARDWAREID, kBridgeFunctionHardwareId, nullptr, 0)) {
            card = FirstChild(data.DevInst);
            return Walk::Stop;
        }
        if (const DEVINST child = FirstChild(data.DevInst)) card = child;
        return Walk::Next;
    });
    if (card == 0) return 0;
    if (Description)
        GetDevNodeRegistryProperty(card, CM_DRP_DEVICEDESC, nullptr, reinterpret_cast<BYTE*>(Description),
                                   DescriptionSize);
    if (Status || Problem) {
        ULONG status = 0, problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, card, 0) != CR_SUCCESS) status = problem = 0;
        if (Status) *Status = status;
        if (Problem) *Problem = problem;
    }
    return 1;
}

extern "C" int PX71API XU_SetStatus(DWORD Bus, DWORD StateChange, DWORD LinkEnable, DWORD CheckVolumes) noexcept
{
    const BYTE bus = LOBYTE(Bus);
    const bool linkOn = LOBYTE(LinkEnable) != 0;
    const BYTE stateChange = LOBYTE(StateChange);
    const bool checked = LOBYTE(CheckVolumes) != 0;
    // The volume check guards what can pull a volume from under an open file: the link
    // going off, and a disable, restart or stop of the devices. A volume in use then
    // leaves everything as it is. Switching the link on, re-enumerating, enabling and
    // starting lose nothing, and go ahead whatever is open, so the slot can always be
    // brought back.
    const bool stops = stateChange == DICS_DISABLE || stateChange == DICS_PROPCHANGE || stateChange == DICS_STOP;
    if (checked && (!linkOn || stops) && !AreBusVolumesFree(bus)) return 0;
    // With the check, the link goes off only after Plug and Play agreed: a change that
    // stops the devices first (and not at all when Windows kept it for its next start),
    // then the card's removal, which whoever holds it may refuse. Without it the link goes
    // first, as ever.
    if (checked && !linkOn && IsAdapterBridge(bus)) {
        if (stops && !ChangeBusDevices(bus, stateChange)) return 0;
        if (!LetCardGo(bus)) return 0;
        const int off = SwitchLink(bus, false);
        if (!stops && stateChange <= DICS_STOP && !ChangeBusDevices(bus, stateChange)) return 0;
        return off;
    }
    const int result = SwitchLink(bus, linkOn);
    // 6 to 255 name no property change: the class installer is not asked for one. A
    // change that Windows kept for its next start did not happen: the answer is 0.
    if (stateChange <= DICS_STOP && !ChangeBusDevices(bus, stateChange)) return 0;
    return result;
}
