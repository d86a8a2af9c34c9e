// Card names: which card sits at a place below a controller, in what state, and
// what it is called.
#include "library/card_names.h"

#include "library/px71.h"
#include "library/text.h"

namespace px71 {
namespace {

const GUID kPcmciaClass = {0x4D36E977, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kUsbClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID kScsiAdapterClass = {0x4D36E97B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

constexpr char kReaderHubPrefix[] = "USB\\VID_0409&PID_005A";
constexpr int kReaderSlotResult[] = {1, 2, 3};  // by EhciCard::Kind

// Every name export clears the name first, so that a failure leaves an empty string;
// a buffer of size 0 gets nothing at all.
void ClearName(LPWSTR name, DWORD nameSize) noexcept
{
    if (name && nameSize > 0) name[0] = 0;
}

// Writes a device node's description or friendly name into Name when its size in
// bytes, terminator included, is below NameSize (a count of characters).
void WriteNodeText(DEVINST node, ULONG property, LPWSTR name, DWORD nameSize) noexcept
{
    if (!name) return;
    ULONG size = 0;
    CM_Get_DevNode_Registry_PropertyW(node, property, nullptr, nullptr, &size, 0);
    if (size == 0 || size >= nameSize) return;
    CM_Get_DevNode_Registry_PropertyW(node, property, nullptr, name, &size, 0);
}

// A reader slot's name: the 14 characters of its identification, no terminator, and
// only when the caller's buffer holds more than 8 characters.
void WriteSlotName(const char* slotId, LPWSTR name, DWORD nameSize) noexcept
{
    if (!name || nameSize <= 8) return;
    MultiByteToWideChar(CP_ACP, 0, slotId, static_cast<int>(kSlotIdLength), name, static_cast<int>(nameSize));
}

// The CardBus and OHCI exports: the child numbered CardIndex, when it is started and
// has no problem.
int NameStartedCard(const CardController& controller, DWORD controllerIndex, DWORD cardIndex, LPWSTR name,
                    DWORD nameSize) noexcept
{
    ClearName(name, nameSize);
    int result = 0;
    WalkControllerCards(controller, controllerIndex, [&](DEVINST child, DWORD& card) {
        if (card++ != cardIndex) return CardStep::Next;
        ULONG status = 0, problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, child, 0) != CR_SUCCESS || problem != 0 ||
            !(status & DN_STARTED))
            return CardStep::Found;  // the numbered child is no card: nothing further can be
        result = 1;
        WriteNodeText(child, CM_DRP_DEVICEDESC, name, nameSize);
        return CardStep::Found;
    });
    return result;
}

} // namespace

const CardController kCardBusController = {&kPcmciaClass, "PCI\\VEN_1217&DEV_8134", false};
const CardController kEhciController = {&kUsbClass, "USB\\ROOT_HUB20&VID1217&PID02F1", false};
const CardController kOhciController = {&kUsbClass, "USB\\ROOT_HUB&VID1217&PID02EF", false};
const CardController kSataController = {&kScsiAdapterClass, "PCI\\VEN_1095&DEV_3132", true};

Match MatchController(HDEVINFO set, SP_DEVINFO_DATA& data, const CardController& controller) noexcept
{
    DWORD size = 0;
    if (SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return Match::No;
    // Two zero bytes beyond the data keep the comparison inside the block.
    HeapBlock ids(static_cast<SIZE_T>(size) + 2);
    if (!ids) return Match::OutOfMemory;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, ids.as<BYTE>(), size, nullptr))
        return Match::No;
    return PrefixEqualNoCase(ids.as<const char>(), controller.prefix, Length(controller.prefix)) ? Match::Yes
                                                                                                : Match::No;
}

Match IsReaderHub(DEVINST node) noexcept
{
    ULONG size = 0;
    CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, nullptr, nullptr, &size, 0);
    if (size == 0) return Match::No;
    HeapBlock ids(static_cast<SIZE_T>(size) + 2);
    if (!ids) return Match::OutOfMemory;
    if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, nullptr, ids.get(), &size, 0) != CR_SUCCESS)
        return Match::No;
    return PrefixEqualNoCase(ids.as<const char>(), kReaderHubPrefix, Length(kReaderHubPrefix)) ? Match::Yes
                                                                                              : Match::No;
}

