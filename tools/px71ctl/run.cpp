#include "client/pipe_client.h"
#include "client/words.h"
#include "tools/px71ctl/commands.h"
#include "tools/px71ctl/friendly.h"

namespace px71ctl {
namespace {

using px71client::Answer;
using px71client::kMostCards;
using px71client::Outcome;

bool Ask(const Invocation& invocation, const PipeRequest& request, PipeRequest& reply, std::FILE* err)
{
    Answer answer = px71client::Transact(request, reply, static_cast<DWORD>(invocation.timeout_ms));
    if (answer.outcome == Outcome::kAnswered) return true;
    if (answer.outcome == Outcome::kNotTheService) {
        std::fprintf(err, "px71ctl: %s (process %lu); nothing was sent", px71client::Describe(answer.outcome),
                     static_cast<unsigned long>(answer.server_process));
        if (answer.error) std::fprintf(err, " (error %lu)", static_cast<unsigned long>(answer.error));
        std::fputs("\n", err);
        return false;
    }
    std::fprintf(err, "px71ctl: %s (error %lu", px71client::Describe(answer.outcome), static_cast<unsigned long>(answer.error));
    if (answer.outcome == Outcome::kShortReply)
        std::fprintf(err, ", %lu of 400 bytes", static_cast<unsigned long>(answer.reply_bytes));
    std::fputs(")\n", err);
    return false;
}

// The words, the raw Result and LastError on the first line, and any further lines.
void PrintWords(std::FILE* out, const Invocation& invocation, const PipeRequest& reply)
{
    std::string words = DescribeReply(invocation, reply);
    std::size_t line_end = words.find('\n');
    std::string first = words.substr(0, line_end);
    std::fprintf(out, "%s (Result %d, LastError %u)\n", first.c_str(), reply.Result, reply.LastError);
    if (line_end != std::string::npos) std::fprintf(out, "%s\n", words.c_str() + line_end + 1);
}

} // namespace

int Execute(const Invocation& invocation, std::FILE* out, std::FILE* err)
{
    PipeRequest reply{};
    if (invocation.form == Form::kRecord) {
        if (!Ask(invocation, invocation.request, reply, err)) return kExitNoAnswer;
        PrintReply(out, reply);
        return kExitDone;
    }
    if (invocation.every_slot) {
        PipeRequest request = invocation.request;
        for (std::uint32_t slot = 0;; ++slot) {
            request.ControllerIndex = slot;
            if (!Ask(invocation, request, reply, err)) return kExitNoAnswer;
            PrintWords(out, invocation, reply);
            if (ReplyFails(invocation, reply)) return kExitFailed;
            if (slot + 1 >= static_cast<std::uint32_t>(reply.Result)) return kExitDone;
        }
    }
    if (!invocation.every_card) {
        if (!Ask(invocation, invocation.request, reply, err)) return kExitNoAnswer;
        PrintWords(out, invocation, reply);
        return ReplyFails(invocation, reply) ? kExitFailed : kExitDone;
    }
    PipeRequest request = invocation.request;
    std::uint32_t found = 0;
    for (; found < kMostCards; ++found) {
        request.CardIndex = found;
        if (!Ask(invocation, request, reply, err)) return kExitNoAnswer;
        PrintWords(out, invocation, reply);
        if (reply.Result == 0) break;
    }
    if (found == kMostCards) std::fprintf(out, "stopped after %u cards\n", kMostCards);
    std::fprintf(out, "%u %s below %s controller %u\n", found, found == 1 ? "card" : "cards", invocation.kind.c_str(),
                 invocation.request.ControllerIndex);
    return found ? kExitDone : kExitFailed;
}

} // namespace px71ctl
