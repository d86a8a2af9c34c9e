// The upper-filter lists of the adapter's root port and the nodes below it.
#include "library/device_tree.h"
#include "library/px71.h"
#include "library/text.h"

#include <cstring>

namespace px71 {
namespace {

const WCHAR kCurrentAdapter[] = W16("PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A");
const WCHAR kUnprogrammedAdapter[] = W16("PCI\\VEN_1E2A&DEV_0102&SUBSYS_00000000");
const WCHAR kOldAdapter[] = W16("PCI\\VEN_1217&DEV_02EB&SUBSYS_01021E2A");

const WCHAR kRootPortFilter[] = W16("PX711");
const WCHAR kFirstFilter[] = W16("PX713");
const WCHAR kSecondFilter[] = W16("PX714");
const WCHAR kThirdFilter[] = W16("PX715");
const WCHAR kFourthFilter[] = W16("PX716");
const WCHAR kThirdChildFilter[] = W16("PX717");
const WCHAR kOldFilter[] = W16("PX71");

// "PX717" is left out: a list that holds only it survives the removal.
const WCHAR* const kRemovedFilters[] = {kRootPortFilter, kFirstFilter, kSecondFilter, kThirdFilter, kFourthFilter};

// The old adapter's list is worked on in a buffer of this many code units.
constexpr DWORD kOldListUnits = 260;
constexpr DWORD kOldListBytes = kOldListUnits * sizeof(WCHAR);

// Matched devices and those of them handled: the functions' count result.
struct Count {
    int matched = 0;
    int done = 0;
    int Result() const noexcept { return done == matched ? done : done - matched; }
};

bool IsCurrentAdapter(HDEVINFO set, SP_DEVINFO_DATA& device) noexcept
{
    return GetDeviceRegistryProperty(set, &device, SPDRP_HARDWAREID, kCurrentAdapter, nullptr, 0) == 1 ||
           GetDeviceRegistryProperty(set, &device, SPDRP_HARDWAREID, kUnprogrammedAdapter, nullptr, 0) == 1;
}

bool IsOldAdapter(HDEVINFO set, SP_DEVINFO_DATA& device) noexcept
{
    return GetDeviceRegistryProperty(set, &device, SPDRP_HARDWAREID, kOldAdapter, nullptr, 0) == 1;
}

bool Carries(DEVINST node, LPCWSTR filter) noexcept
{
    return GetDevNodeRegistryProperty(node, CM_DRP_UPPERFILTERS, filter, nullptr, 0) == 1;
}

bool ElementCarries(HDEVINFO set, SP_DEVINFO_DATA& device, LPCWSTR filter) noexcept
{
    return GetDeviceRegistryProperty(set, &device, SPDRP_UPPERFILTERS, filter, nullptr, 0) == 1;
}

// Only a node that is known to have no list counts as having none: a query that
// failed for another reason must not let another driver's list be overwritten.
bool HasNoList(DEVINST node) noexcept
{
    ULONG type = 0;
    ULONG length = 0;
    const CONFIGRET cr = CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_UPPERFILTERS, &type, nullptr, &length, 0);
    if (cr == CR_NO_SUCH_VALUE) return true;
    return (cr == CR_SUCCESS || cr == CR_BUFFER_SMALL) && length == 0;
}

// Replaces the node's whole list by the one entry Filter: its letters, NUL, NUL.
CONFIGRET WriteSingleEntryList(DEVINST node, LPCWSTR filter) noexcept
{
    WCHAR list[8] = {};
    const std::size_t letters = Length(filter);
    std::memcpy(list, filter, letters * sizeof(WCHAR));
    const ULONG bytes = static_cast<ULONG>((letters + 2) * sizeof(WCHAR));
    return CM_Set_DevNode_Registry_PropertyW(node, CM_DRP_UPPERFILTERS, list, bytes, 0);
}

// A node that is missing (0) is never written, nor one that already carries the name.
void WritePosition(DEVINST node, LPCWSTR filter) noexcept
{
    if (node != 0 && !Carries(node, filter)) WriteSingleEntryList(node, filter);
}

// Steps 2 to 10 for one current adapter; true when it counts as done.
bool AddCurrentFilters(DEVINST adapter) noexcept
{
    // A walk cut short by a failed call would name a node below the root port.
    DEVINST root_port = 0;
    if (!FindTopBridgeChecked(adapter, root_port)) return false;
    // The positions count from the root port's first child. When that is not the
    // adapter, a switch of the board's lies between them, and the names would land on
    // its ports (and the filter drivers load on foreign bridges): nothing is written.
    if (FirstChild(root_port) != adapter) return false;
    if (Carries(root_port, kRootPortFilter)) return true;
    if (WriteSingleEntryList(root_port, kRootPortFilter) != CR_SUCCESS) return false;

    // Writes below the root port are not examined: the adapter is done once its root
    // port carries the filter.
    const AdapterNodes nodes = FindNodesBelowRootPort(root_port);
    WritePosition(nodes.downstream[0], kFirstFilter);
    WritePosition(nodes.downstream[1], kSecondFilter);
    WritePosition(nodes.downstream[2], kThirdFilter);
    const DEVINST third_child = FirstChild(nodes.downstream[2]);
    if (third_child != 0 && HasNoList(third_child)) WriteSingleEntryList(third_child, kThirdChildFilter);
    WritePosition(nodes.downstream[3], kFourthFilter);
    return true;
}

// How a list sits in a zero-filled buffer of kOldListUnits code units: the position of
// its closing NUL, or kOldListUnits when the list is not closed inside the buffer
// (longer than the buffer, or not a well-formed multi-string).
DWORD ClosingNul(const WCHAR* list) noexcept
{
    DWORD p = 0;
    while (p < kOldListUnits && list[p] != 0) {
        while (p < kOldListUnits && list[p] != 0) ++p;
        ++p;  // past the entry's NUL
    }
    return p < kOldListUnits ? p : kOldListUnits;
}

// Appends "PX71" behind the last entry of the list in the buffer. False when the list,
// the new entry and the closing NUL do not all fit.
bool AppendOldFilter(WCHAR* list, ULONG& bytes) noexcept
{
    DWORD i = 0;
    while (i + 1 < kOldListUnits && !(list[i] == 0 && list[i + 1] == 0)) ++i;
    if (i + 1 >= kOldListUnits) return false;
    const DWORD start = i > 0 ? i + 1 : 0;
    const DWORD letters = static_cast<DWORD>(Length(kOldFilter));
    if (start + letters + 2 > kOldListUnits) return false;
    std::memcpy(list + start, kOldFilter, letters * sizeof(WCHAR));
    list[start + letters] = 0;
    list[start + letters + 1] = 0;
    bytes = (start + letters + 2) * sizeof(WCHAR);
    return true;
}

// Steps 2 to 4 for one old adapter; true when it counts as done.
bool AddOldFilter(DEVINST adapter) noexcept
{
    DEVINST root_port = 0;
    if (!FindTopBridgeChecked(adapter, root_port)) return false;
    if (Carries(root_port, kOldFilter)) return true;

    HeapBlock buffer(kOldListBytes);
    if (!buffer) return false;
    WCHAR* list = buffer.as<WCHAR>();
    ULONG type = 0;
    ULONG length = kOldListBytes;
    const CONFIGRET read = CM_Get_DevNode_Registry_PropertyW(root_port, CM_DRP_UPPERFILTERS, &type, list, &length, 0);
    // A list that cannot be read, or does not fit the buffer, is not replaced by a
    // shorter one: it stays as it is and the adapter counts as a failure.
    if (read == CR_NO_SUCH_VALUE)
        std::memset(list, 0, kOldListBytes);
    else if (read != CR_SUCCESS)
        return false;

    ULONG bytes = 0;
    if (!AppendOldFilter(list, bytes)) return false;
    return CM_Set_DevNode_Registry_PropertyW(root_port, CM_DRP_UPPERFILTERS, list, bytes, 0) == CR_SUCCESS;
}

// Takes the entry equal to "PX71" out of the device's list. True when the list now
// holds no such entry (including when it never held one).
enum class Removal { kTaken, kNotThere, kFailed };

Removal RemoveOldFilter(HDEVINFO set, SP_DEVINFO_DATA& device, WCHAR* list) noexcept
{
    const DWORD closing = ClosingNul(list);
    // Not closed within the buffer: the whole list was not read, so writing back what
    // was would lose its tail.
    if (closing >= kOldListUnits) return Removal::kFailed;

    const DWORD letters = static_cast<DWORD>(Length(kOldFilter));
    DWORD entry = 0;
    while (entry < closing) {
        const DWORD length = static_cast<DWORD>(Length(list + entry));
        if (length == letters && PrefixEqualNoCase(list + entry, kOldFilter, letters)) break;
        entry += length + 1;
    }
    // "PX71" only as the beginning of a longer entry ("PX711", ...): nothing to take out.
    if (entry >= closing) return Removal::kNotThere;

    const DWORD behind = entry + letters + 1;
    std::memmove(list + entry, list + behind, (closing + 1 - behind) * sizeof(WCHAR));
    const DWORD remaining = closing + 1 - (letters + 1);
    const BOOL written =
        remaining <= 1 ? SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_UPPERFILTERS, nullptr, 0)
                       : SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_UPPERFILTERS,
                                                           reinterpret_cast<const BYTE*>(list), remaining * sizeof(WCHAR));
    return written ? Removal::kTaken : Removal::kFailed;
}

