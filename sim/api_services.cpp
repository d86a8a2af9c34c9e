// The service control manager's side of a service process: the control dispatcher,
// handler registration and status reports. A test launches the service, runs the
// program's entry on a thread of its own, and sends controls.
#include "sim/api.h"
#include "sim/identity.h"
#include "sim/processes.h"

#include <atomic>
#include <cstdio>
#include <cstring>

using namespace sim;
using namespace sim::api;

namespace {
SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<std::uintptr_t>(0x5E00));
}

// ---------------------------------------------------------------- for tests
void sim::LaunchService(Machine& machine, std::u16string name)
{
    std::lock_guard lock(machine.mutex);
    auto& service = machine.processes().service;
    service = ServiceController{};
    service.launched = true;
    service.name = std::move(name);
    // The process's dispatcher thread starts next: the clock waits for it.
    machine.ExpectThread();
    // Each start is a process of its own.
    static std::atomic<DWORD> next_id{0x1400};
    machine.service_process_id = next_id += 4;
}

bool sim::SendControl(Machine& machine, DWORD control, DWORD timeout_ms)
{
    std::unique_lock lock(machine.mutex);
    auto& service = machine.processes().service;
    if (!service.handler || service.stopped) return false;
    service.controls.push_back(control);
    std::uint64_t ticket = ++service.sent;
    machine.Notify();
    return WaitUntil(machine, lock, timeout_ms, [&] { return service.handled >= ticket; });
}

void sim::AbandonService(Machine& machine)
{
    std::lock_guard lock(machine.mutex);
    machine.processes().service.abandoned = true;
    machine.Notify();
}

std::vector<StatusReport> sim::StatusReports(Machine& machine)
{
    std::lock_guard lock(machine.mutex);
    return machine.processes().service.reports;
}

bool sim::WaitForServiceState(Machine& machine, DWORD state, DWORD timeout_ms)
{
    std::unique_lock lock(machine.mutex);
    auto& service = machine.processes().service;
    return WaitUntil(machine, lock, timeout_ms, [&] {
        for (const auto& r : service.reports)
            if (r.status.dwCurrentState == state) return true;
        return false;
    });
}

namespace {
thread_local bool t_service_thread = false;
} // namespace

bool sim::CallerIsService() { return t_service_thread; }

// ---------------------------------------------------------------- the event log
namespace {
class EventSource : public KernelObject {
public:
    explicit EventSource(std::string source) : source(std::move(source)) {}
    const char* kind() const override { return "event source"; }
    const std::string source;
};
} // namespace

