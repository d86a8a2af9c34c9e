// px71ctl run in this process as its main runs it, with what it prints captured: for
// tests that check its words, or compare another client's with them.
#pragma once

#include "tools/px71ctl/commands.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace px71test {

struct Captured {
    int code = -1;
    std::string out, err;
};

inline bool ParsePx71ctl(std::vector<const char*> args, px71ctl::Invocation& invocation)
{
    args.insert(args.begin(), "px71ctl");
    return px71ctl::ParseCommandLine(static_cast<int>(args.size()), const_cast<char**>(args.data()), invocation);
}

// Parses and runs a command line as px71ctl's main does.
inline Captured RunPx71ctl(std::vector<const char*> args)
{
    Captured c;
    px71ctl::Invocation invocation;
    if (!ParsePx71ctl(args, invocation)) {
        c.code = px71ctl::kExitUsage;
        c.err = invocation.error;
        return c;
    }
    char* out_text = nullptr;
    char* err_text = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE* out = open_memstream(&out_text, &out_size);
    std::FILE* err = open_memstream(&err_text, &err_size);
    c.code = px71ctl::Execute(invocation, out, err);
    std::fclose(out);
    std::fclose(err);
    c.out.assign(out_text, out_size);
    c.err.assign(err_text, err_size);
    std::free(out_text);
    std::free(err_text);
    return c;
}

} // namespace px71test
