// Drive letters, volumes and the disk interface class as the volume check uses them.
#include "platform/win32.h"
#include "tests/conformance/check.h"

#include <cstddef>
#include <vector>

namespace {

const GUID kDiskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// A drive letter from C: to Z: that does not exist, or 0.
WCHAR MissingLetter()
{
    const DWORD drives = GetLogicalDrives();
    for (WCHAR letter = 'Y'; letter >= 'C'; --letter)
        if ((drives & (1u << (letter - 'A'))) == 0) return letter;
    return 0;
}

} // namespace

CONFORMANCE_CASE(StorageMissingDriveLetter)
{
    const WCHAR letter = MissingLetter();
    CHECK(letter != 0);
    if (letter == 0) return;
    WCHAR volume[] = W16("\\\\.\\X:");
    volume[4] = letter;
    SetLastError(0);
    HANDLE h = CreateFileW(volume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(h == INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    WCHAR root[] = W16("X:\\");
    root[0] = letter;
    ULARGE_INTEGER total{};
    CHECK(!GetDiskFreeSpaceExW(root, nullptr, &total, nullptr));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

CONFORMANCE_CASE(StorageExistingDrivesHaveASize)
{
    const DWORD drives = GetLogicalDrives();
    for (WCHAR letter = 'C'; letter <= 'Z'; ++letter) {
        if ((drives & (1u << (letter - 'A'))) == 0) continue;
        WCHAR root[] = W16("X:\\");
        root[0] = letter;
        ULARGE_INTEGER total{}, available{}, free{};
        if (GetDiskFreeSpaceExW(root, &available, &total, &free)) {
            CHECK(total.QuadPart > 0);
            CHECK(free.QuadPart <= total.QuadPart);
        }
    }
}

// The two-step detail query and the cbSize rule: the fixed part of the record, 6 bytes
// in a 32-bit process and 8 in a 64-bit one.
CONFORMANCE_CASE(DiskInterfaceDetailInTwoSteps)
{
    CHECK_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), sizeof(void*) == 8 ? std::size_t{8} : std::size_t{6});
    HDEVINFO set = SetupDiGetClassDevsW(&kDiskInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    CHECK(set != INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE) return;
    for (DWORD index = 0; index < 64; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kDiskInterface, index, &data)) {
            CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        DWORD required = 0;
        CHECK(!SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
        CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        CHECK(required > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        std::vector<BYTE> buffer(required + 16);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 1;
        CHECK(!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
        CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        CHECK(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &device));
        CHECK(detail->DevicePath[0] != 0);
        CHECK(device.DevInst != 0);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The volume check quiets the system's hard-error box for its thread, and gives the
// thread's own mode back.
CONFORMANCE_CASE(ThreadErrorModeIsSetAndGivenBack)
{
    DWORD before = 0xFFFF;
    CHECK(SetThreadErrorMode(SEM_FAILCRITICALERRORS, &before));
    CHECK(before != 0xFFFFu);
    CHECK_EQ(GetThreadErrorMode() & SEM_FAILCRITICALERRORS, static_cast<DWORD>(SEM_FAILCRITICALERRORS));
    DWORD during = 0;
    CHECK(SetThreadErrorMode(before, &during));
    CHECK_EQ(during & SEM_FAILCRITICALERRORS, static_cast<DWORD>(SEM_FAILCRITICALERRORS));
    CHECK_EQ(GetThreadErrorMode(), before);
    CHECK(!SetThreadErrorMode(0x4000, nullptr));  // no such mode bit
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// The SATA removal reads an element's install parameters after SetupDiRemoveDevice: a
// wrong cbSize is refused, the right one reads, and an untouched device needs no restart.
CONFORMANCE_CASE(DeviceInstallParamsOfAnElement)
{
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    CHECK(set != INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    // The host's bare machine has no device but the root, which no set lists.
    if (!SetupDiEnumDeviceInfo(set, 0, &device)) {
        CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        SetupDiDestroyDeviceInfoList(set);
        return;
    }
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params + 1;
    CHECK(!SetupDiGetDeviceInstallParamsW(set, &device, &params));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    params.cbSize = sizeof params;
    CHECK(SetupDiGetDeviceInstallParamsW(set, &device, &params));
    CHECK_EQ(params.Flags & static_cast<DWORD>(DI_NEEDREBOOT | DI_NEEDRESTART), 0u);
    SetupDiDestroyDeviceInfoList(set);
}
