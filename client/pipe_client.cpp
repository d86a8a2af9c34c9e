#include "client/pipe_client.h"

namespace px71client {
namespace {

const WCHAR kPipeName[] = W16("\\\\.\\pipe\\PX71Service");
const WCHAR kEventName[] = W16("Global\\PX71Service");
const WCHAR kServiceName[] = W16("PX71Service");
// What a client, and the service, need of the shared event: to wait on it, to signal and reset it.
constexpr DWORD kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;
// The server learns who the client is and nothing more: it cannot act as the client.
constexpr DWORD kPipeOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// Opens the pipe, waiting while another client holds it, until the deadline.
Outcome OpenPipe(const WCHAR* name, ULONGLONG deadline, px71::UniqueFile& pipe, DWORD& error)
{
    for (;;) {
        pipe.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kPipeOpenFlags, nullptr));
        if (pipe) return Outcome::kAnswered;
        error = GetLastError();
        if (error == ERROR_ACCESS_DENIED) return Outcome::kRefused;
        if (error != ERROR_PIPE_BUSY) return Outcome::kNoService;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return Outcome::kBusy;
        // Never 0 here: that would mean "the pipe's default time-out".
        DWORD wait = static_cast<DWORD>(deadline - now);
        if (!WaitNamedPipeW(name, wait ? wait : 1)) {
            error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND) return Outcome::kNoService;
        }
    }
}

// The process PX71Service runs in, as the service control manager tells it: 0 when the
// service is not running. False, with the error, when the manager cannot tell.
bool RunningServiceProcess(DWORD& process, DWORD& error)
{
    px71::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    px71::UniqueServiceHandle service(manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS)
                                              : nullptr);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                          sizeof status, &needed)) {
        error = GetLastError();
        return false;
    }
    // Only a running service's process identifier is valid (reference: QueryServiceStatusEx).
    process = status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
    return true;
}

// While the service is stopped or being replaced, any local user can create a pipe of
// its name: only the process the service runs in may have our request.
bool ServedByTheService(HANDLE pipe, Answer& answer)
{
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) {
        answer.error = GetLastError();
        return false;
    }
    answer.server_process = server;
    DWORD service = 0;
    return RunningServiceProcess(service, answer.error) && service != 0 && service == server;
}

Answer Exchange(const WCHAR* pipeName, bool checkServer, const PipeRequest& request, PipeRequest& reply,
                DWORD timeoutMs)
{
    Answer answer;
    px71::UniqueHandle event = OpenSharedEvent();
    if (!event) {
        answer.outcome = Outcome::kNoEvent;
        answer.error = GetLastError();
        return answer;
    }
    px71::UniqueFile pipe;
    answer.outcome = OpenPipe(pipeName, GetTickCount64() + timeoutMs, pipe, answer.error);
    if (answer.outcome != Outcome::kAnswered) return answer;
    if (checkServer && !ServedByTheService(pipe.get(), answer)) {
        answer.outcome = Outcome::kNotTheService;
        return answer;
    }
    // Every client shares the event. It may be left signalled by an earlier request, so
    // it is reset, but only now that the pipe is ours: the service lets the next client
    // in only after the last one has read its reply, so no other client still waits for
    // the signal. A reset before the open could swallow the signal of a client that was
    // being served meanwhile, which would then wait in vain and lose its reply.
    ResetEvent(event.get());

    DWORD written = 0;
    if (!WriteFile(pipe.get(), &request, sizeof request, &written, nullptr) || written != sizeof request) {
        answer.outcome = Outcome::kSendFailed;
        answer.error = GetLastError();
        return answer;
    }
    DWORD wait = WaitForSingleObject(event.get(), timeoutMs);
    if (wait != WAIT_OBJECT_0) {
        answer.outcome = Outcome::kNoSignal;
        answer.error = wait == WAIT_TIMEOUT ? ERROR_SEM_TIMEOUT : GetLastError();
        return answer;
    }
    // The event may come before the reply is written: read until it is all here.
    reply = PipeRequest{};
    auto* bytes = reinterpret_cast<BYTE*>(&reply);
    while (answer.reply_bytes < sizeof reply) {
        DWORD got = 0;
        if (!ReadFile(pipe.get(), bytes + answer.reply_bytes, static_cast<DWORD>(sizeof reply) - answer.reply_bytes,
                      &got, nullptr) ||
            got == 0) {
            answer.outcome = Outcome::kShortReply;
            answer.error = GetLastError();
            return answer;
        }
        answer.reply_bytes += got;
    }
    answer.outcome = Outcome::kAnswered;
    return answer;
}

} // namespace

Answer Transact(const PipeRequest& request, PipeRequest& reply, DWORD timeoutMs) noexcept
{
    return Exchange(kPipeName, true, request, reply, timeoutMs);
}

Answer TransactOn(const WCHAR* pipeName, const PipeRequest& request, PipeRequest& reply, DWORD timeoutMs) noexcept
{
    return Exchange(pipeName, false, request, reply, timeoutMs);
}

px71::UniqueHandle OpenSharedEvent() noexcept
{
    // This process's user: its older clients open the event for every right (CreateEventW).
    px71::UniqueHandle token;
    HANDLE opened = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) token.reset(opened);
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!token || !GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size)) return {};
    // The others by SID, so that a Windows whose account names are not English builds the same list.
    const WELL_KNOWN_SID_TYPE accounts[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinInteractiveSid};
    BYTE sids[3][SECURITY_MAX_SID_SIZE];
    EXPLICIT_ACCESS_W entries[4] = {};
    for (int i = 0; i < 4; ++i) {
        PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
        if (i < 3) {
            size = sizeof sids[i];
            if (!CreateWellKnownSid(accounts[i], nullptr, sids[i], &size)) return {};
            sid = sids[i];
        }
        entries[i].grfAccessPermissions = i < 3 ? kEventAccess : EVENT_ALL_ACCESS;
        entries[i].grfAccessMode = GRANT_ACCESS;
        entries[i].grfInheritance = NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = i < 3 ? TRUSTEE_IS_WELL_KNOWN_GROUP : TRUSTEE_IS_USER;
        entries[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid);
    }
    PACL acl = nullptr;
    if (DWORD status = SetEntriesInAclW(4, entries, nullptr, &acl); status != ERROR_SUCCESS) {
        SetLastError(status);
        return {};
    }
    px71::UniqueLocal acl_block(acl);
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
        return {};
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    // CreateEventW would open another user's event for every right, which the list grants
    // only its maker: ask for the two it grants everyone (reference: CreateEventExW).
    return px71::UniqueHandle(CreateEventExW(&attributes, kEventName, CREATE_EVENT_MANUAL_RESET, kEventAccess));
}

const char* Describe(Outcome outcome) noexcept
{
    switch (outcome) {
    case Outcome::kAnswered: return "answered";
    case Outcome::kNoService: return "the service PX71Service is not running (no pipe \\\\.\\pipe\\PX71Service)";
    case Outcome::kRefused:
        return "the service PX71Service refused this client (access denied: it serves local users only)";
    case Outcome::kBusy: return "the service stayed busy with other clients past the time-out";
    case Outcome::kNoEvent: return "could not create the event Global\\PX71Service";
    case Outcome::kSendFailed: return "could not send the request";
    case Outcome::kNoSignal: return "the service did not signal completion within the time-out";
    case Outcome::kShortReply: return "the service closed the connection before the whole reply came";
    case Outcome::kNotTheService:
        return "the pipe \\\\.\\pipe\\PX71Service is not served by the PX71Service service";
    }
    return "unknown outcome";
}

} // namespace px71client
