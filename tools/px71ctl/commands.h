// px71ctl's command line: one subcommand per command code of the pipe, with the
// record's field names as options, a raw mode for any code, and the friendly forms
// of tools/px71ctl/friendly.h.
#pragma once

#include "service/pipe_request.h"

#include <cstddef>
#include <cstdio>
#include <string>

namespace px71ctl {

// The record's fields by the names px71ctl's options and px71sim's scripts use.
enum class FieldKind { kDword, kByte, kText };
struct RecordField {
    const char* name;
    FieldKind kind;
    std::size_t offset;  // in PipeRequest
};
// The field of that name, letter case ignored; null when there is none.
const RecordField* FindRecordField(const std::string& name);

// What px71ctl's exit code says.
enum ExitCode {
    kExitDone = 0,      // answered, and the answer is not a failure
    kExitNoAnswer = 1,  // the service did not answer (not running, busy, short reply)
    kExitUsage = 2,     // the command line cannot be used
    kExitFailed = 3,    // answered: a failure, or nothing found (friendly forms)
};

// The friendly forms; kRecord is a subcommand that names the record's fields.
enum class Form { kRecord, kNames, kEject, kSlot, kSizes, kReport, kCheck, kFilters, kResetBridge };

struct Invocation {
    bool help = false;
    std::string help_form;  // the friendly form whose usage was asked for
    PipeRequest request{};
    unsigned long timeout_ms = 10000;
    std::string error;  // set when the command line cannot be used
    Form form = Form::kRecord;
    std::string kind;         // names, eject: "cardbus", "ehci", "ohci" or "sata"
    bool every_card = false;  // names: ask card 0, 1, 2 ... until the Result is 0
    bool every_slot = false;  // slot: ask slot 0, 1, ... as many as the first answer counts
};

// Parses argv[1..]; false (with Invocation::error) on anything it cannot use.
bool ParseCommandLine(int argc, char** argv, Invocation& invocation);
void PrintHelp(std::FILE* out);
// Result, LastError and, where the command has one, the card name.
void PrintReply(std::FILE* out, const PipeRequest& reply);
// A number in decimal or 0x hex, from 0 to max, with nothing after it.
bool ParseNumber(const char* text, unsigned long max, unsigned long& value);

// Sends what the invocation asks for (several requests for "names"), prints the
// answers to `out` and what went wrong to `err`, and returns the exit code.
int Execute(const Invocation& invocation, std::FILE* out, std::FILE* err);

} // namespace px71ctl
