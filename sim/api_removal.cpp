// Letting devices go: eject requests, which a device in use can veto, and removal
// through SetupAPI.
#include "sim/api.h"
#include "sim/pnp.h"
#include "sim/processes.h"

#include <cstring>

using namespace sim;
using namespace sim::api;

namespace {

// A caller that is not interactive (a service) must hold SeLoadDriverPrivilege, enabled
// (reference: CM_Request_Device_Eject).
bool MayRemove(Machine& machine)
{
    if (!CallerIsService()) return true;
    auto held = machine.privileges.find(u"SeLoadDriverPrivilege");
    return held != machine.privileges.end() && held->second;
}

// The answer to a vetoed removal: the veto's type and name where the caller gave room
// for them. Without a buffer for the name, and unless asked not to, the system tells the
// user itself (reference: CM_Request_Device_Eject and CM_Query_And_Remove_SubTree,
// pszVetoName, CM_REMOVE_UI_NOT_OK).
CONFIGRET Vetoed(Machine& machine, const Veto& veto, PPNP_VETO_TYPE vetoType, LPWSTR vetoName, ULONG nameLength,
                 bool ui)
{
    if (!vetoName && ui) machine.system_boxes.push_back("The device cannot be removed: " + Narrow(veto.name));
    if (vetoType) *vetoType = veto.type;
    if (vetoName) {
        std::size_t count = std::min<std::size_t>(veto.name.size(), nameLength - 1);
        std::memcpy(vetoName, veto.name.data(), count * sizeof(char16_t));
        vetoName[count] = 0;
    }
    return CR_REMOVE_VETOED;
}

} // namespace

extern "C" CONFIGRET WINAPI CM_Request_Device_EjectW(DEVINST devInst, PPNP_VETO_TYPE vetoType, LPWSTR vetoName,
                                                     ULONG nameLength, ULONG flags)
{
    Call call("CM_Request_Device_EjectW", {devInst, P(vetoType), P(vetoName), nameLength, flags});
    if (call.failed()) return call.FailConfig();
    if (flags != 0) return CR_INVALID_FLAG;
    if (vetoName && nameLength == 0) return CR_INVALID_POINTER;
    if (vetoType) *vetoType = PNP_VetoTypeUnknown;
    if (!MayRemove(call.machine)) return CR_ACCESS_DENIED;
    DeviceTree& tree = call.machine.tree;
    const DevNode* n = tree.find(devInst);
    if (!n || !n->present) return CR_INVALID_DEVNODE;
    // The query-remove of the subtree: a device's veto, or a file open on a volume below.
    if (const auto veto = QueryRemove(call.machine, devInst))
        return Vetoed(call.machine, *veto, vetoType, vetoName, nameLength, true);
    // Some devices stay, held for eject, until they are pulled: what was below them goes.
    if (n->held_after_eject) {
        DevNode& held = tree.node(devInst);
        for (DEVINST child : std::vector<DEVINST>(held.children)) tree.RemoveSubtree(child);
        held.status = DN_HAS_PROBLEM;
        held.problem = CM_PROB_HELD_FOR_EJECT;
        return CR_SUCCESS;
    }
    tree.RemoveSubtree(devInst);
    return CR_SUCCESS;
}

