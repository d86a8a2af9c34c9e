// The filter driver's settings in its service key, driven through the simulated machine.
#include "library/px71.h"
#include "support/machine_test.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

using px71test::MachineTest;

namespace {

const std::u16string kKey = sim::kServiceKey;

// Every value any export writes, and the number each one holds before a test.
const char16_t* const kAllValues[] = {u"DefLen",      u"PortLen",     u"Oz888Len",    u"SxsLen",      u"A3132Len",
                                      u"B3132Len",    u"USBLen",      u"StartAdrs",   u"EndAdrs",     u"PayloadSize",
                                      u"SataSSC",     u"Oz888LenDef", u"SxsLenDef",   u"A3132LenDef", u"B3132LenDef",
                                      u"USBLenDef"};
constexpr DWORD kOld = 0xA5A5A5A5;

struct Export {
    const char* name;
    // Calls the export with First, First + 1, ... in its parameters.
    std::function<int(DWORD first)> call;
    // The values in write order, each with the parameter (1-based) that fills it.
    std::vector<std::pair<std::u16string, DWORD>> writes;
};

const Export kExports[] = {
    {"XU_SetSize", [](DWORD f) { return XU_SetSize(f, f + 1, f + 2); },
     {{u"DefLen", 1}, {u"StartAdrs", 2}, {u"EndAdrs", 3}}},
    {"XU_SetSize_Pro", [](DWORD f) { return XU_SetSize_Pro(f, f + 1, f + 2, f + 3, f + 4, f + 5, f + 6); },
     {{u"Oz888Len", 1},
      {u"SxsLen", 2},
      {u"A3132Len", 3},
      {u"B3132Len", 4},
      {u"USBLen", 5},
      {u"StartAdrs", 6},
      {u"EndAdrs", 7}}},
    {"XU_SetSize_Pro2",
     [](DWORD f) { return XU_SetSize_Pro2(f, f + 1, f + 2, f + 3, f + 4, f + 5, f + 6, f + 7, f + 8, f + 9); },
     {{u"PortLen", 1},
      {u"Oz888Len", 2},
      {u"SxsLen", 3},
      {u"A3132Len", 4},
      {u"B3132Len", 5},
      {u"USBLen", 6},
      {u"PayloadSize", 9},
      {u"SataSSC", 10},
      {u"StartAdrs", 7},
      {u"EndAdrs", 8}}},
    {"XU_SetSize_Pro2_DEF",
     [](DWORD f) { return XU_SetSize_Pro2_DEF(f, f + 1, f + 2, f + 3, f + 4, f + 5, f + 6, f + 7); },
     {{u"Oz888LenDef", 2}, {u"SxsLenDef", 3}, {u"A3132LenDef", 4}, {u"B3132LenDef", 5}, {u"USBLenDef", 6}}},
};

class SettingsTest : public MachineTest, public ::testing::WithParamInterface<Export> {
protected:
    void SetUp() override
    {
        machine.registry.CreateKey(kKey);
        for (const char16_t* name : kAllValues) machine.registry.SetDword(kKey, name, kOld);
        machine.registry.SetString(kKey, u"FilePathName", u"C:\\PX71\\PX71.exe");
    }
    // The numbers the export should have stored, by value name.
    std::map<std::u16string, DWORD> Expected(DWORD first, std::size_t written) const
    {
        std::map<std::u16string, DWORD> out;
        for (const char16_t* name : kAllValues) out[name] = kOld;
        for (std::size_t i = 0; i < written; ++i) out[GetParam().writes[i].first] = first + GetParam().writes[i].second - 1;
        return out;
    }
    void ExpectValues(const std::map<std::u16string, DWORD>& expected) const
    {
        for (const auto& [name, number] : expected) {
            const sim::RegValue* v = machine.registry.Value(kKey, name);
            ASSERT_NE(v, nullptr) << sim::Narrow(name);
            EXPECT_EQ(v->type, static_cast<DWORD>(REG_DWORD)) << sim::Narrow(name);
            EXPECT_EQ(machine.registry.Dword(kKey, name), number) << sim::Narrow(name);
        }
        const sim::RegValue* path = machine.registry.Value(kKey, u"FilePathName");
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(path->type, static_cast<DWORD>(REG_SZ));
    }
};

TEST_P(SettingsTest, WritesItsValuesInOrderAndNoOthers)
{
    EXPECT_EQ(GetParam().call(1), 1);
    ExpectValues(Expected(1, GetParam().writes.size()));

    std::vector<std::string> order;
    for (const auto& c : machine.calls()) {
        if (c.function == "RegOpenKeyExW") {
            EXPECT_EQ(c.text, "SYSTEM\\CurrentControlSet\\Services\\PX711");
            EXPECT_EQ(c.args[0], reinterpret_cast<std::uintptr_t>(HKEY_LOCAL_MACHINE));
            EXPECT_EQ(c.args[2], static_cast<std::uint64_t>(KEY_ALL_ACCESS));
        }
        if (c.function != "RegSetValueExW") continue;
        order.push_back(c.text);
        EXPECT_EQ(c.args[2], static_cast<std::uint64_t>(REG_DWORD));
        EXPECT_EQ(c.args[4], 4u) << "four bytes of data";
    }
    std::vector<std::string> expected;
    for (const auto& w : GetParam().writes) expected.push_back(sim::Narrow(w.first));
    EXPECT_EQ(order, expected);
    EXPECT_EQ(machine.CallCount("RegOpenKeyExW"), 1u);
    EXPECT_EQ(machine.CallCount("RegCloseKey"), 1u);
    EXPECT_EQ(machine.CallCount("RegCreateKeyExW"), 0u);
}

TEST_P(SettingsTest, StoresNumbersWithTheTopBitSetUnchanged)
{
    EXPECT_EQ(GetParam().call(0xFFFFFFF0u), 1);
    ExpectValues(Expected(0xFFFFFFF0u, GetParam().writes.size()));
    EXPECT_EQ(GetParam().call(0x80000000u), 1);
    ExpectValues(Expected(0x80000000u, GetParam().writes.size()));
}

TEST_P(SettingsTest, StopsAtTheFirstRefusedWrite)
{
    // Every position of the write order in turn refuses its write.
    for (std::size_t refused = 0; refused < GetParam().writes.size(); ++refused) {
        SetUp();
        auto key = machine.registry.Key(kKey);
        key->refused_values = {sim::Lower(GetParam().writes[refused].first)};
        EXPECT_EQ(GetParam().call(100), 0) << "write " << refused + 1;
        ExpectValues(Expected(100, refused));
        key->refused_values.clear();
    }
    EXPECT_TRUE(px71test::NothingOpen(machine)) << "the key is closed on every path";
}

TEST_P(SettingsTest, AbsentOrReadOnlyKeyWritesNothing)
{
    machine.registry.DeleteKey(kKey);
    EXPECT_EQ(GetParam().call(1), 0);
    EXPECT_EQ(machine.registry.Key(kKey), nullptr) << "the key is never created";
    EXPECT_EQ(machine.CallCount("RegSetValueExW"), 0u);
    EXPECT_EQ(machine.CallCount("RegCloseKey"), 0u) << "nothing was opened, nothing to close";

    SetUp();
    machine.registry.Key(kKey)->deny_write_access = true;
    EXPECT_EQ(GetParam().call(1), 0);
    ExpectValues(Expected(1, 0));
}

INSTANTIATE_TEST_SUITE_P(EveryExport, SettingsTest, ::testing::ValuesIn(kExports),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsSeventhWrite, Pro2KeepsTheFirstSixAndTheOldRest)
{
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    machine.registry.CreateKey(kKey);
    for (const char16_t* name : kAllValues) machine.registry.SetDword(kKey, name, 0);
    machine.ArmFault({"RegSetValueExW", 7, ERROR_ACCESS_DENIED});
    EXPECT_EQ(XU_SetSize_Pro2(1, 2, 3, 4, 5, 6, 7, 8, 9, 10), 0);
    const std::pair<const char16_t*, DWORD> after[] = {
        {u"PortLen", 1}, {u"Oz888Len", 2},    {u"SxsLen", 3},  {u"A3132Len", 4},  {u"B3132Len", 5},
        {u"USBLen", 6},  {u"PayloadSize", 0}, {u"SataSSC", 0}, {u"StartAdrs", 0}, {u"EndAdrs", 0},
    };
    for (const auto& [name, number] : after) EXPECT_EQ(machine.registry.Dword(kKey, name), number) << sim::Narrow(name);
    EXPECT_TRUE(px71test::NothingOpen(machine));
}

TEST(SettingsFaults, EveryFailureGivesZeroAndClosesTheKey)
{
    for (const Export& e : kExports) {
        int faults = px71test::SweepFaults<int>(
            [](sim::Machine& m) {
                m.registry.CreateKey(kKey);
                for (const char16_t* name : kAllValues) m.registry.SetDword(kKey, name, kOld);
            },
            [&] { return e.call(1); },
            [&](int result, sim::Machine& m, std::size_t call) {
                // Call 1 opens the key, calls 2 to n + 1 write, the last closes it; a
                // failed close still releases the key and all values were written.
                const std::size_t n = e.writes.size();
                const bool all_written = call == n + 2;
                EXPECT_EQ(result, all_written ? 1 : 0) << e.name << ", call " << call;
                const std::size_t written = call <= 1 ? 0 : std::min(call - 2, n);
                for (std::size_t i = 0; i < n; ++i) {
                    const DWORD expected = i < written ? e.writes[i].second : kOld;
                    EXPECT_EQ(m.registry.Dword(kKey, e.writes[i].first), expected) << e.name << ", call " << call;
                }
            });
        EXPECT_EQ(static_cast<std::size_t>(faults), e.writes.size() + 2) << e.name;
        ::testing::Test::RecordProperty(std::string("faults_") + e.name, faults);
    }
}

} // namespace
