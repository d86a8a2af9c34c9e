#include "tools/px71ctl/client.h"

namespace px71ctl {
namespace {

const WCHAR kPipeName[] = W16("\\\\.\\pipe\\PX71Service");
const WCHAR kEventName[] = W16("Global\\PX71Service");

// Opens the pipe, waiting while another client holds it, until the deadline.
Outcome OpenPipe(const WCHAR* name, ULONGLONG deadline, px71::UniqueFile& pipe, DWORD& error)
{
    for (;;) {
        pipe.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
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

} // namespace

Answer Transact(const PipeRequest& request, PipeRequest& reply, DWORD timeoutMs) noexcept
{
    return TransactOn(kPipeName, request, reply, timeoutMs);
}

Answer TransactOn(const WCHAR* pipeName, const PipeRequest& request, PipeRequest& reply, DWORD timeoutMs) noexcept
{
    Answer answer;
    px71::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, kEventName));
    if (!event) {
        answer.outcome = Outcome::kNoEvent;
        answer.error = GetLastError();
        return answer;
    }
    px71::UniqueFile pipe;
    answer.outcome = OpenPipe(pipeName, GetTickCount64() + timeoutMs, pipe, answer.error);
    if (answer.outcome != Outcome::kAnswered) return answer;
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
    }
    return "unknown outcome";
}

} // namespace px71ctl
