// Process creation: CreateProcessA records each launch and hands out a process handle
// that a wait completes once the process has ended.
#include "sim/api.h"
#include "sim/files.h"
#include "sim/processes.h"

#include <cstring>
#include <filesystem>

using namespace sim;
using namespace sim::api;

namespace {

// The program a launch names: the application name, or else the command line's first
// token (quoted or up to the first blank).
std::string ProgramOf(LPCSTR application, LPCSTR commandLine)
{
    if (application) return application;
    if (!commandLine) return {};
    std::string line = commandLine;
    if (!line.empty() && line[0] == '"') {
        auto close = line.find('"', 1);
        return line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    return line.substr(0, line.find_first_of(" \t"));
}

// ERROR_SUCCESS when a program file lies at the path, else the error CreateProcess gives.
DWORD FindProgram(Machine& machine, const std::string& program)
{
    if (program.empty()) return ERROR_FILE_NOT_FOUND;
    const std::u16string path = FromAnsi(program);
    std::filesystem::path host = machine.files().HostPath(path);
    if (host.empty()) return ERROR_FILE_NOT_FOUND;
    std::error_code ec;
    if (std::filesystem::is_regular_file(host, ec)) return ERROR_SUCCESS;
    if (std::filesystem::is_directory(host, ec)) return ERROR_ACCESS_DENIED;
    return std::filesystem::is_directory(host.parent_path(), ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

} // namespace

extern "C" BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSa,
                                      LPSECURITY_ATTRIBUTES threadSa, BOOL inherit, DWORD flags, LPVOID environment,
                                      LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info)
{
    Call call("CreateProcessA",
              {P(processSa), P(threadSa), static_cast<std::uint64_t>(inherit), flags, P(environment), P(directory),
               startup ? startup->cb : 0},
              Text(application) + " | " + Text(commandLine));
    if (call.failed()) return call.FailBool();
    auto& processes = call.machine.processes();
    ProcessLaunch launch;
    if (application) launch.application = application;
    if (commandLine) launch.command_line = commandLine;
    launch.process_attributes = processSa != nullptr;
    launch.thread_attributes = threadSa != nullptr;
    launch.inherit_handles = inherit;
    launch.creation_flags = flags;
    launch.environment = environment != nullptr;
    launch.current_directory = directory != nullptr;
    if (startup) {
        launch.startup_size = startup->cb;
        static const STARTUPINFOA zero{};
        launch.startup_rest_zero = std::memcmp(reinterpret_cast<const BYTE*>(startup) + sizeof startup->cb,
                                               reinterpret_cast<const BYTE*>(&zero) + sizeof zero.cb,
                                               sizeof zero - sizeof zero.cb) == 0;
    }
    if (!startup || !info || (!application && !commandLine)) {
        launch.error = ERROR_INVALID_PARAMETER;
    } else {
        launch.error = FindProgram(call.machine, ProgramOf(application, commandLine));
    }
    if (launch.error != ERROR_SUCCESS) {
        processes.launches.push_back(launch);
        call.machine.Notify();
        SetLastError(launch.error);
        return FALSE;
    }
    launch.started = true;
    launch.process = std::make_shared<ProcessState>();
    launch.primary_thread = std::make_shared<ThreadState>();
    if (!processes.programs_keep_running) {
        launch.process->ended = true;
        launch.process->exit_code = 0;
        launch.primary_thread->finished = true;
        launch.primary_thread->exit_code = 0;
    }
    static std::atomic<DWORD> next_id{0x800};
    info->hProcess = call.machine.AddHandle(std::make_shared<ProcessHandle>(launch.process));
    info->hThread = call.machine.AddHandle(std::make_shared<ThreadHandle>(launch.primary_thread));
    info->dwProcessId = next_id++;
    info->dwThreadId = next_id++;
    processes.launches.push_back(launch);
    call.machine.Notify();
    return TRUE;
}

std::vector<ProcessLaunch> sim::Launches(Machine& machine)
{
    std::lock_guard lock(machine.mutex);
    return machine.processes().launches;
}

bool sim::WaitForLaunches(Machine& machine, std::size_t count, DWORD timeout_ms)
{
    std::unique_lock lock(machine.mutex);
    return WaitUntil(machine, lock, timeout_ms, [&] { return machine.processes().launches.size() >= count; });
}

void sim::EndProcess(Machine& machine, std::size_t launch, DWORD exit_code)
{
    std::lock_guard lock(machine.mutex);
    auto& launches = machine.processes().launches;
    if (launch >= launches.size() || !launches[launch].process) return;
    launches[launch].process->ended = true;
    launches[launch].process->exit_code = exit_code;
    launches[launch].primary_thread->finished = true;
    launches[launch].primary_thread->exit_code = exit_code;
    machine.Notify();
}
