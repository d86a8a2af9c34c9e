// Load on the real binaries under Wine.
//   load_check clients TOTAL CLIENTS   TOTAL requests from CLIENTS threads at once, each
//                                      waiting while the pipe is busy; every reply must be
//                                      its own request's record. Exit 0 when all were. A
//                                      client too slow to read its reply within the pipe's
//                                      time-out is let go by the service; it sends the
//                                      request again (at most 3 times), and such retries
//                                      are counted and printed.
//   load_check log COUNT TAG           COUNT records "TAG n" through WriteLogFile into the
//                                      PX71.LOG beside this program.
#include "library/px71.h"
#include "tests/support/numbered_request.h"
#include "client/pipe_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Client {
    std::uint32_t first = 0, count = 0;
    std::uint32_t answered = 0, wrong = 0, lost = 0, busy_retries = 0, reply_retries = 0;
};

DWORD WINAPI RunClient(LPVOID parameter)
{
    auto* client = static_cast<Client*>(parameter);
    for (std::uint32_t i = 0; i < client->count; ++i) {
        const PipeRequest request = NumberedRequest(client->first + i);
        PipeRequest reply{};
        px71client::Answer answer;
        for (int sends = 1;; ++sends) {
            answer = px71client::Transact(request, reply, 5000);
            if (answer.outcome == px71client::Outcome::kBusy) {
                ++client->busy_retries;
                continue;
            }
            // The command ran (the event came) but the reply did not arrive whole:
            // requests outside the table change nothing, so sending again is safe.
            if (answer.outcome == px71client::Outcome::kShortReply && sends < 3) {
                ++client->reply_retries;
                continue;
            }
            break;
        }
        if (answer.outcome != px71client::Outcome::kAnswered) {
            ++client->lost;
            std::printf("request %u: %s (error %lu)\n", client->first + i, px71client::Describe(answer.outcome),
                        static_cast<unsigned long>(answer.error));
            continue;
        }
        reply.LastError = request.LastError;
        if (std::memcmp(&reply, &request, sizeof reply) == 0) {
            ++client->answered;
        } else {
            ++client->wrong;
            std::printf("request %u: the reply carries another request's fields (%u)\n", client->first + i,
                        reply.StartAdrs);
        }
    }
    return 0;
}

int Clients(std::uint32_t total, std::uint32_t count)
{
    if (count == 0 || count > 16) return 2;
    Client clients[16];
    HANDLE threads[16];
    const ULONGLONG start = GetTickCount64();
    for (std::uint32_t c = 0; c < count; ++c) {
        clients[c].first = c * (total / count);
        clients[c].count = c + 1 == count ? total - clients[c].first : total / count;
        threads[c] = CreateThread(nullptr, 0, RunClient, &clients[c], 0, nullptr);
        if (!threads[c]) return 2;
    }
    WaitForMultipleObjects(count, threads, TRUE, INFINITE);
    const ULONGLONG elapsed = GetTickCount64() - start;
    std::uint32_t answered = 0, wrong = 0, lost = 0, retries = 0, resent = 0;
    for (std::uint32_t c = 0; c < count; ++c) {
        CloseHandle(threads[c]);
        answered += clients[c].answered;
        wrong += clients[c].wrong;
        lost += clients[c].lost;
        retries += clients[c].busy_retries;
        resent += clients[c].reply_retries;
    }
    std::printf("%u requests from %u clients in %llu ms: %u answered with their own record, %u mixed up, %u lost, "
                "%u retries while busy, %u sent again after a reply that did not arrive whole\n",
                total, count, static_cast<unsigned long long>(elapsed), answered, wrong, lost, retries, resent);
    return answered == total ? 0 : 1;
}

int Log(std::uint32_t count, const char* tag)
{
    std::uint32_t failed = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        WCHAR text[64];
        std::swprintf(reinterpret_cast<wchar_t*>(text), 64, L"%hs %05u", tag, i);
        if (!WriteLogFile(text)) ++failed;
    }
    std::printf("%u records written as %s, %u failed\n", count - failed, tag, failed);
    return failed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "clients") == 0)
        return Clients(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)),
                       static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    if (argc == 4 && std::strcmp(argv[1], "log") == 0)
        return Log(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)), argv[3]);
    std::fprintf(stderr, "usage: load_check clients TOTAL CLIENTS | load_check log COUNT TAG\n");
    return 2;
}