extern "C" HANDLE WINAPI RegisterEventSourceW(LPCWSTR server, LPCWSTR source)
{
    Call call("RegisterEventSourceW", {P(server)}, Text(source));
    if (call.failed()) return call.FailHandle(nullptr);
    if (server || !source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return call.machine.AddHandle(std::make_shared<EventSource>(Narrow(source)));
}

extern "C" BOOL WINAPI ReportEventW(HANDLE log, WORD type, WORD category, DWORD eventId, PVOID userSid, WORD strings,
                                    DWORD dataSize, LPCWSTR* text, PVOID data)
{
    Call call("ReportEventW", {P(log), type, category, eventId, P(userSid), strings, dataSize, P(data)});
    if (call.failed()) return call.FailBool();
    auto source = std::dynamic_pointer_cast<EventSource>(call.machine.Object(log));
    if (!source || (strings && !text)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The source, the whole event ID (severity bits and all) with its type, and the
    // insertion strings: what a message file turns into the event's text.
    char head[48];
    std::snprintf(head, sizeof head, " event 0x%08X (type %u):", static_cast<unsigned>(eventId),
                  static_cast<unsigned>(type));
    std::string entry = source->source + head;
    for (WORD i = 0; i < strings; ++i) entry += " " + (text[i] ? Narrow(text[i]) : std::string());
    call.machine.event_log.push_back(entry);
    return TRUE;
}

extern "C" BOOL WINAPI DeregisterEventSource(HANDLE log)
{
    Call call("DeregisterEventSource", {P(log)});
    if (call.failed()) return call.FailBool();
    if (!std::dynamic_pointer_cast<EventSource>(call.machine.Object(log)) || !call.machine.CloseObject(log)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------- the service calls
extern "C" BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table)
{
    Call call("StartServiceCtrlDispatcherW", {P(table)});
    if (call.failed()) return call.FailBool();
    auto& service = call.machine.processes().service;
    if (!service.launched || service.dispatching) {
        SetLastError(service.dispatching ? ERROR_SERVICE_ALREADY_RUNNING : ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (!table) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LPSERVICE_MAIN_FUNCTIONW main = nullptr;
    for (const SERVICE_TABLE_ENTRYW* e = table; e->lpServiceName; ++e)
        if (EqualNoCase(e->lpServiceName, service.name)) main = e->lpServiceProc;
    if (!main) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    service.dispatching = true;
    service.main = main;
    // The service main function runs on a thread of its own, with the service's name
    // as its one argument.
    std::u16string name = service.name;
    Machine* machine = &call.machine;
    // The dispatcher's thread and the service's are threads of the service process.
    const DWORD process_id = call.machine.service_process_id;
    InProcess in_service(process_id);
    call.machine.ExpectThread();
    std::thread main_thread([main, name, machine, process_id]() mutable {
        t_service_thread = true;  // a service's calls are not interactive
        InProcess in_service(process_id);
        LPWSTR argv[] = {name.data(), nullptr};
        {
            TakePart part(*machine, false, true);
            main(1, argv);
        }
        std::lock_guard lock(machine->mutex);
        machine->processes().service.main_returned = true;
        machine->Notify();
    });
    // Controls are delivered here, on the dispatcher's thread, until the service has
    // reported SERVICE_STOPPED.
    auto& lock = call.lock();
    {
        TakePart part(call.machine, false, true);  // LaunchService expected this thread
        for (;;) {
            auto over = [&] {
                return service.stopped || service.abandoned || (service.main_returned && !service.handler);
            };
            WaitUntil(call.machine, lock, INFINITE, [&] { return over() || !service.controls.empty(); });
            if (over()) break;
            DWORD control = service.controls.front();
            service.controls.pop_front();
            LPHANDLER_FUNCTION handler = service.handler;
            lock.unlock();
            if (handler) handler(control);
            lock.lock();
            ++service.handled;
            call.machine.Notify();
        }
    }
    service.handled = service.sent;  // controls that arrive too late are dropped
    service.dispatching = false;
    call.machine.Notify();
    lock.unlock();
    main_thread.join();
    lock.lock();
    return TRUE;
}

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler)
{
    Call call("RegisterServiceCtrlHandlerW", {P(reinterpret_cast<void*>(handler))}, Text(name));
    if (call.failed()) return reinterpret_cast<SERVICE_STATUS_HANDLE>(call.FailHandle(nullptr));
    auto& service = call.machine.processes().service;
    if (!service.dispatching || !name || !EqualNoCase(name, service.name)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (!handler) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    service.handler = handler;
    return kStatusHandle;
}

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    Call call("SetServiceStatus", {P(handle), status ? status->dwCurrentState : 0u, status ? status->dwCheckPoint : 0u},
              "");
    if (call.failed()) return call.FailBool();
    auto& service = call.machine.processes().service;
    if (handle != kStatusHandle || !service.dispatching) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!status || status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > 7) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    // Reference: SERVICE_STATUS and SetServiceStatus. Nothing may follow SERVICE_STOPPED
    // (the process may be gone by then); a pending state carries a wait hint and a check
    // point that does not go back within it; any other state carries neither.
    const DWORD state = status->dwCurrentState;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
    auto broke = [&](const char* rule) {
        service.broken_rules.push_back(std::string(rule) + " (state " + std::to_string(state) + ", check point " +
                                       std::to_string(status->dwCheckPoint) + ", wait hint " +
                                       std::to_string(status->dwWaitHint) + ")");
    };
    const SERVICE_STATUS* last = service.reports.empty() ? nullptr : &service.reports.back().status;
    if (service.stopped) broke("a report after SERVICE_STOPPED");
    if (pending && status->dwWaitHint == 0) broke("a pending state without a wait hint");
    if (pending && status->dwCheckPoint == 0) broke("a pending state with check point 0");
    if (pending && last && last->dwCurrentState == state && status->dwCheckPoint < last->dwCheckPoint)
        broke("the check point went back");
    if (!pending && (status->dwCheckPoint != 0 || status->dwWaitHint != 0))
        broke("a check point or wait hint outside a pending state");
    service.reports.push_back({*status, call.machine.Outstanding().handles});
    if (status->dwCurrentState == SERVICE_STOPPED) service.stopped = true;
    call.machine.Notify();
    return TRUE;
}

// ---------------------------------------------------------------- the service control manager's queries
namespace {

class ServiceManagerObject : public KernelObject {
public:
    const char* kind() const override { return "service control manager"; }
};

class ServiceObject : public KernelObject {
public:
    ServiceObject(std::u16string name, DWORD access) : name(std::move(name)), access(access) {}
    const char* kind() const override { return "service"; }
    const std::u16string name;
    const DWORD access;
};

// The services the manager knows: those with a key under Services, and the one launched.
bool Installed(Machine& machine, const std::u16string& name)
{
    const auto& service = machine.processes().service;
    if (service.launched && EqualNoCase(service.name, name)) return true;
    return name.find_first_of(u"\\/") == std::u16string::npos &&
           machine.registry.Key(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name) != nullptr;
}

// The latest status the service reported, and its process while it runs (reference:
// QueryServiceStatusEx: the process identifier is not valid once the service has stopped).
SERVICE_STATUS_PROCESS StatusOf(Machine& machine, const std::u16string& name)
{
    SERVICE_STATUS_PROCESS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    const auto& service = machine.processes().service;
    if (!service.launched || !EqualNoCase(service.name, name)) return status;
    if (!service.reports.empty()) {
        const SERVICE_STATUS& last = service.reports.back().status;
        std::memcpy(&status, &last, sizeof last);
    } else {
        status.dwCurrentState = SERVICE_START_PENDING;
    }
    if (service.stopped || service.abandoned) {
        status.dwCurrentState = SERVICE_STOPPED;
        return status;
    }
    status.dwProcessId = machine.service_process_id;
    return status;
}

} // namespace

extern "C" SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess)
{
    Call call("OpenSCManagerW", {P(machineName), P(databaseName), desiredAccess});
    if (call.failed()) return static_cast<SC_HANDLE>(call.FailHandle(nullptr));
    // This machine's manager only.
    if (machineName && *machineName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return static_cast<SC_HANDLE>(call.machine.AddHandle(std::make_shared<ServiceManagerObject>()));
}

extern "C" SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess)
{
    Call call("OpenServiceW", {P(manager), desiredAccess}, Text(serviceName));
    if (call.failed()) return static_cast<SC_HANDLE>(call.FailHandle(nullptr));
    if (!std::dynamic_pointer_cast<ServiceManagerObject>(call.machine.Object(manager))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!serviceName || !*serviceName) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (!Installed(call.machine, serviceName)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return static_cast<SC_HANDLE>(call.machine.AddHandle(std::make_shared<ServiceObject>(serviceName, desiredAccess)));
}

extern "C" BOOL WINAPI QueryServiceStatusEx(SC_HANDLE handle, SC_STATUS_TYPE infoLevel, LPBYTE buffer, DWORD bufferSize,
                                            LPDWORD bytesNeeded)
{
    Call call("QueryServiceStatusEx", {P(handle), static_cast<std::uint64_t>(infoLevel), P(buffer), bufferSize});
    if (call.failed()) return call.FailBool();
    auto service = std::dynamic_pointer_cast<ServiceObject>(call.machine.Object(handle));
    if (!service) return Fail(ERROR_INVALID_HANDLE);
    if (!(service->access & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED);
    if (infoLevel != SC_STATUS_PROCESS_INFO) return Fail(ERROR_INVALID_LEVEL);
    if (!bytesNeeded) return Fail(ERROR_INVALID_PARAMETER);
    if (!buffer || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) {
        *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    const SERVICE_STATUS_PROCESS status = StatusOf(call.machine, service->name);
    std::memcpy(buffer, &status, sizeof status);
    return TRUE;
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE handle)
{
    Call call("CloseServiceHandle", {P(handle)});
    auto object = call.machine.Object(handle);
    // A release that is made to fail still releases, as CloseHandle's does.
    if (call.failed()) {
        if (std::dynamic_pointer_cast<ServiceManagerObject>(object) || std::dynamic_pointer_cast<ServiceObject>(object))
            call.machine.CloseObject(handle);
        return call.FailBool();
    }
    if (!std::dynamic_pointer_cast<ServiceManagerObject>(object) && !std::dynamic_pointer_cast<ServiceObject>(object))
        return Fail(ERROR_INVALID_HANDLE);
    call.machine.CloseObject(handle);
    return TRUE;
}
