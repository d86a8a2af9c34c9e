// px71ctl's command line: one subcommand per command code of the pipe, with the
// record's field names as options, and a raw mode for any code.
#pragma once

#include "service/pipe_request.h"

#include <cstdio>
#include <string>

namespace px71ctl {

struct Invocation {
    bool help = false;
    PipeRequest request{};
    unsigned long timeout_ms = 10000;
    std::string error;  // set when the command line cannot be used
};

// Parses argv[1..]; false (with Invocation::error) on anything it cannot use.
bool ParseCommandLine(int argc, char** argv, Invocation& invocation);
void PrintHelp(std::FILE* out);
// Result, LastError and, where the command has one, the card name.
void PrintReply(std::FILE* out, const PipeRequest& reply);

} // namespace px71ctl
