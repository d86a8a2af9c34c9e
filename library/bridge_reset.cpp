// Restarting the adapter's own PCI bridge through the class installer: one call
// disables it, the next enables it again.
#include "library/device_tree.h"
#include "library/px71.h"
#include "library/text.h"

namespace px71 {
namespace {

const GUID kSystemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr char kAdapterBridgeId[] = "PCI\\VEN_1E2A&DEV_0102";
constexpr char kRootPortFilter[] = "PX711";

// The size of a string property for the ANSI read, or 0 when the size query does not
// report ERROR_INSUFFICIENT_BUFFER (no such property, or it cannot be read).
DWORD AnsiPropertySize(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property) noexcept
{
    DWORD size = 0;
    if (SetupDiGetDeviceRegistryPropertyA(set, &data, property, nullptr, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || size > MAXDWORD - 2)
        return 0;
    return size;
}

// A zeroed block of Size plus two bytes, so the first string read into it is
// always terminated.
UniqueLocal PropertyBuffer(DWORD size) noexcept
{
    return UniqueLocal(LocalAlloc(LMEM_ZEROINIT, static_cast<SIZE_T>(size) + 2));
}

bool ReadAnsiProperty(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property, UniqueLocal& buffer, DWORD size) noexcept
{
    return SetupDiGetDeviceRegistryPropertyA(set, &data, property, nullptr, static_cast<BYTE*>(buffer.get()), size,
                                             nullptr) != 0;
}

bool BeginsWith(const UniqueLocal& text, const char* prefix) noexcept
{
    return PrefixEqualNoCase(static_cast<const char*>(text.get()), prefix, Length(prefix));
}

bool IsAdapterBridge(HDEVINFO set, SP_DEVINFO_DATA& data) noexcept
{
    const DWORD size = AnsiPropertySize(set, data, SPDRP_HARDWAREID);
    if (size == 0) return false;
    UniqueLocal ids = PropertyBuffer(size);
    return ids && ReadAnsiProperty(set, data, SPDRP_HARDWAREID, ids, size) && BeginsWith(ids, kAdapterBridgeId);
}

// Whether the bridge's first upper filter is the root-port filter. A bridge without a
// list counts as unfiltered. The list gets a buffer of its own size, so a long list is
// never mistaken for none; when that buffer cannot be had, or the list that its size
// query announced cannot be read, the answer is not known and the bridge is left
// alone rather than restarted under the filter.
enum class Filtered { No, Yes, Unknown };

Filtered RootPortFilterOn(HDEVINFO set, SP_DEVINFO_DATA& data) noexcept
{
    const DWORD size = AnsiPropertySize(set, data, SPDRP_UPPERFILTERS);
    if (size == 0) return Filtered::No;
    UniqueLocal filters = PropertyBuffer(size);
    if (!filters) return Filtered::Unknown;
    if (!ReadAnsiProperty(set, data, SPDRP_UPPERFILTERS, filters, size)) return Filtered::Unknown;
    return BeginsWith(filters, kRootPortFilter) ? Filtered::Yes : Filtered::No;
}

} // namespace
} // namespace px71

using namespace px71;

extern "C" BYTE PX71API XU_ResetPCIBridge(DWORD Enable) noexcept
{
    const bool enable = LOBYTE(Enable) != 0;
    UniqueDevInfo set = PresentClassDevices(kSystemClass);
    if (!set) return 0;

    SP_DEVINFO_DATA bridge{};
    bool found = false;
    ForEachDeviceSkippingFailures(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (!IsAdapterBridge(set.get(), data)) return Walk::Next;
        bridge = data;
        found = true;
        return Walk::Stop;  // only the first bridge is acted on
    });
    if (!found || RootPortFilterOn(set.get(), bridge) != Filtered::No) return 0;

    if (!enable) {
        // A disable that a device below vetoes would wait in the profile and switch the
        // adapter off at the next start of Windows: it is taken back at once instead.
        if (RequestPropertyChange(set.get(), bridge, DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC) == Change::kDeferred)
            UndoPropertyChange(set.get(), bridge, DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC);
    } else {
        RequestPropertyChange(set.get(), bridge, DICS_ENABLE, DICS_FLAG_GLOBAL);
        RequestPropertyChange(set.get(), bridge, DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC);
    }
    return 0;
}
