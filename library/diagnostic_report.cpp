// XU_WriteLog: the diagnostic report, one log record per section.
#include "library/config_space.h"
#include "library/device_tree.h"
#include "library/px71.h"
#include "library/text.h"

namespace px71 {
namespace {

constexpr std::size_t kTextUnits = 260;  // every text of the report, in UTF-16 code units
constexpr DWORD kUnread = 0xFFFFFFFF;    // a register that could not be read, as PCI shows no device

using Text = FixedText<WCHAR>;

// One section, written as one record; false when it did not reach the log.
bool Write(const Text& section) noexcept { return WriteLogFile(section.text()) != 0; }

DWORD ReadRegister(DWORD bus, BYTE reg) noexcept
{
    DWORD value = kUnread;
    if (!ReadConfigRegister(LOBYTE(bus), reg, &value)) value = kUnread;
    return value;
}

struct NodeStatus {
    ULONG status = 0;
    ULONG problem = 0;
};

NodeStatus StatusOf(DEVINST node) noexcept
{
    NodeStatus out;
    // Unread, it prints as unread registers do: zeros would read as "started, no problem".
    if (CM_Get_DevNode_Status(&out.status, &out.problem, node, 0) != CR_SUCCESS) out = NodeStatus{kUnread, kUnread};
    return out;
}

// 1. "\r\n\r\n<title>\r\n<date> <time>"
bool WriteHeading(LPCSTR title) noexcept
{
    WCHAR wideTitle[kTextUnits] = {};
    if (title && title[0] != 0) {
        // Only what can reach the record matters; a longer title is cut first.
        int bytes = 0;
        while (bytes < static_cast<int>(kTextUnits) - 1 && title[bytes] != 0) ++bytes;
        const int units = MultiByteToWideChar(CP_ACP, 0, title, bytes, wideTitle, kTextUnits - 1);
        wideTitle[units > 0 ? units : 0] = 0;
    }
    SYSTEMTIME now{};
    GetLocalTime(&now);
    WCHAR buffer[kTextUnits];
    Text text(buffer, kTextUnits);
    text.Append(W16("\r\n\r\n")).Append(wideTitle).Append(W16("\r\n"));
    AppendDateTime(text, now);
    return Write(text);
}

// A settings value read as a 4-byte number whatever its type; a shorter value
// leaves the rest of the number zero.
bool ReadSetting(HKEY key, LPCWSTR name, DWORD& value) noexcept
{
    value = 0;
    DWORD size = sizeof value;
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS;
}

void AppendSetting(Text& text, LPCWSTR name, DWORD value) noexcept
{
    text.Append(W16("\r\n")).Append(name).Put(':').Hex(value, 8);
}

// 2. The filter driver's settings, when its key holds "Oz888Len".
bool WriteRegistrySection() noexcept
{
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W16("SYSTEM\\CurrentControlSet\\Services\\PX711"), 0, KEY_READ, &raw) !=
        ERROR_SUCCESS)
        return true;
    const UniqueRegKey key(raw);
    DWORD value = 0;
    if (!ReadSetting(key.get(), W16("Oz888Len"), value)) return true;

    WCHAR buffer[kTextUnits];
    Text text(buffer, kTextUnits);
    text.Append(W16("\r\nRegistry"));
    AppendSetting(text, W16("Oz888Len"), value);
    static const WCHAR* const kNames[] = {W16("SxsLen"),  W16("A3132Len"),  W16("B3132Len"), W16("USBLen"),
                                          W16("PortLen"), W16("StartAdrs"), W16("EndAdrs")};
    for (const WCHAR* name : kNames)
        if (ReadSetting(key.get(), name, value)) AppendSetting(text, name, value);
    for (unsigned i = 1; i <= 2; ++i) {
        for (bool length : {false, true}) {
            WCHAR nameBuffer[16];
            Text name(nameBuffer, 16);
            name.Append(W16("Memory")).Decimal(i, 0).Append(length ? W16("Len") : W16(""));
            if (ReadSetting(key.get(), name.text(), value)) AppendSetting(text, name.text(), value);
        }
    }
    return Write(text);
}

// A string property read into a 520-byte buffer, kept terminated however long it is.
struct PropertyText {
    WCHAR text[kTextUnits] = {};
    BYTE* bytes() noexcept { return reinterpret_cast<BYTE*>(text); }
    static constexpr DWORD kBytes = (kTextUnits - 1) * sizeof(WCHAR);
};