CardStep WalkControllerCards(const CardController& controller, DWORD controllerIndex,
                             FunctionRef<CardStep(DEVINST, DWORD&)> onChild) noexcept
{
    UniqueDevInfo set = PresentClassDevices(*controller.setupClass);
    if (!set) return CardStep::Abort;
    DWORD controllers = 0;
    DWORD card = 0;
    CardStep outcome = CardStep::Next;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        const Match match = MatchController(set.get(), data, controller);
        if (match == Match::OutOfMemory) {
            outcome = CardStep::Abort;
            return Walk::Stop;
        }
        if (match == Match::No) return Walk::Next;
        const DWORD number = controller.pairs ? controllers / 2 : controllers;
        ++controllers;
        if (number != controllerIndex) return Walk::Next;
        for (DEVINST child = FirstChild(data.DevInst); child != 0; child = NextSibling(child)) {
            const CardStep step = onChild(child, card);
            if (step == CardStep::EndController) break;
            if (step == CardStep::Found || step == CardStep::Abort) {
                outcome = step;
                return Walk::Stop;
            }
        }
        return Walk::Next;
    });
    return outcome;
}

int WithEhciCard(DWORD controllerIndex, DWORD cardIndex, FunctionRef<int(const EhciCard&)> onCard) noexcept
{
    int result = 0;
    WalkControllerCards(kEhciController, controllerIndex, [&](DEVINST child, DWORD& card) {
        ULONG status = 0, problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, child, 0) != CR_SUCCESS) return CardStep::EndController;
        if (problem != 0 || !(status & DN_STARTED)) return CardStep::Next;
        const Match hub = IsReaderHub(child);
        if (hub == Match::OutOfMemory) return CardStep::Abort;
        if (hub == Match::No) {
            if (card++ != cardIndex) return CardStep::Next;
            result = onCard(EhciCard{EhciCard::UsbDevice, child, nullptr});
            return CardStep::Found;
        }
        const struct {
            EhciCard::Kind kind;
            const char* slotId;
        } slots[] = {{EhciCard::CfMedium, kCfSlotId}, {EhciCard::SdMedium, kSdSlotId}};
        for (const auto& slot : slots) {
            const SlotAction scan = ScanReaderSlots(slot.slotId, [&](const char* volumePath) {
                if (card++ != cardIndex) return SlotAction::Next;
                result = onCard(EhciCard{slot.kind, child, volumePath});
                return SlotAction::Stop;
            });
            if (scan == SlotAction::Stop) return CardStep::Found;
        }
        return CardStep::Next;
    });
    return result;
}

} // namespace px71

using namespace px71;

extern "C" int PX71API XU_GetCardBusCardName(DWORD ControllerIndex, DWORD CardIndex, LPWSTR Name,
                                             DWORD NameSize) noexcept
{
    return NameStartedCard(kCardBusController, ControllerIndex, CardIndex, Name, NameSize);
}

extern "C" int PX71API XU_GetOhciExpressCardName(DWORD ControllerIndex, DWORD CardIndex, LPWSTR Name,
                                                 DWORD NameSize) noexcept
{
    return NameStartedCard(kOhciController, ControllerIndex, CardIndex, Name, NameSize);
}

extern "C" int PX71API XU_GetEhciExpressCardName(DWORD ControllerIndex, DWORD CardIndex, LPWSTR Name,
                                                 DWORD NameSize) noexcept
{
    ClearName(Name, NameSize);
    return WithEhciCard(ControllerIndex, CardIndex, [&](const EhciCard& card) {
        if (card.kind == EhciCard::UsbDevice)
            WriteNodeText(card.node, CM_DRP_DEVICEDESC, Name, NameSize);
        else
            WriteSlotName(card.kind == EhciCard::CfMedium ? kCfSlotId : kSdSlotId, Name, NameSize);
        return kReaderSlotResult[card.kind];
    });
}

extern "C" int PX71API XU_Get3132CardName(DWORD ControllerIndex, DWORD CardIndex, LPWSTR Name,
                                          DWORD NameSize) noexcept
{
    ClearName(Name, NameSize);
    int result = 0;
    WalkControllerCards(kSataController, ControllerIndex, [&](DEVINST child, DWORD& card) {
        if (card++ != CardIndex) return CardStep::Next;
        WriteNodeText(child, CM_DRP_FRIENDLYNAME, Name, NameSize);
        ULONG status = 0, problem = 0;
        const bool started =
            CM_Get_DevNode_Status(&status, &problem, child, 0) == CR_SUCCESS && (status & DN_STARTED) != 0;
        result = started ? 2 : 1;
        return CardStep::Found;
    });
    return result;
}
