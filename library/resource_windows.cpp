// The root-port filter driver's settings, stored as REG_DWORD values in its service key.
#include "library/px71.h"
#include "platform/win32.h"

#include <cstddef>

namespace px71 {
namespace {

const WCHAR kServiceKey[] = W16("SYSTEM\\CurrentControlSet\\Services\\PX711");

// One value to store: its name and the export's parameter (0-based) that fills it.
struct Setting {
    const WCHAR* name;
    std::size_t parameter;
};

// Each table is in its export's write order, which for XU_SetSize_Pro2 is not the
// parameter order.
const Setting kSetSize[] = {
    {W16("DefLen"), 0},
    {W16("StartAdrs"), 1},
    {W16("EndAdrs"), 2},
};

const Setting kSetSizePro[] = {
    {W16("Oz888Len"), 0}, {W16("SxsLen"), 1},    {W16("A3132Len"), 2}, {W16("B3132Len"), 3},
    {W16("USBLen"), 4},   {W16("StartAdrs"), 5}, {W16("EndAdrs"), 6},
};

const Setting kSetSizePro2[] = {
    {W16("PortLen"), 0}, {W16("Oz888Len"), 1},    {W16("SxsLen"), 2},  {W16("A3132Len"), 3},  {W16("B3132Len"), 4},
    {W16("USBLen"), 5},  {W16("PayloadSize"), 8}, {W16("SataSSC"), 9}, {W16("StartAdrs"), 6}, {W16("EndAdrs"), 7},
};

// Parameters 1, 7 and 8 (port length and the address range) have no stored default.
const Setting kSetSizePro2Def[] = {
    {W16("Oz888LenDef"), 1}, {W16("SxsLenDef"), 2}, {W16("A3132LenDef"), 3},
    {W16("B3132LenDef"), 4}, {W16("USBLenDef"), 5},
};

// Opens the key (never creates it) and writes the table's values in order, stopping at
// the first refused write. 1 when every value was written.
template <std::size_t Count, std::size_t Parameters>
int StoreSettings(const Setting (&table)[Count], const DWORD (&parameters)[Parameters]) noexcept
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS) return 0;
    UniqueRegKey key(opened);
    for (const Setting& setting : table) {
        const DWORD& value = parameters[setting.parameter];
        if (RegSetValueExW(key.get(), setting.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof value) != ERROR_SUCCESS)
            return 0;
    }
    return 1;
}

} // namespace
} // namespace px71

extern "C" int PX71API XU_SetSize(DWORD DefLen, DWORD StartAdrs, DWORD EndAdrs) noexcept
{
    const DWORD parameters[] = {DefLen, StartAdrs, EndAdrs};
    return px71::StoreSettings(px71::kSetSize, parameters);
}

extern "C" int PX71API XU_SetSize_Pro(DWORD Oz888Len, DWORD SxsLen, DWORD A3132Len, DWORD B3132Len, DWORD USBLen,
                                      DWORD StartAdrs, DWORD EndAdrs) noexcept
{
    const DWORD parameters[] = {Oz888Len, SxsLen, A3132Len, B3132Len, USBLen, StartAdrs, EndAdrs};
    return px71::StoreSettings(px71::kSetSizePro, parameters);
}

extern "C" int PX71API XU_SetSize_Pro2(DWORD PortLen, DWORD Oz888Len, DWORD SxsLen, DWORD A3132Len, DWORD B3132Len,
                                       DWORD USBLen, DWORD StartAdrs, DWORD EndAdrs, DWORD PayloadSize,
                                       DWORD SataSSC) noexcept
{
    const DWORD parameters[] = {PortLen, Oz888Len, SxsLen,    A3132Len,    B3132Len,
                                USBLen,  StartAdrs, EndAdrs, PayloadSize, SataSSC};
    return px71::StoreSettings(px71::kSetSizePro2, parameters);
}

extern "C" int PX71API XU_SetSize_Pro2_DEF(DWORD PortLen, DWORD Oz888Len, DWORD SxsLen, DWORD A3132Len,
                                           DWORD B3132Len, DWORD USBLen, DWORD StartAdrs, DWORD EndAdrs) noexcept
{
    const DWORD parameters[] = {PortLen, Oz888Len, SxsLen, A3132Len, B3132Len, USBLen, StartAdrs, EndAdrs};
    return px71::StoreSettings(px71::kSetSizePro2Def, parameters);
}
