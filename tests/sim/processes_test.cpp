// The simulator's second floor where the conformance suite cannot reach it: holds,
// the service control dispatcher's side that tests drive, and thread clean-up.
#include "sim/processes.h"
#include "support/machine_test.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using px71test::MachineTest;

TEST_F(MachineTest, AHeldCallWaitsUntilItIsReleased)
{
    machine.Hold("CreateEventW");
    std::atomic<HANDLE> event{nullptr};
    std::thread caller([&] { event = CreateEventW(nullptr, TRUE, FALSE, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(event.load(), nullptr);
    EXPECT_EQ(machine.CallCount("CreateEventW"), 1u);  // logged as it arrived
    machine.Release("CreateEventW");
    caller.join();
    ASSERT_NE(event.load(), nullptr);
    CloseHandle(event.load());
}

std::vector<DWORD>* g_seen = nullptr;
SERVICE_STATUS_HANDLE g_handle = nullptr;

void WINAPI RecordControl(DWORD control)
{
    g_seen->push_back(control);
    if (control == SERVICE_CONTROL_STOP) {
        SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
        SetServiceStatus(g_handle, &status);
    }
}

void WINAPI TinyService(DWORD, LPWSTR*)
{
    g_handle = RegisterServiceCtrlHandlerW(u"Tiny", RecordControl);
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(g_handle, &status);
}

TEST_F(MachineTest, TheDispatcherDeliversControlsInOrderAndReturnsOnceStopped)
{
    std::vector<DWORD> seen;
    g_seen = &seen;
    WCHAR name[] = u"Tiny";
    SERVICE_TABLE_ENTRYW table[] = {{name, TinyService}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherW(table));  // not launched by the service control manager
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));

    sim::LaunchService(machine, u"Tiny");
    EXPECT_FALSE(sim::SendControl(machine, SERVICE_CONTROL_INTERROGATE, 100));  // no handler yet
    BOOL dispatched = FALSE;
    std::thread entry([&] { dispatched = StartServiceCtrlDispatcherW(table); });
    ASSERT_TRUE(sim::WaitForServiceState(machine, SERVICE_RUNNING, 5000));
    EXPECT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_INTERROGATE, 5000));
    EXPECT_TRUE(sim::SendControl(machine, 128, 5000));
    EXPECT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
    entry.join();
    EXPECT_TRUE(dispatched);
    EXPECT_EQ(seen, (std::vector<DWORD>{SERVICE_CONTROL_INTERROGATE, 128, SERVICE_CONTROL_STOP}));
    EXPECT_FALSE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 100));  // gone
    auto reports = sim::StatusReports(machine);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    g_seen = nullptr;
}

} // namespace
