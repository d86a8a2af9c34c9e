// SetupAPI and the configuration manager over the machine's device tree.
#include "sim/api.h"

#include <algorithm>
#include <cstring>

using namespace sim;
using namespace sim::api;

namespace {

// SetupAPI's property codes are the configuration manager's, one lower.
ULONG CmCode(DWORD spdrp) { return spdrp + 1; }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_MULTI_SZ || type == REG_EXPAND_SZ; }

// A string property as the ANSI calls return it.
Bytes AnsiData(const Property& p)
{
    if (!IsStringType(p.type)) return p.data;
    std::u16string wide;
    for (std::size_t i = 0; i + 1 < p.data.size(); i += 2)
        wide.push_back(static_cast<char16_t>(p.data[i] | (p.data[i + 1] << 8)));
    std::string ansi = ToAnsi(wide);
    return Bytes(ansi.begin(), ansi.end());
}

// A property of the node as a read finds it: none when it has none, or when the keys
// that held it were deleted (all but the bus number, which the running node answers
// itself).
const Property* ReadableProperty(const DevNode& n, ULONG cm_code)
{
    auto it = n.properties.find(cm_code);
    if (it == n.properties.end() || (n.keys_deleted && cm_code != CM_DRP_BUSNUMBER)) return nullptr;
    return &it->second;
}

// The properties a program may write through SetupAPI and the configuration manager.
std::optional<DWORD> WritableType(ULONG cm_code)
{
    switch (cm_code) {
    case CM_DRP_UPPERFILTERS:
    case CM_DRP_LOWERFILTERS:
    case CM_DRP_HARDWAREID:
    case CM_DRP_COMPATIBLEIDS:
        return REG_MULTI_SZ;
    case CM_DRP_FRIENDLYNAME:
    case CM_DRP_LOCATION_INFORMATION:
    case CM_DRP_DEVICEDESC:
        return REG_SZ;
    default:
        return std::nullopt;
    }
}

HDEVINFO GetClassDevs(Machine& m, const GUID* classGuid, std::optional<std::u16string> enumerator, DWORD flags)
{
    const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
    const bool all_classes = (flags & DIGCF_ALLCLASSES) != 0;
    if (!classGuid && !all_classes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    Machine::DeviceSet set;
    set.interfaces = interfaces;
    if (interfaces && classGuid) set.interface_class = *classGuid;
    for (DEVINST id : m.tree.order()) {
        const DevNode& n = *m.tree.find(id);
        if (id == m.tree.root()) continue;
        if ((flags & DIGCF_PRESENT) && !n.present) continue;
        if (enumerator && !EqualNoCase(Widen(n.enumerator), *enumerator)) continue;
        if (interfaces) {
            bool has = false;
            for (const auto& i : n.interfaces)
                if (all_classes || i.interface_class == *classGuid) has = true;
            if (!has) continue;
        } else if (!all_classes && !(n.class_guid == *classGuid)) {
            continue;
        }
        set.members.push_back(id);
    }
    return m.AddSet(std::move(set));
}

} // namespace

const DevNode* sim::api::SetupElement(Machine& m, HDEVINFO set, PSP_DEVINFO_DATA data)
{
    auto* s = m.Set(set);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    // Members are taken in the tree's order, which is the order of their ids.
    const bool member = std::binary_search(s->members.begin(), s->members.end(), data->DevInst);
    const DevNode* n = m.tree.find(data->DevInst);
    if (!member || !n) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return n;
}

