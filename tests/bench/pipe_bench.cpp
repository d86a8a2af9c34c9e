// Round trips through a PX71Service-shaped pipe, for the benchmark under Wine.
//   pipe_bench echo COUNT          serves COUNT requests on \\.\pipe\PX71BenchEcho, then exits:
//                                  the serving loop at its barest (overlapped connect, read,
//                                  event, write, flush, disconnect), nothing bounded
//   pipe_bench client NAME COUNT   times COUNT requests against \\.\pipe\NAME
#include "platform/win32.h"
#include "service/pipe_request.h"
#include "client/pipe_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const WCHAR kEchoPipe[] = W16("\\\\.\\pipe\\PX71BenchEcho");

int Echo(unsigned long count)
{
    px71::UniqueFile pipe(CreateNamedPipeW(kEchoPipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0, 1, 512, 512, 1000,
                                           nullptr));
    px71::UniqueHandle connected(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    px71::UniqueHandle io(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pipe || !connected || !io) {
        std::fprintf(stderr, "pipe_bench: cannot create the echo pipe (%lu)\n", GetLastError());
        return 1;
    }
    std::puts("echo: listening");
    std::fflush(stdout);
    for (unsigned long served = 0; served < count; ++served) {
        OVERLAPPED ov{};
        ov.hEvent = connected.get();
        if (!ConnectNamedPipe(pipe.get(), &ov) && GetLastError() == ERROR_IO_PENDING)
            WaitForSingleObject(connected.get(), INFINITE);
        px71::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, W16("Global\\PX71Service")));
        PipeRequest request{};
        DWORD n = 0;
        OVERLAPPED rw{};
        rw.hEvent = io.get();
        if (ReadFile(pipe.get(), &request, sizeof request, nullptr, &rw) || GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(pipe.get(), &rw, &n, TRUE);
        request.LastError = GetLastError();
        SetEvent(event.get());
        OVERLAPPED w{};
        w.hEvent = io.get();
        if (WriteFile(pipe.get(), &request, sizeof request, nullptr, &w) || GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(pipe.get(), &w, &n, TRUE);
        FlushFileBuffers(pipe.get());
        DisconnectNamedPipe(pipe.get());
    }
    return 0;
}

int Client(const char* name, unsigned long count)
{
    WCHAR pipe[128];
    int written = std::snprintf(nullptr, 0, "\\\\.\\pipe\\%s", name);
    if (written <= 0 || written >= 127) return 2;
    char narrow[128];
    std::snprintf(narrow, sizeof narrow, "\\\\.\\pipe\\%s", name);
    for (int i = 0; i <= written; ++i) pipe[i] = static_cast<WCHAR>(static_cast<unsigned char>(narrow[i]));

    PipeRequest request{};
    request.Command = 16;  // a code no table row has: the round trip alone
    PipeRequest reply{};
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (unsigned long i = 0; i < count; ++i) {
        request.Result = static_cast<int>(i);
        px71client::Answer answer = px71client::TransactOn(pipe, request, reply, 5000);
        if (answer.outcome != px71client::Outcome::kAnswered || reply.Result != static_cast<int>(i)) {
            std::fprintf(stderr, "pipe_bench: request %lu to %s: %s (%lu)\n", i, name,
                         px71client::Describe(answer.outcome), answer.error);
            return 1;
        }
    }
    QueryPerformanceCounter(&end);
    double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("%s: %lu round trips, %.3f ms each\n", name, count, ms / static_cast<double>(count));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned long count = argc > 2 ? std::strtoul(argv[argc - 1], nullptr, 10) : 0;
    if (argc == 3 && !std::strcmp(argv[1], "echo") && count) return Echo(count);
    if (argc == 4 && !std::strcmp(argv[1], "client") && count) return Client(argv[2], count);
    std::fputs("usage: pipe_bench echo COUNT | pipe_bench client NAME COUNT\n", stderr);
    return 2;
}