// 1 when some present adapter of the kind that IsAdapter names has a root port that
// does not carry Filter.
template <typename IsAdapter>
int RootPortLacksFilter(IsAdapter&& is_adapter, LPCWSTR filter) noexcept
{
    UniqueDevInfo set = PresentPciDevices();
    if (!set) return 0;
    int result = 0;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& device) {
        if (!is_adapter(set.get(), device)) return Walk::Next;
        // A root port that cannot be found cannot be seen to carry the filter.
        DEVINST root_port = 0;
        if (!FindTopBridgeChecked(device.DevInst, root_port) || !Carries(root_port, filter)) result = 1;
        return Walk::Next;
    });
    return result;
}

} // namespace
} // namespace px71

using namespace px71;

extern "C" int PX71API XU_DelFilter() noexcept
{
    UniqueDevInfo set = AllDevices();
    if (!set) return 0;
    Count count;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& device) {
        for (LPCWSTR filter : kRemovedFilters) {
            if (!ElementCarries(set.get(), device, filter)) continue;
            ++count.matched;
            if (SetupDiSetDeviceRegistryPropertyW(set.get(), &device, SPDRP_UPPERFILTERS, nullptr, 0)) ++count.done;
            break;
        }
        return Walk::Next;
    });
    return count.Result();
}

