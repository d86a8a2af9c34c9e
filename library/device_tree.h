// Device-tree conventions every export shares: the match rule, the device sets and
// the two ways of walking them, and the walk up to the top PCI-to-PCI bridge.
#pragma once

#include "platform/win32.h"

#include <cstddef>

namespace px71 {

// The match rule: Match null matches; a REG_DWORD compares its first 32-bit word
// with Match's; anything else is a prefix test of Match against every string.
int MatchProperty(const void* match, DWORD type, const BYTE* data, DWORD dataBytes) noexcept;

// Prefix test, case ignored, of Pattern against each string of a multi-string.
// Never reads outside the DataBytes given.
int MatchMultiSz(LPCWSTR pattern, const WCHAR* data, DWORD dataBytes) noexcept;

// The topmost node of the unbroken chain of PCI-to-PCI bridges directly above
// DevInst, or DevInst itself.
DEVINST FindTopBridge(DEVINST devInst) noexcept;
// The same walk for callers that write to the node found: false when a platform call
// failed on the way, so that Top may lie below the real top bridge.
bool FindTopBridgeChecked(DEVINST devInst, DEVINST& top) noexcept;

// Whether a device's property matches any of Count patterns (the match rule), read
// once: into a buffer on the stack where it fits, as hardware-ID lists do, otherwise
// into one of the size reported. 0 when it cannot be read or nothing matches.
int DevicePropertyMatchesAny(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property, const LPCWSTR* patterns,
                             std::size_t count) noexcept;

// An answer that a failed call can leave open.
enum class Answer { kNo, kYes, kUnknown };

// Is the node a PCI device (enumerator exactly "PCI") whose bus number is Bus? Storage
// ports, USB hubs and other buses report bus numbers of their own kind, which name no
// PCI bus. kUnknown when a property that is there could not be read.
Answer PciNodeOnBus(DEVINST devInst, DWORD bus) noexcept;

// The node is one of the adapter's bridges (either generation) or lies below one.
// A node whose chain up cannot be read all the way counts as outside the adapter.
bool BelongsToAdapter(DEVINST devInst) noexcept;

// A node's first child and next sibling in the configuration manager's order
// (flags 0), or 0 when there is none. 0 in gives 0 out without a call.
DEVINST FirstChild(DEVINST devInst) noexcept;
DEVINST NextSibling(DEVINST devInst) noexcept;

// The adapter's fixed positions below its root port, found from the adapter's own
// node: the root port (FindTopBridge), its first child, and that child's first four
// children in sibling order, the downstream nodes. A missing position is 0, and the
// positions after it are not looked for. When the root port's first child is not the
// adapter (a switch of the board's lies between them), no position is the adapter's:
// every one is 0.
struct AdapterNodes {
    DEVINST root_port = 0;
    DEVINST upstream = 0;
    DEVINST downstream[4] = {};
};
AdapterNodes FindAdapterNodes(DEVINST adapter) noexcept;
// The same positions below a root port already found.
AdapterNodes FindNodesBelowRootPort(DEVINST root_port) noexcept;

// The device sets, as every export builds them.
UniqueDevInfo PresentPciDevices() noexcept;      // enumerator "PCI", DIGCF_PRESENT | DIGCF_ALLCLASSES
UniqueDevInfo AllPresentDevices() noexcept;      // DIGCF_PRESENT | DIGCF_ALLCLASSES
UniqueDevInfo AllDevices() noexcept;             // DIGCF_ALLCLASSES, present or not
UniqueDevInfo PresentClassDevices(const GUID& setupClass) noexcept;  // ANSI call, DIGCF_PRESENT
UniqueDevInfo PresentDiskInterfaces() noexcept;  // GUID_DEVINTERFACE_DISK, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE

enum class Walk { Next, Stop };

// Walk rule "stop at first failure": members 0, 1, 2, ... until SetupDiEnumDeviceInfo
// fails for any reason. Visit(SP_DEVINFO_DATA&) returns Walk::Stop to end early.
template <typename Visit>
void ForEachDevice(HDEVINFO set, Visit&& visit) noexcept
{
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index)
        if (visit(data) == Walk::Stop) return;
}

// Walk rule "skip until no more items": a failing index is skipped, the walk ends at
// ERROR_NO_MORE_ITEMS. A set that fails index after index for another reason ends
// the walk after kMaxSkippedMembers failures in a row rather than spin for ever.
constexpr DWORD kMaxSkippedMembers = 4096;

template <typename Visit>
void ForEachDeviceSkippingFailures(HDEVINFO set, Visit&& visit) noexcept
{
    DWORD skipped = 0;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInfo(set, index, &data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS || ++skipped >= kMaxSkippedMembers) return;
            continue;
        }
        skipped = 0;
        if (visit(data) == Walk::Stop) return;
    }
}

// What a DIF_PROPERTYCHANGE request came to.
enum class Change { kDone, kFailed, kDeferred };

// One DIF_PROPERTYCHANGE request on an element: the parameters are set and, only if
// that succeeds, the class installer is called. Windows may keep a disable, stop or
// restart that a device below vetoes (a file open on a volume) for the next start of
// the system and still report success; only the element's install parameters tell
// (DI_NEEDREBOOT, DI_NEEDRESTART), so they are read after every change. Parameters
// that cannot be read leave it unknown, which counts as deferred.
Change RequestPropertyChange(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD stateChange, DWORD scope) noexcept;

// Takes back a disable or stop (the matching enable or start, same scope), so that
// nothing of it is left pending for the next start of the system; tried twice. One that
// still cannot be taken back is told in PX71.LOG with the device's name: it takes effect
// when Windows starts next. Other changes have nothing to take back.
void UndoPropertyChange(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD stateChange, DWORD scope) noexcept;

// The device's name for a user: its friendly name, else its description; empty when it
// has neither. Read before a removal, which deletes the keys that hold it.
void DeviceName(HDEVINFO set, SP_DEVINFO_DATA& data, WCHAR (&name)[MAX_PATH]) noexcept;

// Who refused a removal, where a user can look it up: one line in PX71.LOG,
// "<What> (veto type N): <Name>".
void LogVeto(LPCWSTR what, PNP_VETO_TYPE vetoType, LPCWSTR vetoName) noexcept;

} // namespace px71
