// The simulator's SetupAPI and configuration manager behave as Windows documents them.
#include "support/machine_test.h"

#include <cstring>

using px71test::MachineTest;

namespace {

class SetupApiTest : public MachineTest {
protected:
    DEVINST bridge = 0, card = 0, gone = 0, disk = 0;
    void SetUp() override
    {
        sim::NewDevice dev;
        dev.enumerator = "PCI";
        dev.class_guid = sim::kClassSystem;
        dev.hardware_ids = {u"PCI\\VEN_1217&DEV_02E3"};
        dev.bus_number = 6;
        bridge = machine.tree.Add(machine.tree.root(), dev);
        dev.present = false;
        dev.hardware_ids = {u"PCI\\VEN_DEAD&DEV_BEEF"};
        gone = machine.tree.Add(bridge, dev);
        dev.present = true;
        dev.class_guid = sim::kClassUsb;
        dev.hardware_ids = {u"PCI\\VEN_1217&DEV_02F1"};
        card = machine.tree.Add(bridge, dev);
        sim::NewDevice d;
        d.enumerator = "SCSI";
        d.class_guid = sim::kClassDiskDrive;
        disk = machine.tree.Add(card, d);
        machine.tree.node(disk).interfaces.push_back({sim::kInterfaceDisk, u"\\\\?\\scsi#disk#1"});
    }

    std::vector<DEVINST> Members(HDEVINFO set)
    {
        std::vector<DEVINST> out;
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) out.push_back(data.DevInst);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return out;
    }
};

TEST_F(SetupApiTest, ClassDevsHonoursClassEnumeratorAndFlags)
{
    struct Case {
        const char* what;
        const GUID* guid;
        const char16_t* enumerator;
        DWORD flags;
        std::vector<DEVINST> expected;
    } cases[] = {
        {"all classes, present", nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, {bridge, card, disk}},
        {"all classes, present or not", nullptr, nullptr, DIGCF_ALLCLASSES, {bridge, gone, card, disk}},
        {"PCI enumerator", nullptr, u"pci", DIGCF_ALLCLASSES | DIGCF_PRESENT, {bridge, card}},
        {"one class", &sim::kClassUsb, nullptr, DIGCF_PRESENT, {card}},
        {"one class, not present included", &sim::kClassSystem, nullptr, 0, {bridge, gone}},
        {"disk interfaces", &sim::kInterfaceDisk, nullptr, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE,
         {disk}},
    };
    for (const auto& c : cases) {
        HDEVINFO set = SetupDiGetClassDevsW(c.guid, c.enumerator, nullptr, c.flags);
        ASSERT_NE(set, INVALID_HANDLE_VALUE) << c.what;
        EXPECT_EQ(Members(set), c.expected) << c.what;
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    }
    HDEVINFO a = SetupDiGetClassDevsA(&sim::kClassUsb, nullptr, nullptr, DIGCF_PRESENT);
    EXPECT_EQ(Members(a), std::vector<DEVINST>{card});
    SetupDiDestroyDeviceInfoList(a);
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SetupApiTest, EnumChecksTheStructureSize)
{
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data - 1;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_TRUE(data.ClassGuid == sim::kClassSystem);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data)) << "destroyed set";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(machine.Outstanding().bad_releases, 1u);
    machine.ForgetBadReleases();
}