extern "C" int PX71API XU_AddFilter() noexcept
{
    XU_DelFilter();
    UniqueDevInfo set = AllPresentDevices();
    if (!set) return 0;
    Count count;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& device) {
        if (!IsCurrentAdapter(set.get(), device)) return Walk::Next;
        ++count.matched;
        if (AddCurrentFilters(device.DevInst)) ++count.done;
        return Walk::Next;
    });
    return count.Result();
}

extern "C" int PX71API XU_DoesExistNoFilterRootPort() noexcept
{
    return RootPortLacksFilter(IsCurrentAdapter, kRootPortFilter);
}

extern "C" int PX71API XU_AddFilter_OLD() noexcept
{
    XU_DelFilter();
    UniqueDevInfo set = AllPresentDevices();
    if (!set) return 0;
    Count count;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& device) {
        if (!IsOldAdapter(set.get(), device)) return Walk::Next;
        ++count.matched;
        if (AddOldFilter(device.DevInst)) ++count.done;
        return Walk::Next;
    });
    return count.Result();
}

extern "C" int PX71API XU_DelFilter_OLD() noexcept
{
    UniqueDevInfo set = AllDevices();
    if (!set) return 0;
    // One buffer for the walk; without it nothing can be looked at, as without the set.
    HeapBlock buffer(kOldListBytes);
    if (!buffer) return 0;
    WCHAR* list = buffer.as<WCHAR>();
    Count count;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& device) {
        if (GetDeviceRegistryProperty(set.get(), &device, SPDRP_UPPERFILTERS, kOldFilter,
                                      reinterpret_cast<BYTE*>(list), kOldListBytes) != 1)
            return Walk::Next;
        // Only a device from whose list "PX71" was taken, or was to be, counts.
        const Removal removal = RemoveOldFilter(set.get(), device, list);
        if (removal == Removal::kNotThere) return Walk::Next;
        ++count.matched;
        if (removal == Removal::kTaken) ++count.done;
        return Walk::Next;
    });
    return count.Result();
}

extern "C" int PX71API XU_DoesExistNoFilterRootPort_OLD() noexcept
{
    return RootPortLacksFilter(IsOldAdapter, kOldFilter);
}