// Reference: CM_Query_And_Remove_SubTree. Every driver below the node is asked first
// (IRP_MN_QUERY_REMOVE_DEVICE: a file open, a volume locked, a raw handle on a disk, a
// device's own veto refuse it); when nobody refuses, the node and its subtree are
// removed. They come back when the parent is enumerated again, unless
// CM_REMOVE_NO_RESTART keeps them out until CM_Setup_DevNode resets them.
extern "C" CONFIGRET WINAPI CM_Query_And_Remove_SubTreeW(DEVINST ancestor, PPNP_VETO_TYPE vetoType, LPWSTR vetoName,
                                                         ULONG nameLength, ULONG flags)
{
    Call call("CM_Query_And_Remove_SubTreeW", {ancestor, P(vetoType), P(vetoName), nameLength, flags});
    if (call.failed()) return call.FailConfig();
    if (flags & ~static_cast<ULONG>(CM_REMOVE_UI_NOT_OK | CM_REMOVE_NO_RESTART)) return CR_INVALID_FLAG;
    if (vetoName && nameLength == 0) return CR_INVALID_POINTER;
    if (vetoType) *vetoType = PNP_VetoTypeUnknown;
    if (!MayRemove(call.machine)) return CR_ACCESS_DENIED;
    const DevNode* n = call.machine.tree.find(ancestor);
    if (!n || !n->present) return CR_INVALID_DEVNODE;
    if (const auto veto = QueryRemove(call.machine, ancestor))
        return Vetoed(call.machine, *veto, vetoType, vetoName, nameLength, (flags & CM_REMOVE_UI_NOT_OK) == 0);
    RemoveAfterQuery(call.machine, ancestor, (flags & CM_REMOVE_NO_RESTART) != 0);
    return CR_SUCCESS;
}

// Reference: CM_Setup_DevNode. RESET clears the no-restart mark of a node that a
// query-and-remove took out with CM_REMOVE_NO_RESTART: the next enumeration of its parent
// finds it again. READY restarts a node that has a problem; one without is left as it is.
extern "C" CONFIGRET WINAPI CM_Setup_DevNode(DEVINST devInst, ULONG flags)
{
    Call call("CM_Setup_DevNode", {devInst, flags});
    if (call.failed()) return call.FailConfig();
    if (flags != CM_SETUP_DEVNODE_READY && flags != CM_SETUP_DEVNODE_RESET) return CR_INVALID_FLAG;
    DevNode* n = call.machine.tree.find(devInst);
    if (!n) return CR_INVALID_DEVNODE;
    if (flags == CM_SETUP_DEVNODE_RESET) {
        std::vector<DEVINST> pending{devInst};
        while (!pending.empty()) {
            DevNode& at = call.machine.tree.node(pending.back());
            pending.pop_back();
            at.no_restart = false;
            for (DEVINST c : at.children) pending.push_back(c);
        }
    }
    return CR_SUCCESS;
}

extern "C" BOOL WINAPI SetupDiRemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA data)
{
    Call call("SetupDiRemoveDevice", {P(set), data ? data->DevInst : 0u});
    if (call.failed()) return call.FailBool();
    if (call.machine.wow64) return Fail(ERROR_IN_WOW64);  // as the class installer, under WOW64
    const DevNode* n = SetupElement(call.machine, set, data);
    if (!n) return FALSE;
    // A device that cannot be stopped now (a volume on it in use, a veto) is removed only
    // at the next restart: the call succeeds and the element's install parameters say so
    // (reference: SetupDiRemoveDevice, DI_NEEDREBOOT). The device stays, and as it is
    // still there, the restart finds it again.
    if (QueryRemove(call.machine, n->id)) {
        call.machine.Set(set)->install_flags[n->id] |= DI_NEEDREBOOT;
        // Its keys go all the same: the page says the removal deletes them.
        call.machine.tree.node(n->id).keys_deleted = true;
        return TRUE;
    }
    call.machine.tree.RemoveSubtree(n->id);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data,
                                                      PSP_DEVINSTALL_PARAMS_W params)
{
    Call call("SetupDiGetDeviceInstallParamsW", {P(set), data ? data->DevInst : 0u, P(params)});
    if (call.failed()) return call.FailBool();
    if (!params || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    auto* s = call.machine.Set(set);
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    DWORD flags = 0;
    if (data) {
        if (!SetupElement(call.machine, set, data)) return FALSE;
        auto it = s->install_flags.find(data->DevInst);
        if (it != s->install_flags.end()) flags = it->second;
    }
    std::memset(reinterpret_cast<BYTE*>(params) + sizeof(DWORD), 0, sizeof(SP_DEVINSTALL_PARAMS_W) - sizeof(DWORD));
    params->Flags = flags;
    return TRUE;
}
