#include "service/slot_watch.h"

#include "library/px71.h"
#include "library/text.h"
#include "platform/handles.h"
#include "service/command_dispatch.h"

#include <cstdint>
#include <cstring>

namespace px71service {
namespace {

const WCHAR kSlotBridgeId[] = W16("PCI\\VEN_1217&DEV_02E3");
constexpr BYTE kLinkControl = 0x50;
constexpr BYTE kSlotStatus = 0x58;
constexpr DWORD kLinkDisable = 0x00000010;
constexpr DWORD kPresenceDetect = 0x00400000;
constexpr DWORD kNothingAnswers = 0xFFFFFFFF;  // what a vanished function reads
constexpr DWORD kLongestRefindWait = 60;        // ticks

// 1 on, 0 off, 0xFF when the link's register cannot be read.
BYTE LinkState(BYTE bus) noexcept
{
    DWORD link = 0;
    if (!XU_ReadPCI(bus, kLinkControl, &link) || link == kNothingAnswers) return 0xFF;
    return (link & kLinkDisable) ? 0 : 1;
}

// One line in PX71.LOG beside the service: "<what> on bus N: <rest>".
class LogLine {
public:
    LogLine(const WCHAR* what, BYTE bus) noexcept
    {
        text_.Append(W16("\r\n")).Append(what).Append(W16(" on bus ")).Decimal(bus, 1).Append(W16(": "));
    }
    px71::FixedText<WCHAR>& text() noexcept { return text_; }
    ~LogLine() { WriteLogFile(line_); }
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

private:
    WCHAR line_[200];
    px71::FixedText<WCHAR> text_{line_, sizeof line_ / sizeof line_[0]};
};

// The device description of the card's node below the slot bridge, terminated; false
// when the tree holds no card there.
bool CardDescription(BYTE bus, WCHAR (&description)[64], DWORD* status = nullptr, DWORD* problem = nullptr) noexcept
{
    std::memset(description, 0, sizeof description);
    return XU_GetCardInfo(bus, description, sizeof description - sizeof(WCHAR), status, problem) == 1;
}

// The hexadecimal number of `digits` digits after `key` in the first of the node's
// strings that holds it; false when none does.
bool HexAfterKey(DEVINST node, DWORD property, const WCHAR* key, int digits, std::uint32_t& value) noexcept
{
    WCHAR ids[512] = {};  // several IDs of about 60 characters each, and the final NUL
    if (!GetDevNodeRegistryProperty(node, property, nullptr, reinterpret_cast<BYTE*>(ids), sizeof ids - sizeof(WCHAR)))
        return false;
    const std::size_t keyLength = px71::Length(key);
    // Every string of the list, up to the NUL that ends the last (the buffer ends in zeros).
    for (const WCHAR* at = ids; at + 1 < ids + sizeof ids / sizeof ids[0] && (at[0] || at[1]); ++at) {
        if (!px71::PrefixEqualNoCase(at, key, keyLength)) continue;
        std::uint32_t number = 0;
        int i = 0;
        for (const WCHAR* d = at + keyLength; i < digits; ++i, ++d) {
            const WCHAR c = px71::FoldCase(*d);
            const int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (nibble < 0) break;
            number = number << 4 | static_cast<std::uint32_t>(nibble);
        }
        if (i == digits) {
            value = number;
            return true;
        }
    }
    return false;
}

} // namespace

DWORD FindSlots(BYTE (&buses)[kMaxSlots], DEVINST* bridges) noexcept
{
    DWORD count = 0;
    px71::UniqueDevInfo set(SetupDiGetClassDevsW(nullptr, W16("PCI"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set) return 0;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD member = 0; count < kMaxSlots && SetupDiEnumDeviceInfo(set.get(), member, &data); ++member) {
        DWORD bus = 0;
        if (!GetDeviceRegistryProperty(set.get(), &data, SPDRP_HARDWAREID, kSlotBridgeId, nullptr, 0) ||
            !GetDeviceRegistryProperty(set.get(), &data, SPDRP_BUSNUMBER, nullptr, reinterpret_cast<BYTE*>(&bus),
                                       sizeof bus) ||
            bus > 0xFF)
            continue;
        bool known = false;
        for (DWORD i = 0; i < count; ++i) known |= buses[i] == bus;
        int present = 0;
        if (known || XU_GetStatus(bus, &present) != 1) continue;
        if (bridges) bridges[count] = data.DevInst;
        buses[count++] = static_cast<BYTE>(bus);
    }
    return count;
}

void DescribeSlot(PipeRequest& r) noexcept
{
    BYTE buses[kMaxSlots];
    DEVINST bridges[kMaxSlots];
    const DWORD count = FindSlots(buses, bridges);
    r.Result = static_cast<std::int32_t>(count);
    std::memset(r.SetStatusArgs, 0, sizeof r.SetStatusArgs);
    std::memset(r.CardName, 0, sizeof r.CardName);
    r.StartAdrs = r.EndAdrs = r.CardIndex = r.CardNameSize = 0;
    if (r.ControllerIndex >= count) return;
    const BYTE bus = buses[r.ControllerIndex];
    int present = 0;
    XU_GetStatus(bus, &present);
    DWORD status = 0, problem = 0;
    // The field keeps its last unit for the terminator.
    const int card = XU_GetCardInfo(bus, reinterpret_cast<WCHAR*>(r.CardName), sizeof r.CardName - sizeof(WCHAR),
                                    &status, &problem);
    r.SetStatusArgs[0] = bus;
    r.SetStatusArgs[1] = present == 1 ? 1 : 0;
    r.SetStatusArgs[2] = LinkState(bus);
    r.SetStatusArgs[3] = card == 1 ? 1 : 0;
    r.StartAdrs = status;
    r.EndAdrs = problem;
    // What kind of card it is, for a client that says which setting it needs.
    DEVINST node = 0;
    if (card != 1 || CM_Get_Child(&node, bridges[r.ControllerIndex], 0) != CR_SUCCESS) return;
    std::uint32_t vendor = 0, device = 0, classCode = 0;
    if (HexAfterKey(node, CM_DRP_HARDWAREID, W16("PCI\\VEN_"), 4, vendor) &&
        HexAfterKey(node, CM_DRP_HARDWAREID, W16("&DEV_"), 4, device))
        r.CardIndex = vendor << 16 | device;
    if (HexAfterKey(node, CM_DRP_COMPATIBLEIDS, W16("PCI\\CC_"), 6, classCode)) r.CardNameSize = classCode;
}

bool WatchSlotWanted() noexcept
{
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return true;
    px71::UniqueRegKey key(raw);
    DWORD type = 0, value = 1, size = sizeof value;
    if (RegQueryValueExW(key.get(), kWatchSlotValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return true;
    return value != 0;
}

bool SlotWatch::Start() noexcept
{
    Find();
    return count_ > 0;
}

void SlotWatch::Find() noexcept
{
    BYTE buses[kMaxSlots];
    const DWORD count = FindSlots(buses);
    Slot found[kMaxSlots];
    bool fresh[kMaxSlots] = {};
    for (DWORD i = 0; i < count; ++i) {
        Slot& s = found[i];
        s.bus = buses[i];
        bool known = false;
        for (DWORD j = 0; j < count_ && !known; ++j)
            if (slots_[j].bus == s.bus) s = slots_[j], known = true;
        if (known) continue;
        int present = 0;
        XU_GetStatus(s.bus, &present);
        s.present = present == 1;
        s.stopped = s.present && LinkState(s.bus) == 0;
        fresh[i] = true;
    }
    count_ = count;
    for (DWORD i = 0; i < count; ++i) slots_[i] = found[i];
    // A slot found anew (at the start, or after its reads failed) may have changed while
    // nothing watched it: a card put in whose devices Windows never saw comes in now, a
    // card pulled whose devices Windows still holds goes; one that sits there with its
    // link off was stopped, and stays so.
    for (DWORD i = 0; i < count_; ++i) {
        Slot& s = slots_[i];
        WCHAR description[64];
        if (!fresh[i] || s.stopped || s.present == CardDescription(s.bus, description)) continue;
        if (s.present)
            CardIn(s);
        else
            CardOut(s);
    }
}

void SlotWatch::Tick() noexcept
{
    bool failed = false;
    if (refind_in_ > 0 && --refind_in_ == 0) {
        Find();
        failed = count_ == 0;
    }
    for (DWORD i = 0; i < count_; ++i) {
        Slot& s = slots_[i];
        DWORD value = 0;
        if (!XU_ReadPCI(s.bus, kSlotStatus, &value) || value == kNothingAnswers) {
            failed = true;  // the driver busy or gone, or the bridge moved: no change at all
            continue;
        }
        const bool present = (value & kPresenceDetect) != 0;
        if (present == s.present) {
            s.changing = false;
        } else if (!s.changing) {
            s.changing = true;  // counts only if it still holds at the next tick
        } else {
            s.changing = false;
            s.present = present;
            if (present)
                CardIn(s);
            else
                CardOut(s);
        }
    }
    if (!failed) {
        refind_wait_ = 1;
    } else if (refind_in_ == 0) {
        refind_in_ = refind_wait_;
        refind_wait_ = refind_wait_ * 2 < kLongestRefindWait ? refind_wait_ * 2 : kLongestRefindWait;
    }
}

void SlotWatch::CardIn(Slot& s) noexcept
{
    s.stopped = false;
    XU_SetStatus(s.bus, 0, 1, 0);  // the link on, and the bus enumerated
    WCHAR description[64];
    DWORD status = 0, problem = 0;
    LogLine line(W16("ExpressCard put in"), s.bus);
    if (!CardDescription(s.bus, description, &status, &problem)) {
        line.text().Append(W16("no device appeared behind the slot"));
        return;
    }
    line.text()
        .Append(description)
        .Append(W16(" (status "))
        .Hex(status, 1)
        .Append(W16(", problem "))
        .Decimal(problem, 1)
        .Append(W16(")"));
}

void SlotWatch::CardOut(Slot& s) noexcept
{
    const bool stopped = s.stopped;
    s.stopped = false;
    WCHAR description[64];
    if (!CardDescription(s.bus, description)) return;  // let go before it was pulled
    // Windows still holds the card's devices: enumerating the bus lets them go.
    XU_SetStatus(s.bus, 0, 1, 0);
    if (stopped) return;
    LogLine line(W16("ExpressCard pulled without being stopped"), s.bus);
    line.text().Append(description).Append(W16("; data being written to it may be lost"));
}

void SlotWatch::AfterCommand(const PipeRequest& r) noexcept
{
    if (r.Command == PX71_CMD_RESET_PCI_BRIDGE) {
        refind_in_ = 1;  // the restart may have moved the slots
        return;
    }
    if (r.Command != PX71_CMD_SET_STATUS || r.Result != 1) return;
    for (DWORD i = 0; i < count_; ++i)
        if (slots_[i].bus == r.SetStatusArgs[0]) slots_[i].stopped = r.SetStatusArgs[2] == 0;
}

} // namespace px71service
