// px71ctl: one request to PX71Service through its pipe, the reply printed.
#include "tools/px71ctl/client.h"
#include "tools/px71ctl/commands.h"
#include "tools/px71ctl/session.h"

#include <cstdio>

int main(int argc, char** argv)
{
    px71ctl::Invocation invocation;
    if (!px71ctl::ParseCommandLine(argc, argv, invocation)) {
        std::fprintf(stderr, "px71ctl: %s\n", invocation.error.c_str());
        return 2;
    }
    if (invocation.help) {
        px71ctl::PrintHelp(stdout);
        return 0;
    }
    px71ctl::Session session;
    PipeRequest reply{};
    px71ctl::Answer answer =
        px71ctl::Transact(invocation.request, reply, static_cast<DWORD>(invocation.timeout_ms));
    if (answer.outcome != px71ctl::Outcome::kAnswered) {
        std::fprintf(stderr, "px71ctl: %s (error %lu", px71ctl::Describe(answer.outcome),
                     static_cast<unsigned long>(answer.error));
        if (answer.outcome == px71ctl::Outcome::kShortReply)
            std::fprintf(stderr, ", %lu of 400 bytes", static_cast<unsigned long>(answer.reply_bytes));
        std::fputs(")\n", stderr);
        return 1;
    }
    px71ctl::PrintReply(stdout, reply);
    return 0;
}
