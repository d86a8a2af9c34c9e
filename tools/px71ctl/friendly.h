// px71ctl's friendly forms: one verb per task ("names ehci 0", "eject sata 0 1",
// "slot 6 --link off"), each printing its answer in words.
#pragma once

#include "tools/px71ctl/commands.h"

#include <cstdio>
#include <string>

namespace px71ctl {

// Whether argv[1] names a friendly form rather than a record subcommand.
bool IsFriendlyForm(const char* verb);
// Parses a friendly form; false (with Invocation::error) on anything it cannot use.
bool ParseFriendly(int argc, char** argv, Invocation& invocation);
// The usage of one form, or one line per form when `form` is empty.
void PrintFriendlyHelp(std::FILE* out, const std::string& form);
// The words for one reply of a friendly form, without the raw numbers.
std::string DescribeReply(const Invocation& invocation, const PipeRequest& reply);
// Whether the reply reports a failure or that nothing was found.
bool ReplyFails(const Invocation& invocation, const PipeRequest& reply);

} // namespace px71ctl
