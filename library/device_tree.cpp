// Property readers, the match rule and FindTopBridge.
#include "library/device_tree.h"

#include "library/px71.h"
#include "library/text.h"

#include <cstring>

namespace px71 {
namespace {

// Bounds the reader's grow-and-retry loop: a property that keeps reporting a larger
// size after this many doublings is treated as not read.
constexpr int kMaxReadPasses = 16;

const GUID kDiskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

void Clear(BYTE* buffer, DWORD size) noexcept
{
    if (buffer) std::memset(buffer, 0, size);
}

void CopyOut(BYTE* buffer, DWORD bufferSize, const void* data, DWORD size) noexcept
{
    if (buffer) std::memcpy(buffer, data, bufferSize < size ? bufferSize : size);
}

// Steps 2 to 5 of the node reader: a size query, then the read into a heap buffer of
// twice that size. Leaves Data empty when the property was not read.
struct NodeProperty {
    HeapBlock data;
    ULONG type = 0;
    ULONG length = 0;
};

// Failed, when given, tells a property that is not there from one that could not be
// read.
bool ReadNodeProperty(DEVINST devInst, ULONG property, NodeProperty& out, bool* failed = nullptr) noexcept
{
    if (failed) *failed = true;
    ULONG length = 0;
    const CONFIGRET size = CM_Get_DevNode_Registry_PropertyW(devInst, property, &out.type, nullptr, &length, 0);
    if (length == 0 && failed) *failed = size != CR_NO_SUCH_VALUE && size != CR_BUFFER_SMALL && size != CR_SUCCESS;
    if (length == 0 || length > MAXDWORD / 2) return false;
    HeapBlock data(static_cast<SIZE_T>(length) * 2);
    if (!data) return false;
    out.length = length;
    if (CM_Get_DevNode_Registry_PropertyW(devInst, property, &out.type, data.get(), &out.length, 0) != CR_SUCCESS)
        return false;
    if (out.length > length * 2) out.length = length * 2;
    out.data = std::move(data);
    if (failed) *failed = false;
    return true;
}

// FindTopBridge's walk; false when it ended on a failed call rather than at the root
// of the tree or below a parent that is no PCI-to-PCI bridge.
bool ClimbBridges(DEVINST devInst, DEVINST& top) noexcept
{
    top = devInst;
    for (;;) {
        DEVINST parent = 0;
        const CONFIGRET cr = CM_Get_Parent(&parent, top, 0);
        if (cr != CR_SUCCESS) return cr == CR_NO_SUCH_DEVNODE;
        NodeProperty ids;
        bool failed = false;
        if (!ReadNodeProperty(parent, CM_DRP_COMPATIBLEIDS, ids, &failed)) return !failed;
        if (!MatchProperty(W16("PCI\\CC_060400"), ids.type, ids.data.as<BYTE>(), ids.length)) return true;
        top = parent;
    }
}

} // namespace

int MatchMultiSz(LPCWSTR pattern, const WCHAR* data, DWORD dataBytes) noexcept
{
    if (!data) return 0;
    const DWORD units = dataBytes / 2;
    if (!pattern) return (units > 0 && data[0] != 0) ? 1 : 0;
    if (dataBytes == 0) return 0;

    const std::size_t n = Length(pattern);
    DWORD p = 0;
    do {
        // The entry at p matches when its first n characters equal the pattern's.
        std::size_t k = 0;
        while (k < n && p + k < units && data[p + k] != 0 && FoldCase(data[p + k]) == FoldCase(pattern[k])) ++k;
        if (k == n) return 1;
        DWORD end = p;
        while (end < units && data[end] != 0) ++end;
        p = end + 1;
    } while (2ull * p < dataBytes);
    return 0;
}

int MatchProperty(const void* match, DWORD type, const BYTE* data, DWORD dataBytes) noexcept
{
    if (!match) return 1;
    if (type == REG_DWORD) {
        if (dataBytes < sizeof(DWORD)) return 0;
        return std::memcmp(match, data, sizeof(DWORD)) == 0 ? 1 : 0;
    }
    return MatchMultiSz(static_cast<LPCWSTR>(match), reinterpret_cast<const WCHAR*>(data), dataBytes);
}

DEVINST FindTopBridge(DEVINST devInst) noexcept
{
    DEVINST top = 0;
    ClimbBridges(devInst, top);
    return top;
}

bool FindTopBridgeChecked(DEVINST devInst, DEVINST& top) noexcept
{
    return ClimbBridges(devInst, top);
}

int DevicePropertyMatchesAny(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property, const LPCWSTR* patterns,
                             std::size_t count) noexcept
{
    BYTE local[512];
    DWORD type = 0;
    DWORD required = 0;
    const BYTE* bytes = local;
    DWORD length = 0;
    HeapBlock heap;
    if (SetupDiGetDeviceRegistryPropertyW(set, &data, property, &type, local, sizeof local, &required)) {
        length = required < sizeof local ? required : static_cast<DWORD>(sizeof local);
    } else {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) return 0;
        heap = HeapBlock(required);
        if (!heap) return 0;
        const DWORD size = required;
        if (!SetupDiGetDeviceRegistryPropertyW(set, &data, property, &type, heap.as<BYTE>(), size, &required)) return 0;
        bytes = heap.as<BYTE>();
        length = required < size ? required : size;
    }
    for (std::size_t i = 0; i < count; ++i)
        if (MatchProperty(patterns[i], type, bytes, length)) return 1;
    return 0;
}