namespace {

BOOL GetSetupProperty(Call& call, HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer,
                      DWORD bufferSize, PDWORD requiredSize, bool ansi)
{
    const DevNode* n = SetupElement(call.machine, set, data);
    if (!n) return FALSE;
    if (property >= SPDRP_MAXIMUM_PROPERTY) {
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    }
    if (!buffer && bufferSize != 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const Property* p = ReadableProperty(*n, CmCode(property));
    if (!p) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    Bytes value = ansi ? AnsiData(*p) : p->data;
    if (type) *type = p->type;
    if (requiredSize) *requiredSize = static_cast<DWORD>(value.size());
    if (bufferSize < value.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
    return TRUE;
}

CONFIGRET SetNodeProperty(DevNode& n, ULONG cm_code, const void* buffer, ULONG length)
{
    auto type = WritableType(cm_code);
    if (!type) return CR_INVALID_PROPERTY;
    if (!buffer && length != 0) return CR_INVALID_POINTER;
    if (n.refuse_property_writes) return CR_REGISTRY_ERROR;
    if (!buffer) {
        n.properties.erase(cm_code);
        return CR_SUCCESS;
    }
    auto* bytes = static_cast<const std::uint8_t*>(buffer);
    n.properties[cm_code] = {*type, Bytes(bytes, bytes + length)};
    return CR_SUCCESS;
}

CONFIGRET GetNodeProperty(Machine& m, DEVINST devInst, ULONG property, PULONG type, PVOID buffer, PULONG length,
                          ULONG flags, bool ansi)
{
    if (!length) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    if (property < CM_DRP_DEVICEDESC || property > SPDRP_MAXIMUM_PROPERTY + 1) return CR_INVALID_PROPERTY;
    const DevNode* n = m.tree.find(devInst);
    if (!n) return CR_INVALID_DEVNODE;
    const Property* p = ReadableProperty(*n, property);
    if (!p) return CR_NO_SUCH_VALUE;
    Bytes value = ansi ? AnsiData(*p) : p->data;
    if (type) *type = p->type;
    if (!buffer || *length < value.size()) {
        *length = static_cast<ULONG>(value.size());
        return CR_BUFFER_SMALL;
    }
    if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
    *length = static_cast<ULONG>(value.size());
    return CR_SUCCESS;
}

// A node that the configuration manager's live tree holds.
const DevNode* LiveNode(Machine& m, DEVINST id)
{
    const DevNode* n = m.tree.find(id);
    return (n && n->present) ? n : nullptr;
}

} // namespace

// ---------------------------------------------------------------- SetupAPI
extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags)
{
    Call call("SetupDiGetClassDevsW", {P(classGuid), P(parent), flags},
              (classGuid ? GuidText(*classGuid) : std::string("(no class)")) + " " + Text(enumerator));
    if (call.failed()) return call.FailHandle(INVALID_HANDLE_VALUE);
    std::optional<std::u16string> e;
    if (enumerator) e = std::u16string(enumerator);
    return GetClassDevs(call.machine, classGuid, e, flags);
}

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags)
{
    Call call("SetupDiGetClassDevsA", {P(classGuid), P(parent), flags},
              (classGuid ? GuidText(*classGuid) : std::string("(no class)")) + " " + Text(enumerator));
    if (call.failed()) return call.FailHandle(INVALID_HANDLE_VALUE);
    std::optional<std::u16string> e;
    if (enumerator) e = FromAnsi(enumerator);
    return GetClassDevs(call.machine, classGuid, e, flags);
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data)
{
    Call call("SetupDiEnumDeviceInfo", {P(set), index});
    if (call.failed()) return call.FailBool();
    auto* s = call.machine.Set(set);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= s->members.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const DevNode& n = *call.machine.tree.find(s->members[index]);
    data->ClassGuid = n.class_guid;
    data->DevInst = n.id;
    data->Reserved = index + 1;
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                         PDWORD type, PBYTE buffer, DWORD bufferSize,
                                                         PDWORD requiredSize)
{
    Call call("SetupDiGetDeviceRegistryPropertyW", {P(set), data ? data->DevInst : 0u, property, P(buffer), bufferSize});
    if (call.failed()) return call.FailBool();
    return GetSetupProperty(call, set, data, property, type, buffer, bufferSize, requiredSize, false);
}

extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                         PDWORD type, PBYTE buffer, DWORD bufferSize,
                                                         PDWORD requiredSize)
{
    Call call("SetupDiGetDeviceRegistryPropertyA", {P(set), data ? data->DevInst : 0u, property, P(buffer), bufferSize});
    if (call.failed()) return call.FailBool();
    return GetSetupProperty(call, set, data, property, type, buffer, bufferSize, requiredSize, true);
}

