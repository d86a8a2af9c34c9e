// The class installer's property changes (DIF_PROPERTYCHANGE) and re-enumeration.
#include "sim/api.h"
#include "sim/pnp.h"
#include "sim/slot.h"

#include <cstring>

using namespace sim;
using namespace sim::api;

namespace {

// The element a call names, checked as SetupAPI checks it; null data is the set itself.
bool CheckElement(Machine::DeviceSet& s, PSP_DEVINFO_DATA data)
{
    if (!data) return true;
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    for (DEVINST id : s.members)
        if (id == data->DevInst) return true;
    return Fail(ERROR_INVALID_PARAMETER);
}

// Reference: DIF_PROPERTYCHANGE and SP_PROPCHANGE_PARAMS. A disable, stop or restart of
// a running device first asks its whole subtree whether it may go (query-remove). A
// veto (a device's own, a file open on a volume below) defers the change to the next
// restart: the device keeps running, its install parameters carry DI_NEEDREBOOT, and
// a disable or stop stays pending in the hardware profile until then. A change that
// goes through takes the children out of the tree; a start enumerates them anew.
void Apply(Machine& m, Machine::DeviceSet& s, DevNode& n, const SP_PROPCHANGE_PARAMS& p)
{
    const bool disabled = n.problem == CM_PROB_DISABLED;
    const bool stops =
        p.StateChange == DICS_DISABLE || p.StateChange == DICS_STOP || p.StateChange == DICS_PROPCHANGE;
    const bool deferred = stops && (n.status & DN_STARTED) && QueryRemove(m, n.id);
    m.property_changes.push_back({n.id, p.StateChange, p.Scope, p.HwProfile, deferred});
    if (deferred) {
        s.install_flags[n.id] |= DI_NEEDREBOOT;
        if (p.StateChange == DICS_DISABLE) n.pending = Pending::kDisable;
        if (p.StateChange == DICS_STOP) n.pending = Pending::kStop;
        return;
    }
    // A disable or enable settles a disable that waited; a stop or start, a stop.
    if (n.pending == Pending::kDisable && (p.StateChange == DICS_ENABLE || p.StateChange == DICS_DISABLE))
        n.pending = Pending::kNone;
    if (n.pending == Pending::kStop && (p.StateChange == DICS_START || p.StateChange == DICS_STOP))
        n.pending = Pending::kNone;
    bool starts = false;
    switch (p.StateChange) {
    case DICS_ENABLE:
        if (disabled) n.problem = 0;
        starts = n.problem == 0;
        break;
    case DICS_DISABLE:
        n.status &= ~DN_STARTED;
        n.problem = CM_PROB_DISABLED;
        TakeDownBelow(m, n.id);
        break;
    case DICS_PROPCHANGE:
        TakeDownBelow(m, n.id);  // stopped, then started again
        starts = !disabled;
        break;
    case DICS_START:
        starts = !disabled;
        break;
    case DICS_STOP:
        n.status &= ~DN_STARTED;
        TakeDownBelow(m, n.id);
        break;
    }
    if (starts) {
        n.status |= DN_DRIVER_LOADED | DN_STARTED;
        BringBackBelow(m, n.id);
        ReenumerateSlots(m, n.id);  // a bridge that starts enumerates its bus
    }
}

} // namespace

extern "C" BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data,
                                                     PSP_CLASSINSTALL_HEADER params, DWORD paramsSize)
{
    Call call("SetupDiSetClassInstallParamsW", {P(set), data ? data->DevInst : 0u, P(params), paramsSize,
                                                params ? params->InstallFunction : 0u});
    if (call.failed()) return call.FailBool();
    auto* s = call.machine.Set(set);
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (!CheckElement(*s, data)) return FALSE;
    const DEVINST key = data ? data->DevInst : 0;
    if (!params) {
        if (paramsSize != 0) return Fail(ERROR_INVALID_PARAMETER);
        s->class_install_params.erase(key);
        return TRUE;
    }
    if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER) || paramsSize < sizeof(SP_CLASSINSTALL_HEADER))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (params->InstallFunction == DIF_PROPERTYCHANGE) {
        if (paramsSize != sizeof(SP_PROPCHANGE_PARAMS)) return Fail(ERROR_INVALID_PARAMETER);
        SP_PROPCHANGE_PARAMS p;
        std::memcpy(&p, params, sizeof p);
        if (p.StateChange < DICS_ENABLE || p.StateChange > DICS_STOP) return Fail(ERROR_INVALID_PARAMETER);
        if (p.Scope != DICS_FLAG_GLOBAL && p.Scope != DICS_FLAG_CONFIGSPECIFIC) return Fail(ERROR_INVALID_FLAGS);
        if ((p.StateChange == DICS_START || p.StateChange == DICS_STOP) && p.Scope != DICS_FLAG_CONFIGSPECIFIC)
            return Fail(ERROR_INVALID_FLAGS);
    }
    auto* bytes = reinterpret_cast<const std::uint8_t*>(params);
    s->class_install_params[key] = Bytes(bytes, bytes + paramsSize);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data)
{
    Call call("SetupDiCallClassInstaller", {function, P(set), data ? data->DevInst : 0u});
    if (call.failed()) return call.FailBool();
    // Reference: SetupDiCallClassInstaller, "a 32-bit application running on a 64-bit
    // platform" gets ERROR_IN_WOW64.
    if (call.machine.wow64) return Fail(ERROR_IN_WOW64);
    auto* s = call.machine.Set(set);
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (!CheckElement(*s, data)) return FALSE;
    if (function != DIF_PROPERTYCHANGE) return Fail(ERROR_DI_DO_DEFAULT);
    if (!data) return Fail(ERROR_INVALID_PARAMETER);
    auto it = s->class_install_params.find(data->DevInst);
    if (it == s->class_install_params.end()) it = s->class_install_params.find(0);
    if (it == s->class_install_params.end() || it->second.size() != sizeof(SP_PROPCHANGE_PARAMS))
        return Fail(ERROR_NO_CLASSINSTALL_PARAMS);
    SP_PROPCHANGE_PARAMS p;
    std::memcpy(&p, it->second.data(), sizeof p);
    if (p.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE) return Fail(ERROR_NO_CLASSINSTALL_PARAMS);
    DevNode* n = call.machine.tree.find(data->DevInst);
    if (!n || !n->present) return Fail(ERROR_NO_SUCH_DEVINST);
    Apply(call.machine, *s, *n, p);
    return TRUE;
}

extern "C" CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST devInst, ULONG flags)
{
    Call call("CM_Reenumerate_DevNode", {devInst, flags});
    if (call.failed()) return call.FailConfig();
    if (flags & ~0x7u) return CR_INVALID_FLAG;  // NORMAL, SYNCHRONOUS, RETRY_INSTALLATION, ASYNCHRONOUS
    const DevNode* n = call.machine.tree.find(devInst);
    if (!n) return CR_INVALID_DEVNODE;
    if (!n->present) return CR_NO_SUCH_DEVINST;
    call.machine.reenumerations.push_back(devInst);
    RestartRemoved(call.machine, devInst);
    ReenumerateSlots(call.machine, devInst);
    return CR_SUCCESS;
}
