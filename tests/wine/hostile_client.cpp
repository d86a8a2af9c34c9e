// A client of PX71Service that does not follow the protocol, for the Wine test:
//   silent   connects and sends nothing
//   short    sends 100 bytes of a request and waits for the reply
//   noread   sends a whole request and never reads the reply
// It holds the connection for up to 5 seconds, then prints what happened.
#include "platform/win32.h"
#include "service/pipe_request.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "silent") && std::strcmp(mode, "short") && std::strcmp(mode, "noread")) {
        std::fputs("usage: hostile_client silent|short|noread\n", stderr);
        return 2;
    }
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, W16("Global\\PX71Service"));
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 50 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        pipe = CreateFileW(W16("\\\\.\\pipe\\PX71Service"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) WaitNamedPipeW(W16("\\\\.\\pipe\\PX71Service"), 100);
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        std::printf("%s: could not connect (%lu)\n", mode, GetLastError());
        return 1;
    }
    std::printf("%s: connected\n", mode);
    std::fflush(stdout);
    PipeRequest request{};
    request.Command = 16;
    request.Result = 42;
    DWORD n = 0;
    int status = 0;
    if (!std::strcmp(mode, "silent")) {
        BYTE byte;
        ULONGLONG start = GetTickCount64();
        BOOL got = ReadFile(pipe, &byte, 1, &n, nullptr);  // returns when the service lets go
        std::printf("silent: let go after %llu ms (read %s)\n", GetTickCount64() - start, got ? "data" : "nothing");
    } else if (!std::strcmp(mode, "short")) {
        WriteFile(pipe, &request, 100, &n, nullptr);
        PipeRequest reply{};
        DWORD total = 0;
        while (total < sizeof reply &&
               ReadFile(pipe, reinterpret_cast<BYTE*>(&reply) + total, sizeof reply - total, &n, nullptr) && n)
            total += n;
        bool zero_tail = true;
        for (DWORD i = 100; i < sizeof reply; ++i)
            if (reinterpret_cast<BYTE*>(&reply)[i]) zero_tail = false;
        std::printf("short: reply of %lu bytes, Result %d, rest zero: %s\n", total, reply.Result,
                    zero_tail ? "yes" : "no");
        status = total == sizeof reply && reply.Result == 42 && zero_tail ? 0 : 1;
    } else {
        WriteFile(pipe, &request, sizeof request, &n, nullptr);
        DWORD wait = WaitForSingleObject(event, 5000);
        std::printf("noread: event %s; not reading\n", wait == WAIT_OBJECT_0 ? "signalled" : "not signalled");
        std::fflush(stdout);
        Sleep(5000);
    }
    CloseHandle(pipe);
    CloseHandle(event);
    return status;
}
