// The simulator's second floor where the conformance suite cannot reach it: holds,
// the service control dispatcher's side that tests drive, and thread clean-up.
#include "sim/files.h"
#include "sim/identity.h"
#include "sim/named_pipe.h"
#include "sim/processes.h"
#include "support/machine_test.h"

#include <atomic>
#include <cstring>
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
DWORD g_service_process = 0;

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
    g_service_process = GetCurrentProcessId();
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(g_handle, &status);
}

// The state and process the service control manager tells of a service, or the error.
DWORD QueryService(const char16_t* name, SERVICE_STATUS_PROCESS& status)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_QUERY_STATUS) : nullptr;
    DWORD needed = 0;
    DWORD error = service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                                  sizeof status, &needed)
                      ? ERROR_SUCCESS
                      : GetLastError();
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return error;
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
    // While it runs, the manager tells the process it runs in: its own, not this one.
    SERVICE_STATUS_PROCESS status{};
    ASSERT_EQ(QueryService(u"Tiny", status), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status.dwProcessId, g_service_process);
    EXPECT_NE(status.dwProcessId, GetCurrentProcessId());
    EXPECT_EQ(QueryService(u"Other", status), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
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
    ASSERT_EQ(QueryService(u"Tiny", status), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwProcessId, 0u) << "a stopped service has no process";
    g_seen = nullptr;
}

DWORD WINAPI MakeQosPipe(LPVOID server)
{
    *static_cast<HANDLE*>(server) =
        CreateNamedPipeW(u"\\\\.\\pipe\\Qos", PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 1000, nullptr);
    return 0;
}

// A pipe tells either end the process that created it, and records how far each
// client lets the server act as it.
TEST_F(MachineTest, APipeKnowsItsServersProcessAndEachClientsQualityOfService)
{
    const char16_t name[] = u"\\\\.\\pipe\\Qos";
    HANDLE server = INVALID_HANDLE_VALUE;
    {
        sim::InProcess other(0x777);  // made by a thread that another process started
        HANDLE thread = CreateThread(nullptr, 0, MakeQosPipe, &server, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    struct Case {
        DWORD flags;
        bool present;
        SECURITY_IMPERSONATION_LEVEL level;
    } cases[] = {
        {0, false, SecurityImpersonation},
        {SECURITY_IDENTIFICATION, false, SecurityImpersonation},  // the level counts only with SQOS_PRESENT
        {SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, true, SecurityAnonymous},
        {SECURITY_SQOS_PRESENT | SECURITY_DELEGATION | SECURITY_EFFECTIVE_ONLY, true, SecurityDelegation},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        OVERLAPPED ov{};
        ConnectNamedPipe(server, &ov);
        HANDLE client = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, c.flags, nullptr);
        ASSERT_NE(client, INVALID_HANDLE_VALUE);
        const auto& qos = sim::AsNamedPipe(*sim::FindPipe(machine, name)).client_qos;
        EXPECT_EQ(qos.present, c.present);
        EXPECT_EQ(qos.level, c.level);
        ULONG server_process = 0;
        EXPECT_TRUE(GetNamedPipeServerProcessId(client, &server_process));
        EXPECT_EQ(server_process, 0x777u);
        CloseHandle(client);
        DisconnectNamedPipe(server);
    }
    CloseHandle(server);
}

// A named event lets in whom its access list names, read in order. Made without one it
// gets its creator's default: the creator and SYSTEM. CreateEventW asks for every right.
TEST_F(MachineTest, ANamedEventLetsInOnlyWhomItsAccessListNames)
{
    const char16_t name[] = u"Global\\Shared";
    const sim::Machine::User alice{u"S-1-5-21-1-2-3-1001", sim::Account::kUser}, bob{u"S-1-5-21-1-2-3-1002", sim::Account::kUser},
        admin{u"S-1-5-21-1-2-3-500", sim::Account::kAdministrator},
        filtered{u"S-1-5-21-1-2-3-1003", sim::Account::kFilteredAdministrator};
    machine.user = alice;
    HANDLE alices = CreateEventW(nullptr, TRUE, FALSE, name);
    ASSERT_NE(alices, nullptr);
    machine.user = bob;
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, name), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(alices);

    // Administrators denied everything, then every interactive user granted a wait: a
    // filtered administrator's Administrators only denies, and that entry still does.
    BYTE sids[2][SECURITY_MAX_SID_SIZE];
    EXPLICIT_ACCESS_W entries[2] = {};
    for (int i = 0; i < 2; ++i) {
        DWORD size = sizeof sids[i];
        ASSERT_TRUE(CreateWellKnownSid(i ? WinInteractiveSid : WinBuiltinAdministratorsSid, nullptr, sids[i], &size));
        entries[i] = {i ? SYNCHRONIZE : EVENT_ALL_ACCESS, i ? GRANT_ACCESS : DENY_ACCESS, NO_INHERITANCE,
                      {nullptr, NO_MULTIPLE_TRUSTEE, TRUSTEE_IS_SID, TRUSTEE_IS_WELL_KNOWN_GROUP,
                       reinterpret_cast<LPWSTR>(sids[i])}};
    }
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(2, entries, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    alices = CreateEventExW(&attributes, name, CREATE_EVENT_MANUAL_RESET, SYNCHRONIZE);
    ASSERT_NE(alices, nullptr);
    for (const auto* who : {&bob, &admin, &filtered}) {
        machine.user = *who;
        HANDLE theirs = OpenEventW(SYNCHRONIZE, FALSE, name);
        EXPECT_EQ(theirs != nullptr, who == &bob);
        if (theirs) CloseHandle(theirs);
        EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, name), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    CloseHandle(alices);
    LocalFree(acl);
}

} // namespace

