/* Asks PX71Service over its pipe, as an unprivileged program does: no PX71.dll, only
 * pipe_request.h and the Win32 API. Sends the device check (command 14), then asks for
 * the names of the cards below the first EHCI controller (command 11) until the
 * answer is 0. A 32-bit program talks to the 64-bit service the same way.
 * usage: pipe_client [TIMEOUT_MS]   (how long to wait for the service, default 10000)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <aclapi.h>

#include "pipe_request.h"

static const WCHAR kPipe[] = L"\\\\.\\pipe\\PX71Service";

/* The event every client shares. SYSTEM, Administrators and every interactive user may
 * wait on it and signal it, so that another user's client can use it while this one
 * holds it; this user may do anything with it, as this user's older clients ask
 * (CreateEventW opens an existing event for every right). CreateEventExW asks for just
 * the two rights every user has. */
static HANDLE OpenSharedEvent(void)
{
    const WELL_KNOWN_SID_TYPE accounts[3] = {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinInteractiveSid};
    BYTE sids[3][SECURITY_MAX_SID_SIZE];
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } me;
    EXPLICIT_ACCESS_W entries[4];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    HANDLE token, event = NULL;
    PACL acl = NULL;
    DWORD size = 0, error;
    BOOL known;
    int i;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return NULL;
    known = GetTokenInformation(token, TokenUser, &me, sizeof me, &size);
    error = GetLastError();
    CloseHandle(token);
    if (!known) {
        SetLastError(error);
        return NULL;
    }
    memset(entries, 0, sizeof entries);
    for (i = 0; i < 4; i++) {
        PSID sid = me.user.User.Sid;
        if (i < 3) {
            size = sizeof sids[i];
            if (!CreateWellKnownSid(accounts[i], NULL, sids[i], &size)) return NULL;
            sid = sids[i];
        }
        entries[i].grfAccessPermissions = i < 3 ? SYNCHRONIZE | EVENT_MODIFY_STATE : EVENT_ALL_ACCESS;
        entries[i].grfAccessMode = GRANT_ACCESS;
        entries[i].grfInheritance = NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = i < 3 ? TRUSTEE_IS_WELL_KNOWN_GROUP : TRUSTEE_IS_USER;
        entries[i].Trustee.ptstrName = (LPWSTR)sid;
    }
    error = SetEntriesInAclW(4, entries, NULL, &acl);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return NULL;
    }
    if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = FALSE;
        event = CreateEventExW(&attributes, L"Global\\PX71Service", CREATE_EVENT_MANUAL_RESET,
                               SYNCHRONIZE | EVENT_MODIFY_STATE);
    }
    error = GetLastError();
    LocalFree(acl);
    SetLastError(error);
    return event;
}

/* While the service is stopped or being replaced, any local user can create a pipe of
 * its name. Nothing goes to a pipe that the running PX71Service does not serve: returns
 * 0 when it does, else ERROR_ACCESS_DENIED or the error that kept it from being told. */
static DWORD CheckServer(HANDLE pipe, ULONG* server)
{
    SC_HANDLE manager, service;
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0, error = 0;
    *server = 0;
    if (!GetNamedPipeServerProcessId(pipe, server)) return GetLastError();
    manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    service = manager ? OpenServiceW(manager, L"PX71Service", SERVICE_QUERY_STATUS) : NULL;
    if (!service || !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof status, &needed))
        error = GetLastError();
    /* Only a running service's process identifier is valid. */
    else if (status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId != *server)
        error = ERROR_ACCESS_DENIED;
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return error;
}

/* One request, one connection. Returns 0 with the reply in *request, else a Win32
 * error code. */
static DWORD Ask(HANDLE event, PipeRequest* request, DWORD timeoutMs)
{
    /* Open the pipe; another client may hold it for a while. */
    /* At identification level: the service may learn who asks, not act as the asker. */
    HANDLE pipe;
    for (;;) {
        pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
        if (pipe != INVALID_HANDLE_VALUE) break;
        DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(kPipe, timeoutMs)) return error;
    }
    ULONG server;
    DWORD refused = CheckServer(pipe, &server);
    if (refused) {
        printf("the pipe \\\\.\\pipe\\PX71Service is not served by the PX71Service service (process %lu); "
               "nothing was sent\n",
               server);
        CloseHandle(pipe);
        return refused;
    }
    /* Only now, with the pipe ours, may the shared event be reset: before, it could
     * still carry the signal another client waits for. */
    ResetEvent(event);

    DWORD error = 0, done = 0;
    if (!WriteFile(pipe, request, sizeof *request, &done, NULL) || done != sizeof *request) {
        error = GetLastError();
    } else if (WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) {
        error = ERROR_SEM_TIMEOUT;
    } else {
        /* The event comes once the command has run; the reply may arrive in parts. */
        BYTE* bytes = (BYTE*)request;
        DWORD got = 0;
        while (got < sizeof *request) {
            if (!ReadFile(pipe, bytes + got, sizeof *request - got, &done, NULL) || done == 0) {
                error = GetLastError() ? GetLastError() : ERROR_BROKEN_PIPE;
                break;
            }
            got += done;
        }
    }
    CloseHandle(pipe);
    return error;
}

int main(int argc, char** argv)
{
    DWORD timeout = argc > 1 ? (DWORD)strtoul(argv[1], NULL, 0) : 10000;
    /* The service only opens and signals this event; the clients create it. */
    HANDLE event = OpenSharedEvent();
    if (!event) {
        printf("cannot create the event Global\\PX71Service (error %lu)\n", GetLastError());
        return 1;
    }

    PipeRequest request;
    memset(&request, 0, sizeof request);
    request.Command = PX71_CMD_CHECK_DEVICE;
    DWORD error = Ask(event, &request, timeout);
    if (error) {
        printf("PX71Service did not answer (error %lu)\n", error);
        CloseHandle(event);
        return 1;
    }
    printf("device check: 0x%02X (LastError %lu)\n", (unsigned)request.Result, (unsigned long)request.LastError);

    uint32_t card;
    for (card = 0;; card++) {
        memset(&request, 0, sizeof request);
        request.Command = PX71_CMD_GET_EHCI_EXPRESS_CARD_NAME;
        request.ControllerIndex = 0;
        request.CardIndex = card;
        request.CardNameSize = PX71_CARD_NAME_UNITS;
        error = Ask(event, &request, timeout);
        if (error) {
            printf("PX71Service did not answer (error %lu)\n", error);
            CloseHandle(event);
            return 1;
        }
        if (request.Result == 0) break;
        /* At most 64 units, not always terminated (reader slots' names). */
        char name[PX71_CARD_NAME_UNITS + 1];
        int i;
        for (i = 0; i < PX71_CARD_NAME_UNITS && request.CardName[i]; i++)
            name[i] = request.CardName[i] < 0x80 ? (char)request.CardName[i] : '?';
        name[i] = 0;
        printf("EHCI controller 0 card %lu: kind %ld, %s\n", (unsigned long)card, (long)request.Result, name);
    }
    printf("EHCI controller 0: %lu cards\n", (unsigned long)card);
    CloseHandle(event);
    return 0;
}
