// Which drivers sit at the adapter's fixed positions below its root port.
#include "library/device_tree.h"
#include "library/px71.h"
#include "library/text.h"

namespace px71 {
namespace {

constexpr int kSataFirst = 0x01;
constexpr int kSataSecond = 0x02;
constexpr int kCardBus = 0x04;
constexpr int kPciBelowC1 = 0x08;
constexpr int kUsbBelowC3 = 0x10;

// The first Count characters of a node's property (ANSI, first string only) equal
// Prefix, case ignored. A node without the property, or whose value does not fit the
// 128-byte buffer, matches nothing.
bool NodePropertyBegins(DEVINST node, ULONG property, const char* prefix) noexcept
{
    if (node == 0) return false;
    char buffer[128] = {};
    ULONG length = sizeof buffer;
    if (CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer, &length, 0) != CR_SUCCESS) return false;
    return PrefixEqualNoCase(buffer, prefix, Length(prefix));
}

bool ServiceBegins(DEVINST node, const char* prefix) noexcept
{
    return NodePropertyBegins(node, CM_DRP_SERVICE, prefix);
}

// The bits found below one adapter bridge. A missing position ends the examination.
int CheckPositions(DEVINST adapter) noexcept
{
    const AdapterNodes nodes = FindAdapterNodes(adapter);
    int mask = 0;
    if (nodes.upstream == 0 || nodes.downstream[0] == 0) return mask;
    if (ServiceBegins(FirstChild(nodes.downstream[0]), "SI3132")) mask |= kSataFirst;
    if (nodes.downstream[1] == 0) return mask;
    if (ServiceBegins(FirstChild(nodes.downstream[1]), "SI3132")) mask |= kSataSecond;
    if (nodes.downstream[2] == 0) return mask;
    const DEVINST cardbus = FirstChild(nodes.downstream[2]);
    if (ServiceBegins(cardbus, "pcmcia") || NodePropertyBegins(cardbus, CM_DRP_UPPERFILTERS, "pcmcia"))
        mask |= kCardBus;
    if (nodes.downstream[3] == 0) return mask;
    const DEVINST c1 = FirstChild(nodes.downstream[3]);
    if (c1 == 0) return mask;
    if (ServiceBegins(FirstChild(c1), "pci")) mask |= kPciBelowC1;
    const DEVINST c3 = NextSibling(NextSibling(c1));
    if (c3 == 0) return mask;
    if (ServiceBegins(FirstChild(c3), "USB")) mask |= kUsbBelowC3;
    return mask;
}

} // namespace
} // namespace px71

using namespace px71;

extern "C" int PX71API XU_CheckDevice(void) noexcept
{
    UniqueDevInfo set = AllPresentDevices();
    if (!set) return 0;
    // The adapter programmed and unprogrammed; each device's IDs are read once for both.
    const LPCWSTR adapters[] = {W16("PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A"),
                                W16("PCI\\VEN_1E2A&DEV_0102&SUBSYS_00000000")};
    int mask = 0;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (DevicePropertyMatchesAny(set.get(), data, SPDRP_HARDWAREID, adapters, 2))
            mask |= CheckPositions(data.DevInst);
        return Walk::Next;
    });
    return mask;
}