Answer PciNodeOnBus(DEVINST devInst, DWORD bus) noexcept
{
    bool failed = false;
    NodeProperty enumerator;
    if (!ReadNodeProperty(devInst, CM_DRP_ENUMERATOR_NAME, enumerator, &failed))
        return failed ? Answer::kUnknown : Answer::kNo;
    const WCHAR* name = enumerator.data.as<WCHAR>();
    const DWORD units = enumerator.length / sizeof(WCHAR);
    const WCHAR pci[] = W16("PCI");
    for (DWORD i = 0; i < 3; ++i)
        if (i >= units || FoldCase(name[i]) != FoldCase(pci[i])) return Answer::kNo;
    if (units > 3 && name[3] != 0) return Answer::kNo;  // "PCIIDE" and the like
    NodeProperty number;
    if (!ReadNodeProperty(devInst, CM_DRP_BUSNUMBER, number, &failed)) return failed ? Answer::kUnknown : Answer::kNo;
    if (number.length < sizeof(DWORD)) return Answer::kUnknown;
    DWORD value = 0;
    std::memcpy(&value, number.data.get(), sizeof value);
    return value == bus ? Answer::kYes : Answer::kNo;
}

bool BelongsToAdapter(DEVINST devInst) noexcept
{
    // Deeper than any real device tree; a loop in a broken tree ends here.
    constexpr int kMaxDepth = 256;
    DEVINST node = devInst;
    for (int depth = 0; depth < kMaxDepth; ++depth) {
        if (GetDevNodeRegistryProperty(node, CM_DRP_HARDWAREID, W16("PCI\\VEN_1E2A&DEV_0102"), nullptr, 0) ||
            GetDevNodeRegistryProperty(node, CM_DRP_HARDWAREID, W16("PCI\\VEN_1217&DEV_02EB&SUBSYS_01021E2A"),
                                       nullptr, 0))
            return true;
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return false;
        node = parent;
    }
    return false;
}

DEVINST FirstChild(DEVINST devInst) noexcept
{
    DEVINST child = 0;
    if (devInst == 0 || CM_Get_Child(&child, devInst, 0) != CR_SUCCESS) return 0;
    return child;
}

DEVINST NextSibling(DEVINST devInst) noexcept
{
    DEVINST sibling = 0;
    if (devInst == 0 || CM_Get_Sibling(&sibling, devInst, 0) != CR_SUCCESS) return 0;
    return sibling;
}

AdapterNodes FindAdapterNodes(DEVINST adapter) noexcept
{
    const AdapterNodes nodes = FindNodesBelowRootPort(FindTopBridge(adapter));
    // The positions count from the root port's first child, which must be the adapter
    // itself: with a board switch between the two they would name the switch's ports.
    return nodes.upstream == adapter ? nodes : AdapterNodes{};
}

AdapterNodes FindNodesBelowRootPort(DEVINST root_port) noexcept
{
    AdapterNodes nodes;
    nodes.root_port = root_port;
    nodes.upstream = FirstChild(nodes.root_port);
    DEVINST position = FirstChild(nodes.upstream);
    for (DEVINST& downstream : nodes.downstream) {
        if (position == 0) break;
        downstream = position;
        if (&downstream != &nodes.downstream[3]) position = NextSibling(position);
    }
    return nodes;
}

