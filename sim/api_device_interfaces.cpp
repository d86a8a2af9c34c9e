// Device interfaces of a device set: SetupDiEnumDeviceInterfaces and the two-step
// SetupDiGetDeviceInterfaceDetailW.
#include "sim/api.h"

#include <cstddef>
#include <cstring>

using namespace sim;
using namespace sim::api;

namespace {

// SP_DEVICE_INTERFACE_DATA::Reserved names the interface: its node and its place
// among the node's interfaces.
ULONG_PTR InterfaceId(DEVINST node, std::size_t index) { return (static_cast<ULONG_PTR>(node) << 8) | (index + 1); }

const DeviceInterface* FromId(Machine& m, const Machine::DeviceSet& set, ULONG_PTR id, DEVINST* node)
{
    *node = static_cast<DEVINST>(id >> 8);
    std::size_t index = id & 0xFF;
    bool member = false;
    for (DEVINST d : set.members) member |= d == *node;
    const DevNode* n = m.tree.find(*node);
    if (!member || !n || index == 0 || index > n->interfaces.size()) return nullptr;
    return &n->interfaces[index - 1];
}


} // namespace

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* interfaceGuid,
                                                   DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData)
{
    Call call("SetupDiEnumDeviceInterfaces", {P(set), data ? data->DevInst : 0u, index},
              interfaceGuid ? GuidText(*interfaceGuid) : std::string("(no class)"));
    if (call.failed()) return call.FailBool();
    auto* s = call.machine.Set(set);
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (!interfaceGuid) return Fail(ERROR_INVALID_PARAMETER);
    if (data) {
        if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
        bool member = false;
        for (DEVINST d : s->members) member |= d == data->DevInst;
        if (!member) return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD seen = 0;
    for (DEVINST id : s->members) {
        if (data && id != data->DevInst) continue;
        const DevNode& n = *call.machine.tree.find(id);
        for (std::size_t i = 0; i < n.interfaces.size(); ++i) {
            if (!(n.interfaces[i].interface_class == *interfaceGuid)) continue;
            if (seen++ != index) continue;
            interfaceData->InterfaceClassGuid = *interfaceGuid;
            interfaceData->Flags = n.present ? SPINT_ACTIVE : 0;
            interfaceData->Reserved = InterfaceId(id, i);
            return TRUE;
        }
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                                        PDWORD requiredSize, PSP_DEVINFO_DATA data)
{
    Call call("SetupDiGetDeviceInterfaceDetailW",
              {P(set), P(detail), detailSize, detail ? detail->cbSize : 0u, P(data)});
    if (call.failed()) return call.FailBool();
    auto* s = call.machine.Set(set);
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    // The fixed part of the structure: 6 bytes in a 32-bit process, 8 in a 64-bit one.
    if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (!detail && detailSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
    if (detail && detailSize < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(WCHAR))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    DEVINST node = 0;
    const DeviceInterface* found = FromId(call.machine, *s, interfaceData->Reserved, &node);
    if (!found) return Fail(ERROR_INVALID_PARAMETER);

    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                            (found->path.size() + 1) * sizeof(WCHAR));
    if (requiredSize) *requiredSize = needed;
    if (data) {
        const DevNode& n = *call.machine.tree.find(node);
        data->ClassGuid = n.class_guid;
        data->DevInst = node;
    }
    if (detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, found->path.c_str(), (found->path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}