extern "C" BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                         const BYTE* buffer, DWORD bufferSize)
{
    Call call("SetupDiSetDeviceRegistryPropertyW", {P(set), data ? data->DevInst : 0u, property, P(buffer), bufferSize});
    if (call.failed()) return call.FailBool();
    const DevNode* n = SetupElement(call.machine, set, data);
    if (!n) return FALSE;
    switch (SetNodeProperty(call.machine.tree.node(n->id), CmCode(property), buffer, bufferSize)) {
    case CR_SUCCESS:
        return TRUE;
    case CR_INVALID_PROPERTY:
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    case CR_INVALID_POINTER:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    default:
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    Call call("SetupDiDestroyDeviceInfoList", {P(set)});
    // A release that is made to fail still releases: the fault is in the report only.
    if (call.failed()) {
        call.machine.DestroySet(set);
        return call.FailBool();
    }
    if (!call.machine.DestroySet(set)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------- configuration manager
extern "C" CONFIGRET WINAPI CM_Get_Parent(PDEVINST parent, DEVINST devInst, ULONG flags)
{
    Call call("CM_Get_Parent", {devInst, flags});
    if (call.failed()) return call.FailConfig();
    if (!parent) return CR_INVALID_POINTER;
    *parent = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    const DevNode* n = LiveNode(call.machine, devInst);
    if (!n) return CR_INVALID_DEVNODE;
    if (n->parent == 0) return CR_NO_SUCH_DEVNODE;
    *parent = n->parent;
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Get_Child(PDEVINST child, DEVINST devInst, ULONG flags)
{
    Call call("CM_Get_Child", {devInst, flags});
    if (call.failed()) return call.FailConfig();
    if (!child) return CR_INVALID_POINTER;
    *child = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    if (!LiveNode(call.machine, devInst)) return CR_INVALID_DEVNODE;
    auto c = call.machine.tree.FirstPresentChild(devInst);
    if (!c) return CR_NO_SUCH_DEVNODE;
    *child = *c;
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Get_Sibling(PDEVINST sibling, DEVINST devInst, ULONG flags)
{
    Call call("CM_Get_Sibling", {devInst, flags});
    if (call.failed()) return call.FailConfig();
    if (!sibling) return CR_INVALID_POINTER;
    *sibling = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    if (!LiveNode(call.machine, devInst)) return CR_INVALID_DEVNODE;
    auto s = call.machine.tree.NextPresentSibling(devInst);
    if (!s) return CR_NO_SUCH_DEVNODE;
    *sibling = *s;
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags)
{
    Call call("CM_Get_DevNode_Status", {devInst, flags});
    if (call.failed()) return call.FailConfig();
    if (!status || !problem) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    const DevNode* n = call.machine.tree.find(devInst);
    if (!n) return CR_INVALID_DEVNODE;
    if (!n->present) return CR_NO_SUCH_DEVINST;
    *status = n->status | (n->problem ? DN_HAS_PROBLEM : 0);
    *problem = n->problem;
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST devInst, ULONG property, PULONG type,
                                                              PVOID buffer, PULONG length, ULONG flags)
{
    Call call("CM_Get_DevNode_Registry_PropertyW",
              {devInst, property, P(buffer), length ? *length : 0xFFFFFFFFu, flags});
    if (call.failed()) return call.FailConfig();
    return GetNodeProperty(call.machine, devInst, property, type, buffer, length, flags, false);
}

extern "C" CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST devInst, ULONG property, PULONG type,
                                                              PVOID buffer, PULONG length, ULONG flags)
{
    Call call("CM_Get_DevNode_Registry_PropertyA",
              {devInst, property, P(buffer), length ? *length : 0xFFFFFFFFu, flags});
    if (call.failed()) return call.FailConfig();
    return GetNodeProperty(call.machine, devInst, property, type, buffer, length, flags, true);
}

extern "C" CONFIGRET WINAPI CM_Set_DevNode_Registry_PropertyW(DEVINST devInst, ULONG property, PCVOID buffer,
                                                              ULONG length, ULONG flags)
{
    Call call("CM_Set_DevNode_Registry_PropertyW", {devInst, property, P(buffer), length, flags});
    if (call.failed()) return call.FailConfig();
    if (flags != 0) return CR_INVALID_FLAG;
    DevNode* n = call.machine.tree.find(devInst);
    if (!n) return CR_INVALID_DEVNODE;
    return SetNodeProperty(*n, property, buffer, length);
}