UniqueDevInfo PresentPciDevices() noexcept
{
    return UniqueDevInfo(SetupDiGetClassDevsW(nullptr, W16("PCI"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
}

UniqueDevInfo AllPresentDevices() noexcept
{
    return UniqueDevInfo(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
}

UniqueDevInfo AllDevices() noexcept
{
    return UniqueDevInfo(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
}

UniqueDevInfo PresentClassDevices(const GUID& setupClass) noexcept
{
    return UniqueDevInfo(SetupDiGetClassDevsA(&setupClass, nullptr, nullptr, DIGCF_PRESENT));
}

UniqueDevInfo PresentDiskInterfaces() noexcept
{
    return UniqueDevInfo(
        SetupDiGetClassDevsW(&kDiskInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE));
}

void LogVeto(LPCWSTR what, PNP_VETO_TYPE vetoType, LPCWSTR vetoName) noexcept
{
    WCHAR line[MAX_PATH + 80];
    FixedText<WCHAR> text(line, sizeof line / sizeof line[0]);
    text.Append(W16("\r\n"))
        .Append(what)
        .Append(W16(" (veto type "))
        .Decimal(static_cast<unsigned long>(vetoType), 1)
        .Append(W16("): "))
        .Append(vetoName);
    WriteLogFile(line);
}

Change RequestPropertyChange(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD stateChange, DWORD scope) noexcept
{
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = stateChange;
    params.Scope = scope;
    params.HwProfile = 0;  // the current profile
    if (!SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data))
        return Change::kFailed;
    SP_DEVINSTALL_PARAMS_W install{};
    install.cbSize = sizeof install;
    if (!SetupDiGetDeviceInstallParamsW(set, &data, &install)) return Change::kDeferred;
    return (install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) ? Change::kDeferred : Change::kDone;
}

void UndoPropertyChange(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD stateChange, DWORD scope) noexcept
{
    const DWORD undo = stateChange == DICS_DISABLE ? DICS_ENABLE : stateChange == DICS_STOP ? DICS_START : 0;
    if (undo == 0) return;
    // A second try for a class installer that failed once (busy, short of memory).
    if (RequestPropertyChange(set, data, undo, scope) != Change::kFailed ||
        RequestPropertyChange(set, data, undo, scope) != Change::kFailed)
        return;
    WCHAR name[MAX_PATH];
    DeviceName(set, data, name);
    WCHAR line[MAX_PATH + 100];
    FixedText<WCHAR> text(line, sizeof line / sizeof line[0]);
    text.Append(W16("\r\n"))
        .Append(undo == DICS_ENABLE ? W16("Disable") : W16("Stop"))
        .Append(W16(" not taken back; it takes effect at the next start of Windows: "))
        .Append(name);
    WriteLogFile(line);
}

void DeviceName(HDEVINFO set, SP_DEVINFO_DATA& data, WCHAR (&name)[MAX_PATH]) noexcept
{
    std::memset(name, 0, sizeof name);
    if (!GetDeviceRegistryProperty(set, &data, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(name),
                                   sizeof name - sizeof(WCHAR)))
        GetDeviceRegistryProperty(set, &data, SPDRP_DEVICEDESC, nullptr, reinterpret_cast<BYTE*>(name),
                                  sizeof name - sizeof(WCHAR));
}

} // namespace px71

using namespace px71;

extern "C" int PX71API GetDeviceRegistryProperty(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                 DWORD Property, const void* Match, BYTE* Buffer,
                                                 DWORD BufferSize) noexcept
{
    Clear(Buffer, BufferSize);
    DWORD type = 0;
    DWORD required = 0;
    // A property that reads with no buffer at all has no data: not read.
    if (SetupDiGetDeviceRegistryPropertyW(DeviceInfoSet, DeviceInfoData, Property, &type, nullptr, 0, &required))
        return 0;

    HeapBlock data;
    DWORD size = 0;
    bool read = false;
    for (int pass = 0; pass < kMaxReadPasses && GetLastError() == ERROR_INSUFFICIENT_BUFFER; ++pass) {
        data.reset();
        if (required > MAXDWORD / 2) return 0;
        size = required * 2;
        data = HeapBlock(size);
        if (!data) return 0;
        if (SetupDiGetDeviceRegistryPropertyW(DeviceInfoSet, DeviceInfoData, Property, &type, data.as<BYTE>(), size,
                                              &required)) {
            read = true;
            break;
        }
    }
    if (!read) return 0;

    const DWORD length = required < size ? required : size;
    CopyOut(Buffer, BufferSize, data.get(), length);
    return MatchProperty(Match, type, data.as<BYTE>(), length);
}

extern "C" int PX71API GetDevNodeRegistryProperty(DWORD DevInst, DWORD Property, const void* Match, BYTE* Buffer,
                                                  DWORD BufferSize) noexcept
{
    Clear(Buffer, BufferSize);
    NodeProperty property;
    if (!ReadNodeProperty(DevInst, Property, property)) return 0;
    CopyOut(Buffer, BufferSize, property.data.get(), property.length);
    return MatchProperty(Match, property.type, property.data.as<BYTE>(), property.length);
}