// 3. One record per present PCI device with a "PX71" upper filter.
bool WriteFilteredDevices() noexcept
{
    const UniqueDevInfo set = PresentPciDevices();
    if (!set) return true;
    bool all = true;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& device) {
        if (!GetDeviceRegistryProperty(set.get(), &device, SPDRP_UPPERFILTERS, W16("PX71"), nullptr, 0))
            return Walk::Next;
        PropertyText ids;
        GetDeviceRegistryProperty(set.get(), &device, SPDRP_HARDWAREID, nullptr, ids.bytes(), PropertyText::kBytes);
        const NodeStatus node = StatusOf(device.DevInst);
        WCHAR buffer[kTextUnits];
        Text text(buffer, kTextUnits);
        text.Append(W16("\r\nPX71\r\nHardwareID:")).Append(ids.text);
        text.Append(W16("\r\nstatus:")).Hex(node.status, 8).Append(W16("\r\nproblem:")).Hex(node.problem, 8);
        all = Write(text) && all;
        return Walk::Next;
    });
    return all;
}

// The card behind an adapter bridge, when there is one.
bool WriteCard(DEVINST bridge) noexcept
{
    const DEVINST card = FirstChild(bridge);
    if (card == 0) return true;
    DWORD bus = 0;
    GetDevNodeRegistryProperty(card, CM_DRP_BUSNUMBER, nullptr, reinterpret_cast<BYTE*>(&bus), sizeof bus);
    const DWORD id = ReadRegister(bus, 0x00);
    const NodeStatus node = StatusOf(card);
    PropertyText description;
    GetDevNodeRegistryProperty(card, CM_DRP_DEVICEDESC, nullptr, description.bytes(), PropertyText::kBytes);

    WCHAR buffer[kTextUnits];
    Text text(buffer, kTextUnits);
    text.Append(W16("\r\nExpressCard\r\nBus:")).Hex(bus, 2, true).Append(W16("\r\nHardwareID:")).Hex(id, 8);
    text.Append(W16("\r\nstatus:")).Hex(node.status, 8).Append(W16("\r\nproblem:")).Hex(node.problem, 8);
    text.Append(W16("\r\nDeviceDesc:")).Append(description.text);
    return Write(text);
}

// 4. Every adapter bridge function: its registers, then its card.
bool WriteAdapterBridges() noexcept
{
    const UniqueDevInfo set = PresentPciDevices();
    if (!set) return true;
    bool all = true;
    ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& device) {
        if (!GetDeviceRegistryProperty(set.get(), &device, SPDRP_HARDWAREID, W16("PCI\\VEN_1217&DEV_02E3"), nullptr,
                                       0))
            return Walk::Next;
        DWORD bus = 0;
        GetDeviceRegistryProperty(set.get(), &device, SPDRP_BUSNUMBER, nullptr, reinterpret_cast<BYTE*>(&bus),
                                  sizeof bus);
        // Read in this order, printed in another.
        const DWORD id = ReadRegister(bus, 0x00);
        const DWORD subsystem = ReadRegister(bus, 0x94);
        const DWORD slot = ReadRegister(bus, 0x58);
        const DWORD link = ReadRegister(bus, 0x50);
        const DWORD memory = ReadRegister(bus, 0x20);
        const NodeStatus node = StatusOf(device.DevInst);

        WCHAR buffer[kTextUnits];
        Text text(buffer, kTextUnits);
        text.Append(W16("\r\nBus:")).Hex(bus, 2, true).Append(W16("\r\nHardwareID:")).Hex(id, 8);
        text.Append(W16("\r\nSUBSYSID:")).Hex(subsystem, 8).Append(W16("\r\nMemoryBase:")).Hex(memory, 8);
        text.Append(W16("\r\nSlotStatus:")).Hex(slot, 8).Append(W16("\r\nLinkStatus:")).Hex(link, 8);
        text.Append(W16("\r\nstatus:")).Hex(node.status, 8).Append(W16("\r\nproblem:")).Hex(node.problem, 8);
        all = Write(text) && all;
        all = WriteCard(device.DevInst) && all;
        return Walk::Next;
    });
    return all;
}

} // namespace
} // namespace px71

extern "C" int PX71API XU_WriteLog(LPCSTR Title) noexcept
{
    bool all = px71::WriteHeading(Title);
    all = px71::WriteRegistrySection() && all;
    all = px71::WriteFilteredDevices() && all;
    all = px71::WriteAdapterBridges() && all;
    return all ? 1 : 0;
}
