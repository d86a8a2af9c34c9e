// Card removal: letting a card go so that it can be pulled, picked by the same two
// numbers as its name. A removal reports 1 only when the card was really let go.
#include "library/card_names.h"

#include "library/px71.h"

namespace px71 {
namespace {

int RequestEject(DEVINST node) noexcept
{
    // With buffers for the veto, the system does not show it to the user itself (from
    // the service nobody would see it), and an eject counts as done only when it
    // succeeded and nobody vetoed it.
    PNP_VETO_TYPE vetoType = PNP_VetoTypeUnknown;
    WCHAR vetoName[MAX_PATH] = {};
    const CONFIGRET cr = CM_Request_Device_EjectW(node, &vetoType, vetoName, MAX_PATH, 0);
    return cr == CR_SUCCESS && vetoType == PNP_VetoTypeUnknown && vetoName[0] == 0 ? 1 : 0;
}

// A reader medium: lock its volume, eject the medium, unlock. The eject is not sent
// while another program holds files open on the volume (the lock fails).
int EjectMedium(const char* volumePath) noexcept
{
    UniqueFile volume(CreateFileA(volumePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume) return 0;
    DWORD returned = 0;
    if (!DeviceIoControl(volume.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) return 0;
    const BOOL ejected =
        DeviceIoControl(volume.get(), IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0, &returned, nullptr);
    DeviceIoControl(volume.get(), FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    return ejected ? 1 : 0;
}

// The CardBus and OHCI exports: eject the child numbered CardIndex.
int EjectCard(const CardController& controller, DWORD controllerIndex, DWORD cardIndex) noexcept
{
    int result = 0;
    WalkControllerCards(controller, controllerIndex, [&](DEVINST child, DWORD& card) {
        if (card++ != cardIndex) return CardStep::Next;
        result = RequestEject(child);
        return CardStep::Found;
    });
    return result;
}

// Removes the present device whose node is Node through SetupAPI: 1 only when it is
// gone now. A device that cannot be stopped now (a volume on the disk in use) is
// removed only at the next restart: the call succeeds all the same, and only the
// element's install parameters tell (DI_NEEDREBOOT, DI_NEEDRESTART). The disk is still
// mounted then, and pulling it would lose data. Parameters that cannot be read leave
// that unknown, which is not "gone" either.
int RemoveDevice(DEVINST node) noexcept
{
    UniqueDevInfo set = AllPresentDevices();
    if (!set) return 0;
    int result = 0;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (data.DevInst != node) return Walk::Next;
        if (!SetupDiRemoveDevice(set.get(), &data)) return Walk::Stop;
        SP_DEVINSTALL_PARAMS_W params{};
        params.cbSize = sizeof params;
        if (SetupDiGetDeviceInstallParamsW(set.get(), &data, &params) &&
            (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) == 0)
            result = 1;
        return Walk::Stop;
    });
    return result;
}

} // namespace
} // namespace px71

using namespace px71;

extern "C" int PX71API XU_StopCardBusCard(DWORD ControllerIndex, DWORD CardIndex) noexcept
{
    return EjectCard(kCardBusController, ControllerIndex, CardIndex);
}

extern "C" int PX71API XU_StopOhciExpressCard(DWORD ControllerIndex, DWORD CardIndex) noexcept
{
    return EjectCard(kOhciController, ControllerIndex, CardIndex);
}

extern "C" int PX71API XU_StopEhciExpressCard(DWORD ControllerIndex, DWORD CardIndex) noexcept
{
    return WithEhciCard(ControllerIndex, CardIndex, [](const EhciCard& card) {
        return card.kind == EhciCard::UsbDevice ? RequestEject(card.node) : EjectMedium(card.volumePath);
    });
}

extern "C" int PX71API XU_Stop3132Card(DWORD ControllerIndex, DWORD CardIndex) noexcept
{
    DEVINST disk = 0;
    const CardStep found = WalkControllerCards(kSataController, ControllerIndex, [&](DEVINST child, DWORD& card) {
        if (card++ != CardIndex) return CardStep::Next;
        ULONG status = 0, problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, child, 0) == CR_SUCCESS && (status & DN_STARTED)) disk = child;
        return CardStep::Found;
    });
    // The class set is gone by now; the removal works on the set of all present devices.
    if (found != CardStep::Found || disk == 0) return 0;
    return RemoveDevice(disk);
}