namespace {

// CreateProcessA finds the program file or says why not, records every call, and
// hands out process and thread handles that a wait completes when the process ends.
TEST_F(MachineTest, CreateProcessFindsTheProgramAndItsHandleCompletesAWaitWhenItEnds)
{
    machine.files().MakeFolder(u"C:\\Tools");
    machine.files().Write(u"C:\\Tools\\Main.exe", {});
    struct Case {
        const char* application;
        const char* command_line;
        DWORD error;
    } cases[] = {
        {"C:\\Tools\\Main.exe", "-c", ERROR_SUCCESS},
        {"c:\\tools\\MAIN.EXE", nullptr, ERROR_SUCCESS},          // Windows names ignore case
        {nullptr, "\"C:\\Tools\\Main.exe\" -c", ERROR_SUCCESS},   // the program from the command line
        {"C:\\Tools\\Other.exe", "-c", ERROR_FILE_NOT_FOUND},
        {"C:\\Nowhere\\Main.exe", "-c", ERROR_PATH_NOT_FOUND},
        {"C:\\Tools", "-c", ERROR_ACCESS_DENIED},
        {"Main.exe", "-c", ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.application ? c.application : c.command_line);
        const std::size_t before = sim::Launches(machine).size();
        char line[64] = {};
        if (c.command_line) std::strcpy(line, c.command_line);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        BOOL started = CreateProcessA(c.application, c.command_line ? line : nullptr, nullptr, nullptr, FALSE, 0,
                                      nullptr, nullptr, &startup, &info);
        auto launches = sim::Launches(machine);
        ASSERT_EQ(launches.size(), before + 1);
        EXPECT_EQ(launches.back().started, c.error == ERROR_SUCCESS);
        EXPECT_EQ(launches.back().startup_size, sizeof startup);
        EXPECT_TRUE(launches.back().startup_rest_zero);
        if (c.error != ERROR_SUCCESS) {
            EXPECT_FALSE(started);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_TRUE(started);
        EXPECT_EQ(machine.Outstanding().handles, 2u);  // the process and its thread
        // Processes end at once unless told to keep running.
        EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_OBJECT_0);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }

    machine.processes().programs_keep_running = true;
    char line[] = "-c";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = 1;  // STARTF_USESHOWWINDOW
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA("C:\\Tools\\Main.exe", line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info));
    EXPECT_FALSE(sim::Launches(machine).back().startup_rest_zero);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    std::thread ender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sim::EndProcess(machine, sim::Launches(machine).size() - 1, 7);
    });
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 5000), WAIT_OBJECT_0);
    ender.join();
    EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_OBJECT_0);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
}

} // namespace

// A pipe server learns its client's account only once the client's data was read
// (reference: ImpersonateNamedPipeClient), and an administrator whose token UAC
// filtered holds Administrators for deny only: no membership.
TEST_F(MachineTest, APipeServerSeesItsClientsAccount)
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    const std::pair<sim::Account, BOOL> cases[] = {
        {sim::Account::kAdministrator, TRUE}, {sim::Account::kUser, FALSE}, {sim::Account::kFilteredAdministrator, FALSE}};
    for (const auto& [account, administrator] : cases) {
        HANDLE server = CreateNamedPipeW(u"\\\\.\\pipe\\who", PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 0, nullptr);
        HANDLE client = INVALID_HANDLE_VALUE;
        {
            sim::CallerAccount as(account);
            client = CreateFileW(u"\\\\.\\pipe\\who", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        ASSERT_NE(client, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(ImpersonateNamedPipeClient(server)) << "nothing read yet";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_IMPERSONATE));
        BYTE byte = 1;
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(client, &byte, 1, &n, nullptr));
        ASSERT_TRUE(ReadFile(server, &byte, 1, &n, nullptr));
        ASSERT_TRUE(ImpersonateNamedPipeClient(server));
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
        EXPECT_TRUE(RevertToSelf());
        BOOL member = 2;
        EXPECT_TRUE(CheckTokenMembership(token, administrators, &member));
        EXPECT_EQ(member, administrator);
        CloseHandle(token);
        CloseHandle(client);
        CloseHandle(server);
    }
    HANDLE own = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own));
    BOOL member = FALSE;
    EXPECT_FALSE(CheckTokenMembership(own, administrators, &member)) << "a primary token";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_IMPERSONATION_TOKEN));
    CloseHandle(own);
}
