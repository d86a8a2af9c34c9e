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

#include "pipe_request.h"

static const WCHAR kPipe[] = L"\\\\.\\pipe\\PX71Service";

/* One request, one connection. Returns 0 with the reply in *request, else a Win32
 * error code. */
static DWORD Ask(HANDLE event, PipeRequest* request, DWORD timeoutMs)
{
    /* Open the pipe; another client may hold it for a while. */
    HANDLE pipe;
    for (;;) {
        pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (pipe != INVALID_HANDLE_VALUE) break;
        DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(kPipe, timeoutMs)) return error;
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
    /* The service only opens and signals this event; the client creates it. */
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, L"Global\\PX71Service");
    if (!event) {
        printf("cannot create the event Global\\PX71Service (error %lu)\n", GetLastError());
        return 1;
    }

    PipeRequest request;
    memset(&request, 0, sizeof request);
    request.Command = 14;
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
        request.Command = 11;
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
