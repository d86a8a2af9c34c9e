// The machine's own instruments: faults, call log, accounting, snapshots.
#include "sim/files.h"
#include "sim/machine_json.h"
#include "sim/processes.h"
#include "sim/slot.h"
#include "support/machine_test.h"

#include <chrono>
#include <sstream>
#include <string>

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

TEST(Machine, VirtualTimeSkipsWaitsThatOnlyTheirTimeOutEnds)
{
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    machine.SetVirtualTime(true);
    const auto host_start = std::chrono::steady_clock::now();
    const ULONGLONG start = GetTickCount64();
    Sleep(1000);  // whole 15.625 ms ticks: 1000 ms
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0)) << "a signalled wait skips nothing";
    CloseHandle(event);
    const ULONGLONG passed = GetTickCount64() - start;
    EXPECT_GE(passed, 6000u);
    EXPECT_LT(passed, 7000u);
    EXPECT_LT(std::chrono::steady_clock::now() - host_start, std::chrono::seconds(1)) << "nothing waited for real";
}

// What a program or test can see of a machine, read through its own interfaces rather
// than the snapshot's, plus the handle values the next opens get.
std::string Observe(sim::Machine& m)
{
    sim::ActiveMachine active(m);
    std::ostringstream out;
    out << sim::DumpMachine(m) << sim::Describe(m.Outstanding()) << " calls " << m.calls().size() << "/"
        << m.TotalCalls() << " changes " << m.property_changes.size() << " reenumerations "
        << m.reenumerations.size() << " boxes " << m.system_boxes.size() << " events " << m.event_log.size()
        << " language " << m.language << " wow64 " << m.wow64 << " tick " << m.timer_tick_ms << " local "
        << m.local_time.has_value() << " virtual " << m.virtual_time() << " no-locks " << m.no_byte_range_locks;
    for (const auto& [name, on] : m.privileges) out << " " << sim::Narrow(name) << "=" << on;
    for (const auto& slot : m.slots) out << " slot link " << slot.link_up << " card " << slot.inserted;
    for (const auto& [number, disk] : m.storage.disks) out << " disk " << number << " medium " << disk.medium << " locks " << disk.removal_locks;
    for (const auto& [letter, v] : m.storage.volumes)
        out << " " << letter << " dismounted " << v.dismounted ;
    out << " launches " << m.processes().launches.size() << " pipes " << m.processes().pipes.size()
        << " reports " << m.processes().service.reports.size();
    out << " log " << m.files().Read(m.files().ProgramFolder() + u"PX71.LOG").has_value();
    // The machine's clock is the host's again: no skipped time survives.
    const auto skew = m.Now() - std::chrono::steady_clock::now();
    out << " clock " << (skew < std::chrono::seconds(1));
    HANDLE dump = CreateFileW(u"\\\\.\\XUDUMP", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key);
    out << " next " << dump << " " << set << " " << key;
    CloseHandle(dump);
    SetupDiDestroyDeviceInfoList(set);
    RegCloseKey(key);
    return out.str();
}

TEST(Machine, RestoreGivesBackTheMachineAsBuilt)
{
    using Change = void (*)(sim::Machine&, const sim::DefaultNodes&);
    const struct {
        const char* what;
        Change change;
    } rows[] = {
        {"a card ejected and a device disabled",
         [](sim::Machine&, const sim::DefaultNodes& n) {
             CM_Request_Device_EjectW(n.usb_card, nullptr, nullptr, 0, 0);
             CM_Request_Device_EjectW(n.reader_disk[0], nullptr, nullptr, 0, 0);
         }},
        {"the slot's link switched off",
         [](sim::Machine& m, const sim::DefaultNodes&) {
             m.dump.Write(sim::kDefaultSlotBus, 0x50, m.dump.Read(sim::kDefaultSlotBus, 0x50) | sim::kLinkDisable);
         }},
        {"registry written, a key and a set left open",
         [](sim::Machine&, const sim::DefaultNodes&) {
             HKEY key = nullptr;
             RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\PX71", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
             const DWORD value = 7;
             RegSetValueExW(key, u"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
             SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
         }},
        {"a log file written and left open, heap held, a bad release",
         [](sim::Machine& m, const sim::DefaultNodes&) {
             HANDLE f = CreateFileW((m.files().ProgramFolder() + u"PX71.LOG").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
             DWORD written = 0;
             WriteFile(f, "PX71LOG", 8, &written, nullptr);
             HeapAlloc(GetProcessHeap(), 0, 64);
             CloseHandle(reinterpret_cast<HANDLE>(0x4321));
         }},
        {"faults armed, calls logged and not",
         [](sim::Machine& m, const sim::DefaultNodes&) {
             m.ArmFault({"CreateFileW", 1, ERROR_ACCESS_DENIED, CR_FAILURE, true});
             m.ArmFault({"RegOpenKeyExW", 1});
             m.set_logging(false);
             m.ClearCalls();
         }},
        {"a program launched, an event left open",
         [](sim::Machine& m, const sim::DefaultNodes&) {
             m.processes().programs_keep_running = true;
             STARTUPINFOA startup{};
             startup.cb = sizeof startup;
             PROCESS_INFORMATION info{};
             char command[] = "PX71.exe";
             CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
             CreateEventW(nullptr, TRUE, FALSE, u"Global\\PX71Service");
         }},
        {"settings, boxes, event log and skipped time",
         [](sim::Machine& m, const sim::DefaultNodes&) {
             m.language = "fr";
             m.wow64 = true;
             m.timer_tick_ms = 1;
             m.no_byte_range_locks = true;
             m.local_time = SYSTEMTIME{};
             m.privileges[u"SeLoadDriverPrivilege"] = true;
             m.system_boxes.push_back("box");
             m.event_log.push_back("PX71Service: text");
             m.SetVirtualTime(true);
             Sleep(60000);
         }},
    };
    sim::Machine fresh;
    sim::BuildDefaultMachine(fresh);
    const std::string built = Observe(fresh);

    sim::Machine machine;
    const sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);
    const auto snapshot = machine.Snapshot();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        {
            sim::ActiveMachine active(machine);
            row.change(machine, nodes);
        }
        ASSERT_NE(Observe(machine), built) << "the change shows";
        machine.Restore(*snapshot);
        EXPECT_EQ(Observe(machine), built);
        EXPECT_TRUE(machine.tree == fresh.tree);
    }
}

} // namespace
