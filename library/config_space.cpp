// Configuration-space access through the dump driver "\\.\XUDUMP".
#include "library/config_space.h"

#include "library/px71.h"

#include <cstddef>

namespace px71 {
namespace {

// The driver's 8-byte request; the same layout in the 32-bit and the 64-bit build.
struct ConfigRequest {
    BYTE Bus;
    BYTE Register;
    BYTE Reserved[2];
    DWORD Value;
};
static_assert(sizeof(ConfigRequest) == 8 && offsetof(ConfigRequest, Value) == 4, "dump driver request layout");

constexpr DWORD kIoctlReadConfig = 0x9C40243C;   // device 0x9C40, function 0x90F, buffered
constexpr DWORD kIoctlWriteConfig = 0x9C402440;  // device 0x9C40, function 0x910, buffered

UniqueFile OpenDumpDriver() noexcept
{
    return UniqueFile(CreateFileW(W16("\\\\.\\XUDUMP"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

BOOL ReadConfigRegister(BYTE bus, BYTE reg, DWORD* value) noexcept
{
    UniqueFile device = OpenDumpDriver();
    if (!device) return FALSE;
    ConfigRequest request{};
    request.Bus = bus;
    request.Register = reg;
    DWORD returned = 0;
    return DeviceIoControl(device.get(), kIoctlReadConfig, &request, sizeof request, value, sizeof(DWORD), &returned,
                           nullptr);
}

} // namespace px71

extern "C" int PX71API XU_ReadPCI(DWORD Bus, DWORD Register, DWORD* Value) noexcept
{
    return px71::ReadConfigRegister(LOBYTE(Bus), LOBYTE(Register), Value);
}

extern "C" int PX71API XU_WritePCI(DWORD Bus, DWORD Register, DWORD Value) noexcept
{
    px71::UniqueFile device = px71::OpenDumpDriver();
    if (!device) return 0;
    px71::ConfigRequest request{};
    request.Bus = LOBYTE(Bus);
    request.Register = LOBYTE(Register);
    request.Value = Value;
    BYTE reply = 0;  // the driver's one-byte answer carries nothing we use
    DWORD returned = 0;
    return DeviceIoControl(device.get(), px71::kIoctlWriteConfig, &request, sizeof request, &reply, sizeof reply,
                           &returned, nullptr);
}
