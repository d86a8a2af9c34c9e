// The machine's own instruments: faults, call log, accounting.
#include "support/machine_test.h"

using px71test::MachineTest;

namespace {

TEST_F(MachineTest, FaultsHitTheNthMatchingCall)
{
    machine.ArmFault({"SetupDiGetClassDevsW", 2, ERROR_NOT_ENOUGH_MEMORY});
    HDEVINFO first = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    EXPECT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HDEVINFO third = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    EXPECT_NE(third, INVALID_HANDLE_VALUE) << "a fault fires once";
    SetupDiDestroyDeviceInfoList(first);
    SetupDiDestroyDeviceInfoList(third);

    machine.ArmFault({"", 2, ERROR_GEN_FAILURE, CR_OUT_OF_MEMORY, true});
    DEVINST child = 0;
    EXPECT_EQ(CM_Get_Child(&child, machine.tree.root(), 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Get_Child(&child, machine.tree.root(), 0), static_cast<CONFIGRET>(CR_OUT_OF_MEMORY));
    EXPECT_EQ(CM_Get_Parent(&child, machine.tree.root(), 0), static_cast<CONFIGRET>(CR_OUT_OF_MEMORY))
        << "a persistent fault keeps firing";
    machine.ClearFaults();
}

TEST_F(MachineTest, AccountingCountsWhatIsHeld)
{
    void* block = HeapAlloc(GetProcessHeap(), 0, 10);
    HLOCAL local = LocalAlloc(LPTR, 3);
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\PX71", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    HANDLE dump = CreateFileW(u"\\\\.\\XUDUMP", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(machine.Outstanding(), (sim::Accounting{1, 1, 1, 2, 0}));
    EXPECT_EQ(CreateFileW(u"\\\\.\\XUDUMP", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE)
        << "the dump driver takes one open at a time";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(dump);
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
    LocalFree(local);
    HeapFree(GetProcessHeap(), 0, block);
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, block)) << "double free is caught";
    EXPECT_EQ(machine.Outstanding().bad_releases, 1u);
    machine.ForgetBadReleases();
}

TEST(Machine, FailedReleasesStillRelease)
{
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    machine.ArmFault({"SetupDiDestroyDeviceInfoList", 1});
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(machine.Outstanding(), sim::Accounting{});
}

TEST(Machine, CallLogKeepsArguments)
{
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    DWORD value = 0;
    HANDLE dump = CreateFileW(u"\\\\.\\XUDUMP", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    BYTE request[8] = {6, 0};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(dump, 0x9C40243C, request, 8, &value, 4, &returned, nullptr));
    EXPECT_EQ(returned, 4u);
    CloseHandle(dump);
    auto calls = machine.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].text, "\\\\.\\XUDUMP");
    EXPECT_EQ(calls[1].function, "DeviceIoControl");
    EXPECT_EQ(calls[1].args[1], 0x9C40243Cu);
    EXPECT_EQ(machine.CallCount("CloseHandle"), 1u);
}

} // namespace
