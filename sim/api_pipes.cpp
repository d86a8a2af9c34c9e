// Named pipes (byte mode, one instance per name), file I/O on any handle, and the
// overlapped results of the server end's connect and read.
#include "sim/api.h"
#include "sim/identity.h"
#include "sim/named_pipe.h"
#include "sim/processes.h"

#include <algorithm>
#include <cstring>

using namespace sim;
using namespace sim::api;

namespace {

constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusPipeDisconnected = 0xC00000B0;
constexpr ULONG_PTR kStatusPipeBroken = 0xC000014B;

DWORD ErrorOf(ULONG_PTR status)
{
    switch (status) {
    case kStatusCancelled: return ERROR_OPERATION_ABORTED;
    case kStatusPipeDisconnected: return ERROR_PIPE_NOT_CONNECTED;
    case kStatusPipeBroken: return ERROR_BROKEN_PIPE;
    default: return ERROR_GEN_FAILURE;
    }
}

void SignalEventOf(Machine& machine, LPOVERLAPPED ov, bool signalled)
{
    if (!ov || !ov->hEvent) return;
    if (auto event = std::dynamic_pointer_cast<EventHandle>(machine.Object(ov->hEvent)))
        event->event->signalled = signalled;
}

void Complete(Machine& machine, LPOVERLAPPED ov, ULONG_PTR status, DWORD transferred)
{
    if (!ov) return;
    ov->InternalHigh = transferred;
    ov->Internal = status;
    SignalEventOf(machine, ov, true);
    machine.Notify();
}

DWORD Take(std::deque<std::uint8_t>& from, void* buffer, DWORD size)
{
    DWORD n = static_cast<DWORD>(std::min<std::size_t>(size, from.size()));
    std::copy_n(from.begin(), n, static_cast<std::uint8_t*>(buffer));
    from.erase(from.begin(), from.begin() + n);
    return n;
}

void FailPending(Machine& machine, PipeInstance& pipe, ULONG_PTR status)
{
    auto pending = std::move(pipe.pending);
    pipe.pending.clear();
    for (auto& p : pending) Complete(machine, p.ov, status, 0);
}

// The server end of a pipe handle, or null (last error set).
std::shared_ptr<PipeServerEnd> ServerEnd(Machine& machine, HANDLE handle)
{
    auto object = machine.Object(handle);
    auto server = std::dynamic_pointer_cast<PipeServerEnd>(object);
    if (!server) SetLastError(object ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
    return server;
}

DWORD NotConnectedError(const PipeInstance& pipe)
{
    return pipe.state == PipeInstance::kListening ? ERROR_PIPE_LISTENING : ERROR_PIPE_NOT_CONNECTED;
}

} // namespace

// ---------------------------------------------------------------- the pipe's two ends
void sim::ProgressPipe(Machine& machine, PipeInstance& pipe)
{
    for (std::size_t i = 0; i < pipe.pending.size();) {
        PendingIo io = pipe.pending[i];
        if (io.kind != PendingIo::kRead) {
            ++i;
            continue;
        }
        if (!pipe.to_server.empty()) {
            DWORD n = Take(pipe.to_server, io.buffer, io.size);
            pipe.server_has_read = true;
            pipe.pending.erase(pipe.pending.begin() + static_cast<std::ptrdiff_t>(i));
            Complete(machine, io.ov, kStatusSuccess, n);
        } else if (!pipe.client_open && pipe.state == PipeInstance::kConnected) {
            pipe.pending.erase(pipe.pending.begin() + static_cast<std::ptrdiff_t>(i));
            Complete(machine, io.ov, kStatusPipeBroken, 0);
        } else {
            ++i;
        }
    }
    machine.Notify();
}

void PipeServerEnd::Closed()
{
    Machine& machine = Current();
    pipe->server_open = false;
    pipe->pending.clear();
    auto& pipes = machine.processes().pipes;
    auto it = pipes.find(Lower(pipe->name));
    if (it != pipes.end() && it->second == pipe) pipes.erase(it);
    if (pipe->state != PipeInstance::kConnected) pipe->to_client.clear();
}

void PipeClientEnd::Closed()
{
    if (!Current()) return;
    pipe->client_open = false;
    ProgressPipe(sim::Current(), *pipe);
}

namespace {

class ServerIo : public PipeServerEnd {
public:
    using PipeServerEnd::PipeServerEnd;

