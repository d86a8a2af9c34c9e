// XU_ReadPCI and XU_WritePCI against the simulated dump driver.
#include "library/px71.h"
#include "support/dump_driver_cases.h"
#include "support/machine_test.h"

using px71test::MachineTest;

namespace {

class ConfigSpaceTest : public MachineTest {
protected:
    void SetUp() override { sim::BuildDefaultMachine(machine); }

    std::vector<sim::CallRecord> Calls(const char* function) const
    {
        std::vector<sim::CallRecord> out;
        for (const auto& c : machine.calls())
            if (c.function == function) out.push_back(c);
        return out;
    }
};

TEST_F(ConfigSpaceTest, ReadsTheBridgeFunction)
{
    DWORD value = 0;
    EXPECT_NE(XU_ReadPCI(sim::kDefaultSlotBus, 0x00, &value), 0);
    EXPECT_EQ(value, 0x02E31217u);
    EXPECT_NE(XU_ReadPCI(sim::kDefaultSlotBus, 0x94, &value), 0);
    EXPECT_EQ(value, 0x01021E2Au);
    EXPECT_NE(XU_ReadPCI(sim::kDefaultCardBus, 0x00, &value), 0);
    EXPECT_EQ(value, 0x8240104Cu);
    EXPECT_NE(XU_ReadPCI(0x55, 0x00, &value), 0) << "an empty bus answers all ones";
    EXPECT_EQ(value, 0xFFFFFFFFu);
}

TEST_F(ConfigSpaceTest, OnlyTheLowByteOfBusAndRegisterCounts)
{
    DWORD value = 0;
    EXPECT_NE(XU_ReadPCI(0x100 + sim::kDefaultSlotBus, 0x194, &value), 0);
    EXPECT_EQ(value, 0x01021E2Au);
    EXPECT_NE(XU_WritePCI(0xFF00 + sim::kDefaultSlotBus, 0x250, 0x10), 0);
    EXPECT_EQ(machine.dump.Read(sim::kDefaultSlotBus, 0x50) & 0x10, 0x10u);
}

TEST_F(ConfigSpaceTest, WritesWhatTheHardwareTakes)
{
    const DWORD before = machine.dump.Read(sim::kDefaultSlotBus, 0x50);
    EXPECT_NE(XU_WritePCI(sim::kDefaultSlotBus, 0x50, before | 0x10), 0);
    DWORD after = 0;
    EXPECT_NE(XU_ReadPCI(sim::kDefaultSlotBus, 0x50, &after), 0);
    EXPECT_EQ(after, before | 0x10);
    EXPECT_NE(XU_WritePCI(sim::kDefaultSlotBus, 0x50, 0xFFFF0000), 0) << "Link Status is read-only";
    EXPECT_NE(XU_ReadPCI(sim::kDefaultSlotBus, 0x50, &after), 0);
    EXPECT_EQ(after, before & 0xFFFF0000u);
}

TEST_F(ConfigSpaceTest, SendsExactlyTheDocumentedRequests)
{
    DWORD value = 0;
    XU_ReadPCI(6, 0x58, &value);
    XU_WritePCI(6, 0x50, 0);
    auto opens = Calls("CreateFileW");
    ASSERT_EQ(opens.size(), 2u);
    for (const auto& open : opens) {
        EXPECT_EQ(open.text, "\\\\.\\XUDUMP");
        EXPECT_EQ(open.args[0], 0xC0000000u) << "GENERIC_READ | GENERIC_WRITE";
        EXPECT_EQ(open.args[1], 0u) << "share mode 0";
        EXPECT_EQ(open.args[2], static_cast<std::uint64_t>(CREATE_ALWAYS));
        EXPECT_EQ(open.args[3], static_cast<std::uint64_t>(FILE_ATTRIBUTE_NORMAL));
    }
    auto requests = Calls("DeviceIoControl");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].args[1], 0x9C40243Cu);
    EXPECT_EQ(requests[0].args[2], 8u);
    EXPECT_EQ(requests[0].args[3], 4u);
    EXPECT_EQ(requests[0].args[4], 0u) << "no overlapped structure";
    EXPECT_EQ(requests[1].args[1], 0x9C402440u);
    EXPECT_EQ(requests[1].args[2], 8u);
    EXPECT_EQ(requests[1].args[3], 1u);
    EXPECT_EQ(Calls("CloseHandle").size(), 2u);
}

TEST_F(ConfigSpaceTest, EachCallOpensAndClosesTheDevice)
{
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(XU_WritePCI(6, 0x50, 0), 0);
        EXPECT_EQ(machine.Outstanding().handles, 0u) << "after write " << i;
    }
}

TEST_F(ConfigSpaceTest, AbsentDriverSendsNothing)
{
    machine.dump.installed = false;
    DWORD value = 0x12345678;
    EXPECT_EQ(XU_ReadPCI(6, 0, &value), 0);
    EXPECT_EQ(value, 0x12345678u) << "Value untouched";
    EXPECT_EQ(XU_WritePCI(6, 0x50, 0), 0);
    EXPECT_EQ(Calls("DeviceIoControl").size(), 0u);
}

TEST_F(ConfigSpaceTest, FailedRequestIsReported)
{
    machine.dump.fail_requests = true;
    DWORD value = 0;
    EXPECT_EQ(XU_ReadPCI(6, 0, &value), 0);
    EXPECT_EQ(XU_WritePCI(6, 0x50, 0), 0);
    EXPECT_EQ(machine.dump.Read(6, 0x50) & 0x10, 0u);
}

// The rows that also run under Wine against the kernel-mode stand-in (tests/wine/xudump.c).
TEST_F(ConfigSpaceTest, AnswersAsTheDriverUnderWine)
{
    namespace dd = px71test::dump_driver;
    machine.dump.refused_buses = {dd::kRefusedBus};
    for (const auto& c : dd::kCases) {
        machine.dump.installed = c.driver == dd::Driver::Running;
        EXPECT_EQ(dd::Run(c), "") << c.name;
    }
}

TEST(ConfigSpaceFaults, EveryFailureIsZeroAndClosesTheDevice)
{
    auto build = [](sim::Machine& m) { sim::BuildDefaultMachine(m); };
    int faults = px71test::SweepFaults<int>(
        build,
        [] {
            DWORD value = 0xAAAAAAAA;
            int read = XU_ReadPCI(6, 0, &value);
            if (read && value != 0x02E31217) return -1;
            return read + 2 * XU_WritePCI(6, 0x50, 0x10);
        },
        [](int result, sim::Machine& m, std::size_t n) {
            // Calls 1-3 belong to the read (open, request, close), 4-6 to the write. A
            // failed close still reports the request's result.
            const int expected = n == 1 || n == 2 ? 2 : n == 4 || n == 5 ? 1 : 3;
            EXPECT_EQ(result, expected) << "call " << n;
            EXPECT_EQ(m.dump.Read(6, 0x50) & 0x10, (expected & 2) ? 0x10u : 0u);
        });
    EXPECT_EQ(faults, 6);
}

} // namespace