TEST_F(SetupApiTest, PropertiesReadInTwoSteps)
{
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, u"PCI", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    DWORD type = 0, required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const DWORD expected = static_cast<DWORD>(sim::MultiSzBytes({u"PCI\\VEN_1217&DEV_02E3"}).size());
    EXPECT_EQ(required, expected);
    std::vector<BYTE> buffer(required);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, buffer.data(), required,
                                                  &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    // The ANSI call gives the same list in single bytes.
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
    EXPECT_EQ(required, expected / 2);
    std::vector<char> ansi(required);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<BYTE*>(ansi.data()), required, nullptr));
    EXPECT_STREQ(ansi.data(), "PCI\\VEN_1217&DEV_02E3");
    // Missing property.
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, SettingANullListDeletesIt)
{
    machine.tree.SetMultiSz(bridge, CM_DRP_UPPERFILTERS, {u"PX711"});
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    ASSERT_EQ(data.DevInst, bridge);
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_UPPERFILTERS, nullptr, 0));
    EXPECT_FALSE(machine.tree.MultiSz(bridge, CM_DRP_UPPERFILTERS).has_value());
    auto list = sim::MultiSzBytes({u"PX713"});
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_UPPERFILTERS, list.data(),
                                                  static_cast<DWORD>(list.size())));
    EXPECT_EQ(*machine.tree.MultiSz(bridge, CM_DRP_UPPERFILTERS), sim::WideList{u"PX713"});
    machine.tree.node(bridge).refuse_property_writes = true;
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_UPPERFILTERS, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_BUSNUMBER, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, UpperFiltersAreOneValueByElementAndByNode)
{
    // The device that is not present is in the set of all devices, and its list can be
    // written and deleted there.
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &data));
    ASSERT_EQ(data.DevInst, gone);

    auto by_element = sim::MultiSzBytes({u"PX713", u"pcmcia"});
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_UPPERFILTERS, by_element.data(),
                                                  static_cast<DWORD>(by_element.size())));
    ULONG type = 0, length = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(gone, CM_DRP_UPPERFILTERS, &type, nullptr, &length, 0),
              static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    EXPECT_EQ(length, by_element.size());

    auto by_node = sim::MultiSzBytes({u"PX716"});
    ASSERT_EQ(CM_Set_DevNode_Registry_PropertyW(gone, CM_DRP_UPPERFILTERS, by_node.data(),
                                                static_cast<ULONG>(by_node.size()), 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    std::vector<BYTE> read(64);
    DWORD required = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_UPPERFILTERS, &type, read.data(),
                                                  static_cast<DWORD>(read.size()), &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    read.resize(required);
    EXPECT_EQ(read, by_node);

    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_UPPERFILTERS, nullptr, 0));
    length = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(gone, CM_DRP_UPPERFILTERS, &type, nullptr, &length, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));
    EXPECT_EQ(length, 0u) << "no list: the length stays 0";

    machine.tree.node(gone).refuse_property_writes = true;
    EXPECT_EQ(CM_Set_DevNode_Registry_PropertyW(gone, CM_DRP_UPPERFILTERS, by_node.data(),
                                                static_cast<ULONG>(by_node.size()), 0),
              static_cast<CONFIGRET>(CR_REGISTRY_ERROR));
    EXPECT_FALSE(machine.tree.MultiSz(gone, CM_DRP_UPPERFILTERS));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, ConfigManagerWalksTheLiveTree)
{
    DEVINST out = 0;
    EXPECT_EQ(CM_Get_Child(&out, bridge, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(out, card) << "the device that is not present is not in the live tree";
    EXPECT_EQ(CM_Get_Sibling(&out, card, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Get_Parent(&out, card, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(out, bridge);
    EXPECT_EQ(CM_Get_Parent(&out, machine.tree.root(), 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Get_Child(&out, disk, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Get_Child(&out, 9999, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
    EXPECT_EQ(CM_Get_Child(&out, bridge, 1), static_cast<CONFIGRET>(CR_INVALID_FLAG));

    ULONG status = 0, problem = 0;
    machine.tree.node(card).problem = CM_PROB_FAILED_START;
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, card, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_FAILED_START));
    EXPECT_NE(status & DN_HAS_PROBLEM, 0u);
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, gone, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST));
}

TEST_F(SetupApiTest, ConfigManagerPropertiesReportTheirLength)
{
    ULONG type = 0, length = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(bridge, CM_DRP_BUSNUMBER, &type, nullptr, &length, 0),
              static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    EXPECT_EQ(length, 4u);
    DWORD bus = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(bridge, CM_DRP_BUSNUMBER, &type, &bus, &length, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(bus, 6u);
    EXPECT_EQ(type, static_cast<ULONG>(REG_DWORD));
    length = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(bridge, CM_DRP_SERVICE, &type, nullptr, &length, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(bridge, CM_DRP_SERVICE, &type, nullptr, nullptr, 0),
              static_cast<CONFIGRET>(CR_INVALID_POINTER));
    char ansi[64] = {};
    length = sizeof ansi;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(bridge, CM_DRP_HARDWAREID, nullptr, ansi, &length, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_STREQ(ansi, "PCI\\VEN_1217&DEV_02E3");

    auto list = sim::MultiSzBytes({u"PX711"});
    EXPECT_EQ(list.size(), 14u);
    EXPECT_EQ(CM_Set_DevNode_Registry_PropertyW(bridge, CM_DRP_UPPERFILTERS, list.data(), 14, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(*machine.tree.MultiSz(bridge, CM_DRP_UPPERFILTERS), sim::WideList{u"PX711"});
    EXPECT_EQ(CM_Set_DevNode_Registry_PropertyW(bridge, CM_DRP_UPPERFILTERS, nullptr, 0, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_FALSE(machine.tree.MultiSz(bridge, CM_DRP_UPPERFILTERS));
}

} // namespace