    BOOL Read(Machine& machine, std::unique_lock<std::recursive_mutex>& lock, void* buffer, DWORD size, DWORD* done,
              LPOVERLAPPED ov) override
    {
        if (done) *done = 0;
        SignalEventOf(machine, ov, false);
        auto ready = [&] { return pipe->state != PipeInstance::kConnected || !pipe->to_server.empty() || !pipe->client_open; };
        if (!ready() && !ov) WaitUntil(machine, lock, INFINITE, ready);
        if (pipe->state != PipeInstance::kConnected) {
            SetLastError(NotConnectedError(*pipe));
            return FALSE;
        }
        if (!pipe->to_server.empty()) {
            DWORD n = Take(pipe->to_server, buffer, size);
            pipe->server_has_read = true;
            if (done) *done = n;
            Complete(machine, ov, kStatusSuccess, n);
            return TRUE;
        }
        if (!pipe->client_open) {
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
        ov->Internal = STATUS_PENDING;
        pipe->pending.push_back({PendingIo::kRead, ov, buffer, size});
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }

    BOOL Write(Machine& machine, std::unique_lock<std::recursive_mutex>&, const void* buffer, DWORD size, DWORD* done,
               LPOVERLAPPED ov) override
    {
        if (done) *done = 0;
        SignalEventOf(machine, ov, false);
        if (pipe->state != PipeInstance::kConnected) {
            SetLastError(NotConnectedError(*pipe));
            return FALSE;
        }
        if (!pipe->client_open) {
            SetLastError(ERROR_NO_DATA);
            return FALSE;
        }
        // Writes are taken whole; the client reads them when it will.
        auto bytes = static_cast<const std::uint8_t*>(buffer);
        pipe->to_client.insert(pipe->to_client.end(), bytes, bytes + size);
        if (done) *done = size;
        Complete(machine, ov, kStatusSuccess, size);
        return TRUE;
    }

    // Returns when the client has read everything written to it.
    BOOL Flush(Machine& machine, std::unique_lock<std::recursive_mutex>& lock) override
    {
        std::uint64_t connection = pipe->connection;
        auto ready = [&] {
            return pipe->to_client.empty() || !pipe->client_open || pipe->state != PipeInstance::kConnected ||
                   pipe->connection != connection;
        };
        WaitUntil(machine, lock, INFINITE, ready);
        if (pipe->state != PipeInstance::kConnected || pipe->connection != connection) {
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
            return FALSE;
        }
        if (!pipe->to_client.empty()) {
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
        return TRUE;
    }

    BOOL Cancel(Machine& machine) override
    {
        FailPending(machine, *pipe, kStatusCancelled);
        return TRUE;
    }
};

class ClientIo : public PipeClientEnd {
public:
    using PipeClientEnd::PipeClientEnd;

    BOOL Read(Machine& machine, std::unique_lock<std::recursive_mutex>& lock, void* buffer, DWORD size, DWORD* done,
              LPOVERLAPPED ov) override
    {
        if (done) *done = 0;
        auto ready = [&] { return !Current() || !pipe->to_client.empty() || !pipe->server_open; };
        WaitUntil(machine, lock, INFINITE, ready);
        if (!Current()) {
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
            return FALSE;
        }
        if (pipe->to_client.empty()) {
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
        DWORD n = Take(pipe->to_client, buffer, size);
        ++pipe->client_reads;
        if (done) *done = n;
        Complete(machine, ov, kStatusSuccess, n);
        machine.Notify();
        return TRUE;
    }

    BOOL Write(Machine& machine, std::unique_lock<std::recursive_mutex>&, const void* buffer, DWORD size, DWORD* done,
               LPOVERLAPPED ov) override
    {
        if (done) *done = 0;
        if (!Current()) {
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
            return FALSE;
        }
        if (!pipe->server_open) {
            SetLastError(ERROR_NO_DATA);
            return FALSE;
        }
        auto bytes = static_cast<const std::uint8_t*>(buffer);
        pipe->to_server.insert(pipe->to_server.end(), bytes, bytes + size);
        if (done) *done = size;
        Complete(machine, ov, kStatusSuccess, size);
        ProgressPipe(machine, *pipe);
        return TRUE;
    }

    BOOL Flush(Machine& machine, std::unique_lock<std::recursive_mutex>& lock) override
    {
        auto ready = [&] { return !Current() || pipe->to_server.empty() || !pipe->server_open; };
        WaitUntil(machine, lock, INFINITE, ready);
        if (!Current()) {
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
            return FALSE;
        }
        return TRUE;
    }
};

} // namespace

namespace {

thread_local bool t_remote = false;

// The access check of an open (reference: "How DACLs Control Access to an Object"),
// against the calling thread's token, local or from another machine. A pipe made
// without an access list lets everyone in.
bool MayOpen(Machine& machine, const PipeInstance& pipe)
{
    if (t_remote && (pipe.pipe_mode & PIPE_REJECT_REMOTE_CLIENTS)) return false;
    return pipe.access.empty() || MayEnter(machine, pipe.access);
}

} // namespace

bool sim::CallerIsRemote() { return t_remote; }
sim::RemoteCaller::RemoteCaller() { t_remote = true; }
sim::RemoteCaller::~RemoteCaller() { t_remote = false; }

HANDLE sim::OpenPipeClient(Machine& machine, std::u16string_view name) { return OpenPipeClient(machine, name, 0); }

HANDLE sim::OpenPipeClient(Machine& machine, std::u16string_view name, DWORD flags)
{
    auto pipe = FindPipe(machine, name);
    if (!pipe) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (!MayOpen(machine, *pipe)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (pipe->state != PipeInstance::kListening) {
        SetLastError(ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    pipe->state = PipeInstance::kConnected;
    pipe->client_open = true;
    pipe->client_account = ThreadAccount(machine);
    pipe->server_has_read = false;
    ++pipe->connection;
    // What this client lets the server do as it (reference: CreateFile, SECURITY_SQOS_PRESENT).
    ClientQualityOfService& qos = AsNamedPipe(*pipe).client_qos;
    qos = ClientQualityOfService{};
    if (flags & SECURITY_SQOS_PRESENT) {
        qos.present = true;
        qos.level = static_cast<SECURITY_IMPERSONATION_LEVEL>((flags >> 16) & 3);
        qos.context_tracking = (flags & SECURITY_CONTEXT_TRACKING) != 0;
        qos.effective_only = (flags & SECURITY_EFFECTIVE_ONLY) != 0;
    }
    pipe->to_client.clear();
    pipe->to_server.clear();
    for (std::size_t i = 0; i < pipe->pending.size(); ++i) {
        if (pipe->pending[i].kind != PendingIo::kConnect) continue;
        LPOVERLAPPED ov = pipe->pending[i].ov;
        pipe->pending.erase(pipe->pending.begin() + static_cast<std::ptrdiff_t>(i));
        Complete(machine, ov, kStatusSuccess, 0);
        break;
    }
    machine.Notify();
    return machine.AddHandle(std::make_shared<ClientIo>(pipe, pipe->connection));
}

std::shared_ptr<PipeInstance> sim::FindPipe(Machine& machine, std::u16string_view name)
{
    std::lock_guard lock(machine.mutex);
    auto& pipes = machine.processes().pipes;
    auto it = pipes.find(Lower(name));
    return it == pipes.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------- pipe calls
extern "C" HANDLE WINAPI CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                          DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeOut,
                                          LPSECURITY_ATTRIBUTES sa)
{
    Call call("CreateNamedPipeW",
              {openMode, pipeMode, maxInstances, outBufferSize, inBufferSize, defaultTimeOut, P(sa)}, Text(name));
    if (call.failed()) return call.FailHandle(INVALID_HANDLE_VALUE);
    constexpr std::u16string_view kPrefix = u"\\\\.\\pipe\\";
    std::u16string_view path = name ? std::u16string_view(name) : std::u16string_view();
    if (path.size() <= kPrefix.size() || !PathEquals(path.substr(0, kPrefix.size()), kPrefix)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    // Byte pipes only; the machine has no use for message mode.
    if (maxInstances == 0 || maxInstances > 255 || (openMode & PIPE_ACCESS_DUPLEX) == 0 ||
        (pipeMode & ~static_cast<DWORD>(PIPE_REJECT_REMOTE_CLIENTS)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto& pipes = call.machine.processes().pipes;
    std::u16string key = Lower(path);
    if (pipes.count(key)) {
        SetLastError((openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) ? ERROR_ACCESS_DENIED : ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    auto pipe = std::make_shared<NamedPipe>();
    pipe->server_process_id = CallerProcessId(call.machine);
    pipe->name = std::u16string(path);
    pipe->open_mode = openMode;
    pipe->pipe_mode = pipeMode;
    pipe->max_instances = maxInstances;
    pipe->out_buffer = outBufferSize;
    pipe->in_buffer = inBufferSize;
    pipe->default_timeout = defaultTimeOut ? defaultTimeOut : 50;
    if (sa && sa->lpSecurityDescriptor) {
        auto* sd = static_cast<SECURITY_DESCRIPTOR*>(sa->lpSecurityDescriptor);
        if (auto* acl = static_cast<SimAcl*>(sd->Dacl)) {
            for (std::uint32_t i = 0; i < acl->count; ++i) {
                const auto& e = acl->entries[i];
                pipe->access.push_back({e.trustee, e.permissions, e.mode, e.inheritance});
            }
        }
    }
    pipes[key] = pipe;
    call.machine.Notify();
    return call.machine.AddHandle(std::make_shared<ServerIo>(pipe));
}

extern "C" BOOL WINAPI ConnectNamedPipe(HANDLE pipeHandle, LPOVERLAPPED ov)
{
    Call call("ConnectNamedPipe", {P(pipeHandle), P(ov)});
    if (call.failed()) return call.FailBool();
    auto server = ServerEnd(call.machine, pipeHandle);
    if (!server) return FALSE;
    auto& pipe = *server->pipe;
    SignalEventOf(call.machine, ov, false);
    if (pipe.state == PipeInstance::kConnected) {
        SetLastError(pipe.client_open ? ERROR_PIPE_CONNECTED : ERROR_NO_DATA);
        return FALSE;
    }
    for (const auto& p : pipe.pending) {
        if (p.kind == PendingIo::kConnect) {
            SetLastError(ERROR_PIPE_LISTENING);
            return FALSE;
        }
    }
    pipe.state = PipeInstance::kListening;
    call.machine.Notify();
    if (ov) {
        ov->Internal = STATUS_PENDING;
        pipe.pending.push_back({PendingIo::kConnect, ov, nullptr, 0});
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    std::uint64_t connection = pipe.connection;
    WaitUntil(call.machine, call.lock(), INFINITE,
              [&] { return pipe.connection != connection || pipe.state != PipeInstance::kListening; });
    if (pipe.state != PipeInstance::kConnected) {
        SetLastError(ERROR_PIPE_NOT_CONNECTED);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI DisconnectNamedPipe(HANDLE pipeHandle)
{
    Call call("DisconnectNamedPipe", {P(pipeHandle)});
    if (call.failed()) return call.FailBool();
    auto server = ServerEnd(call.machine, pipeHandle);
    if (!server) return FALSE;
    auto& pipe = *server->pipe;
    // Unread data goes; the client's handle is dead from now on.
    pipe.state = PipeInstance::kDisconnected;
    pipe.client_open = false;
    pipe.to_client.clear();
    pipe.to_server.clear();
    FailPending(call.machine, pipe, kStatusPipeDisconnected);
    call.machine.Notify();
    return TRUE;
}

extern "C" BOOL WINAPI WaitNamedPipeW(LPCWSTR name, DWORD timeout)
{
    Call call("WaitNamedPipeW", {timeout}, Text(name));
    if (call.failed()) return call.FailBool();
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto pipe = FindPipe(call.machine, name);
    if (!pipe) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    DWORD wait = timeout == NMPWAIT_USE_DEFAULT_WAIT ? pipe->default_timeout
                 : timeout == NMPWAIT_WAIT_FOREVER   ? INFINITE
                                                     : timeout;
    std::u16string key(name);
    bool ready = WaitUntil(call.machine, call.lock(), wait, [&] {
        auto now = FindPipe(call.machine, key);
        return !now || now->state == PipeInstance::kListening;
    });
    if (!FindPipe(call.machine, key)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!ready) {
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CancelIo(HANDLE file)
{
    Call call("CancelIo", {P(file)});
    if (call.failed()) return call.FailBool();
    auto object = HandleObject(call.machine, file);
    if (!object) return FALSE;
    return object->Cancel(call.machine);
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait)
{
    Call call("GetOverlappedResult", {P(file), P(ov), static_cast<std::uint64_t>(wait)});
    if (call.failed()) return call.FailBool();
    if (!ov || !transferred || !call.machine.Object(file)) {
        SetLastError(ov && transferred ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ov->Internal == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        WaitUntil(call.machine, call.lock(), INFINITE, [&] { return ov->Internal != STATUS_PENDING; });
    }
    *transferred = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal != kStatusSuccess) {
        SetLastError(ErrorOf(ov->Internal));
        return FALSE;
    }
    return TRUE;
}

// Either end tells the process that created the server end (reference:
// GetNamedPipeServerProcessId); a handle to anything else is not a pipe's.
extern "C" BOOL WINAPI GetNamedPipeServerProcessId(HANDLE pipeHandle, PULONG serverProcessId)
{
    Call call("GetNamedPipeServerProcessId", {P(pipeHandle), P(serverProcessId)});
    if (call.failed()) return call.FailBool();
    auto object = call.machine.Object(pipeHandle);
    std::shared_ptr<PipeInstance> pipe;
    if (auto server = std::dynamic_pointer_cast<PipeServerEnd>(object)) pipe = server->pipe;
    if (auto client = std::dynamic_pointer_cast<PipeClientEnd>(object)) pipe = client->pipe;
    if (!pipe) return Fail(ERROR_INVALID_HANDLE);
    if (!serverProcessId) return Fail(ERROR_INVALID_PARAMETER);
    *serverProcessId = AsNamedPipe(*pipe).server_process_id;
    return TRUE;
}
