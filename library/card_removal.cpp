// Card removal: letting a card go so that it can be pulled, picked by the same two
// numbers as its name. A removal reports 1 only when the card was really let go.
#include "library/card_names.h"

#include "library/px71.h"
#include "library/text.h"

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
    if (cr == CR_SUCCESS && vetoType == PNP_VetoTypeUnknown && vetoName[0] == 0) return 1;
    if (vetoType != PNP_VetoTypeUnknown || vetoName[0] != 0) LogVeto(W16("Eject vetoed"), vetoType, vetoName);
    return 0;
}

// A fresh medium is often held for a moment by whoever looks at it first (an indexer,
// a virus scanner, a thumbnail reader): the lock is tried again for this long.
constexpr ULONGLONG kLockRetryMs = 2000;
constexpr DWORD kLockRetryPauseMs = 100;

bool Control(HANDLE volume, DWORD code, const void* in = nullptr, DWORD inSize = 0) noexcept
{
    DWORD returned = 0;
    return DeviceIoControl(volume, code, const_cast<void*>(in), inSize, nullptr, 0, &returned, nullptr) != FALSE;
}

bool LockWithin(HANDLE volume, ULONGLONG milliseconds) noexcept
{
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        if (Control(volume, FSCTL_LOCK_VOLUME)) return true;
        if (GetLastError() != ERROR_ACCESS_DENIED || GetTickCount64() >= deadline) return false;
        Sleep(kLockRetryPauseMs);
    }
}

// A reader medium, in the platform's documented order: lock its volume, dismount it,
// allow the removal, eject, unlock. The eject is not sent while another program holds
// files open on the volume (the lock fails once the retries are over).
//
// Once the volume was locked and dismounted and its removal allowed, the medium can be
// taken out safely (knowledge base Q165721): a reader without an eject mechanism, which
// refuses the eject as a request it does not know, answers 1 all the same; the user
// pulls the card. Any other failure answers 0, and the volume, unlocked again, mounts
// anew on its next use.
int EjectMedium(const char* volumePath) noexcept
{
    UniqueFile volume(CreateFileA(volumePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume) return 0;
    if (!LockWithin(volume.get(), kLockRetryMs)) return 0;
    PREVENT_MEDIA_REMOVAL allow{};
    allow.PreventMediaRemoval = FALSE;
    const bool released = Control(volume.get(), FSCTL_DISMOUNT_VOLUME) &&
                          Control(volume.get(), IOCTL_STORAGE_MEDIA_REMOVAL, &allow, sizeof allow);
    bool out = released && Control(volume.get(), IOCTL_STORAGE_EJECT_MEDIA);
    if (released && !out) {
        const DWORD error = GetLastError();
        out = error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
    }
    Control(volume.get(), FSCTL_UNLOCK_VOLUME);
    return out ? 1 : 0;
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
// Why a disk stayed, where a user can look it up: one line in PX71.LOG with its name.
void LogRemovalKept(const WCHAR* name) noexcept
{
    WCHAR line[MAX_PATH + 80];
    FixedText<WCHAR> text(line, sizeof line / sizeof line[0]);
    text.Append(W16("\r\nRemoval kept for a restart (a volume on the disk is in use): ")).Append(name);
    WriteLogFile(line);
}

int RemoveDevice(DEVINST node) noexcept
{
    UniqueDevInfo set = AllPresentDevices();
    if (!set) return 0;
    int result = 0;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (data.DevInst != node) return Walk::Next;
        // Named before the removal: it deletes the device's registry keys that hold the
        // name, even when the device itself stays until the restart (reference:
        // SetupDiRemoveDevice).
        WCHAR name[MAX_PATH];
        DeviceName(set.get(), data, name);
        if (!SetupDiRemoveDevice(set.get(), &data)) return Walk::Stop;
        SP_DEVINSTALL_PARAMS_W params{};
        params.cbSize = sizeof params;
        if (SetupDiGetDeviceInstallParamsW(set.get(), &data, &params) &&
            (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) == 0)
            result = 1;
        else
            LogRemovalKept(name);
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
