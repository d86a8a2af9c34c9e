// Loads the real PX71.dll, resolves every export by its plain name and calls what
// can run on a machine without the adapter.
#include "library/px71.h"
#include "platform/win32.h"
#include "tests/conformance/check.h"

#include <cstring>
#include <vector>

namespace {

HMODULE Library()
{
    static HMODULE module = LoadLibraryW(W16("PX71.dll"));
    return module;
}

template <typename Function>
Function* Export(const char* name)
{
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(Library(), name)));
}

// Every name in px71.def.
const char* const kExports[] = {PX71_EXPORT_NAMES};

} // namespace

CONFORMANCE_CASE(ExportsResolveByPlainName)
{
    CHECK(Library() != nullptr);
    for (const char* name : kExports) {
        if (!GetProcAddress(Library(), name)) conformance::Fail(__FILE__, __LINE__, std::string("missing ") + name);
    }
    CHECK(GetProcAddress(Library(), "_XU_ReadPCI@12") == nullptr);
    CHECK(GetProcAddress(Library(), "XU_ReadPCI@12") == nullptr);
}

CONFORMANCE_CASE(ConfigSpaceWithoutTheDumpDriver)
{
    auto read = Export<decltype(XU_ReadPCI)>("XU_ReadPCI");
    auto write = Export<decltype(XU_WritePCI)>("XU_WritePCI");
    CHECK(read && write);
    if (!read || !write) return;
    DWORD value = 0x12345678;
    CHECK_EQ(read(6, 0x00, &value), 0);
    CHECK_EQ(value, 0x12345678u);
    CHECK_EQ(write(6, 0x50, 0x10), 0);
}

CONFORMANCE_CASE(NodeReaderOnANodeThatDoesNotExist)
{
    auto reader = Export<decltype(GetDevNodeRegistryProperty)>("GetDevNodeRegistryProperty");
    CHECK(reader != nullptr);
    if (!reader) return;
    BYTE buffer[16];
    std::memset(buffer, 0x55, sizeof buffer);
    CHECK_EQ(reader(0x7FFFFFF0, CM_DRP_DEVICEDESC, nullptr, buffer, sizeof buffer), 0);
    for (BYTE b : buffer) CHECK_EQ(b, 0);
}

// Wine shows none of the adapter's controllers: every card export finds nothing, and
// a name export clears only the first character of the caller's buffer.
CONFORMANCE_CASE(CardExportsFindNoController)
{
    using NameFunction = decltype(XU_GetCardBusCardName);
    using StopFunction = decltype(XU_StopCardBusCard);
    const char* const names[] = {"XU_GetCardBusCardName", "XU_GetEhciExpressCardName", "XU_GetOhciExpressCardName",
                                 "XU_Get3132CardName"};
    const char* const stops[] = {"XU_StopCardBusCard", "XU_StopEhciExpressCard", "XU_StopOhciExpressCard",
                                 "XU_Stop3132Card"};
    for (const char* name : names) {
        auto function = Export<NameFunction>(name);
        CHECK(function != nullptr);
        if (!function) continue;
        WCHAR buffer[64];
        for (auto& c : buffer) c = 0x2A2A;
        CHECK_EQ(function(0, 0, buffer, 64), 0);
        CHECK_EQ(static_cast<int>(buffer[0]), 0);
        CHECK_EQ(static_cast<int>(buffer[1]), 0x2A2A);
        CHECK_EQ(static_cast<int>(buffer[63]), 0x2A2A);
        CHECK_EQ(function(0, 0, nullptr, 64), 0);
    }
    for (const char* name : stops) {
        auto function = Export<StopFunction>(name);
        CHECK(function != nullptr);
        if (function) CHECK_EQ(function(0, 0), 0);
    }
}

// Whatever devices Wine shows, the readers agree with SetupAPI and the configuration
// manager read directly.
CONFORMANCE_CASE(ReadersAgreeWithTheDeviceTree)
{
    auto by_element = Export<decltype(GetDeviceRegistryProperty)>("GetDeviceRegistryProperty");
    auto by_node = Export<decltype(GetDevNodeRegistryProperty)>("GetDevNodeRegistryProperty");
    CHECK(by_element && by_node);
    if (!by_element || !by_node) return;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    CHECK(set != INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; i < 64 && SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size);
        std::vector<BYTE> direct(size + 2);
        const bool has = size > 0 && SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr,
                                                                       direct.data(), size, nullptr);
        std::vector<BYTE> copy(size + 2, 0xEE);
        CHECK_EQ(by_element(set, &data, SPDRP_HARDWAREID, nullptr, copy.data(), size), has ? 1 : 0);
        if (has) {
            CHECK(std::memcmp(copy.data(), direct.data(), size) == 0);
            // The first hardware ID's first five characters, in small letters, match.
            WCHAR prefix[6] = {};
            for (int k = 0; k < 5; ++k) {
                WCHAR c = reinterpret_cast<const WCHAR*>(direct.data())[k];
                prefix[k] = (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + 32) : c;
            }
            CHECK_EQ(by_element(set, &data, SPDRP_HARDWAREID, prefix, nullptr, 0), 1);
        }

        ULONG length = 0;
        CM_Get_DevNode_Registry_PropertyW(data.DevInst, CM_DRP_HARDWAREID, nullptr, nullptr, &length, 0);
        std::vector<BYTE> node(length + 2);
        ULONG read = length;
        const bool node_has =
            length > 0 && CM_Get_DevNode_Registry_PropertyW(data.DevInst, CM_DRP_HARDWAREID, nullptr, node.data(),
                                                            &read, 0) == CR_SUCCESS;
        CHECK_EQ(by_node(data.DevInst, CM_DRP_HARDWAREID, nullptr, nullptr, 0), node_has ? 1 : 0);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// No adapter and no dump driver under Wine: the slot, bridge and device exports find
// nothing and say so.
CONFORMANCE_CASE(SlotBridgeAndDeviceCheckWithoutTheAdapter)
{
    auto get_status = Export<decltype(XU_GetStatus)>("XU_GetStatus");
    auto card_info = Export<decltype(XU_GetCardInfo)>("XU_GetCardInfo");
    auto set_status = Export<decltype(XU_SetStatus)>("XU_SetStatus");
    auto reset = Export<decltype(XU_ResetPCIBridge)>("XU_ResetPCIBridge");
    auto check = Export<decltype(XU_CheckDevice)>("XU_CheckDevice");
    CHECK(get_status && card_info && set_status && reset && check);
    if (!get_status || !card_info || !set_status || !reset || !check) return;

    int card = 7;
    CHECK_EQ(get_status(6, &card), 0);
    CHECK_EQ(card, 0);
    CHECK_EQ(check(), 0);
    CHECK_EQ(static_cast<int>(reset(0)), 0);
    CHECK_EQ(static_cast<int>(reset(1)), 0);

    WCHAR description[8];
    description[0] = 'X';
    DWORD status = 0, problem = 0;
    CHECK_EQ(card_info(0xFE, description, sizeof description, &status, &problem), 0);
    CHECK_EQ(static_cast<int>(description[0]), 0);
    // The volume check runs over Wine's real drives; without the adapter the link is
    // never reached.
    CHECK_EQ(set_status(0xFE, 0, 1, 1), 0);
}

int main(int argc, char** argv) { return conformance::RunAll(argc > 1 ? argv[1] : nullptr); }
