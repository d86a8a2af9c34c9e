// px71ctl: requests to PX71Service through its pipe, the replies printed.
#include "tools/px71ctl/commands.h"
#include "tools/px71ctl/friendly.h"
#include "tools/px71ctl/session.h"

#include <cstdio>

int main(int argc, char** argv)
{
    px71ctl::Invocation invocation;
    if (!px71ctl::ParseCommandLine(argc, argv, invocation)) {
        std::fprintf(stderr, "px71ctl: %s\n", invocation.error.c_str());
        return px71ctl::kExitUsage;
    }
    if (invocation.help) {
        if (invocation.help_form.empty())
            px71ctl::PrintHelp(stdout);
        else
            px71ctl::PrintFriendlyHelp(stdout, invocation.help_form);
        return px71ctl::kExitDone;
    }
    px71ctl::Session session;
    return px71ctl::Execute(invocation, stdout, stderr);
}
