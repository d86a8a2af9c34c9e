// The simulator's registry knobs: keys that refuse writes or write access. The
// plain registry behaviour is pinned by the conformance suite against Windows.
#include "support/machine_test.h"

using px71test::MachineTest;

namespace {

TEST_F(MachineTest, KeyThatRefusesWriteAccess)
{
    auto key = machine.registry.CreateKey(sim::kServiceKey);
    key->deny_write_access = true;
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\PX711", 0, KEY_ALL_ACCESS, &h),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(h, nullptr);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"system\\currentcontrolset\\services\\px711", 0, KEY_READ, &h),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

TEST_F(MachineTest, KeyThatRefusesWrites)
{
    auto key = machine.registry.CreateKey(sim::kServiceKey);
    key->refuse_writes = true;
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\PX711", 0, KEY_ALL_ACCESS, &h),
              ERROR_SUCCESS);
    DWORD v = 1;
    EXPECT_EQ(RegSetValueExW(h, u"PortLen", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(machine.registry.Dword(sim::kServiceKey, u"PortLen"));
    RegCloseKey(h);
}

TEST_F(MachineTest, ValueThatRefusesWrites)
{
    auto key = machine.registry.CreateKey(sim::kServiceKey);
    machine.registry.SetDword(sim::kServiceKey, u"PayloadSize", 7);
    key->refused_values.insert(u"payloadsize");
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\PX711", 0, KEY_ALL_ACCESS, &h),
              ERROR_SUCCESS);
    DWORD v = 1;
    EXPECT_EQ(RegSetValueExW(h, u"PAYLOADSIZE", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_ACCESS_DENIED)
        << "names are compared without regard to case";
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"PayloadSize"), 7u);
    EXPECT_EQ(RegSetValueExW(h, u"SataSSC", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS)
        << "the other values of the key still take writes";
    EXPECT_EQ(machine.registry.Dword(sim::kServiceKey, u"SataSSC"), 1u);
    RegCloseKey(h);
}

TEST_F(MachineTest, AnsiQueriesConvertStrings)
{
    machine.registry.SetString(sim::kServiceKey, u"FilePathName", u"C:\\PX71\\PX71.exe");
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\PX711", 0, KEY_READ, &h),
              ERROR_SUCCESS);
    char path[261] = {};
    DWORD size = sizeof path;
    EXPECT_EQ(RegQueryValueExA(h, "FilePathName", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(path, "C:\\PX71\\PX71.exe");
    EXPECT_EQ(size, 17u);
    size = 4;
    EXPECT_EQ(RegQueryValueExA(h, "FilePathName", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 17u);
    RegCloseKey(h);
}

} // namespace
