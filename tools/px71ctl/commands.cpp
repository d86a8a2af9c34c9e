#include "tools/px71ctl/commands.h"

#include "client/words.h"

#include "tools/px71ctl/friendly.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace px71ctl {
namespace {

const RecordField kFields[] = {
    {"Command", FieldKind::kDword, offsetof(PipeRequest, Command)},
    {"Result", FieldKind::kDword, offsetof(PipeRequest, Result)},
    {"LastError", FieldKind::kDword, offsetof(PipeRequest, LastError)},
    {"Bus", FieldKind::kByte, offsetof(PipeRequest, SetStatusArgs) + 0},
    {"StateChange", FieldKind::kByte, offsetof(PipeRequest, SetStatusArgs) + 1},
    {"LinkEnable", FieldKind::kByte, offsetof(PipeRequest, SetStatusArgs) + 2},
    {"CheckVolumes", FieldKind::kByte, offsetof(PipeRequest, SetStatusArgs) + 3},
    {"StartAdrs", FieldKind::kDword, offsetof(PipeRequest, StartAdrs)},
    {"EndAdrs", FieldKind::kDword, offsetof(PipeRequest, EndAdrs)},
    {"LogTitle", FieldKind::kText, offsetof(PipeRequest, LogTitle)},
    {"Oz888Len", FieldKind::kDword, offsetof(PipeRequest, Oz888Len)},
    {"SxsLen", FieldKind::kDword, offsetof(PipeRequest, SxsLen)},
    {"A3132Len", FieldKind::kDword, offsetof(PipeRequest, A3132Len)},
    {"B3132Len", FieldKind::kDword, offsetof(PipeRequest, B3132Len)},
    {"USBLen", FieldKind::kDword, offsetof(PipeRequest, USBLen)},
    {"ControllerIndex", FieldKind::kDword, offsetof(PipeRequest, ControllerIndex)},
    {"CardIndex", FieldKind::kDword, offsetof(PipeRequest, CardIndex)},
    {"CardNameSize", FieldKind::kDword, offsetof(PipeRequest, CardNameSize)},
    {"PortLen", FieldKind::kDword, offsetof(PipeRequest, PortLen)},
    {"PayloadSize", FieldKind::kDword, offsetof(PipeRequest, PayloadSize)},
    {"SataSSC", FieldKind::kDword, offsetof(PipeRequest, SataSSC)},
};

struct Command {
    const char* name;
    unsigned code;  // 0: raw, any code
    const char* fields;  // the options it takes, space-separated
    const char* what;
};

const char* const kCardFields = "ControllerIndex CardIndex";
const char* const kNameFields = "ControllerIndex CardIndex CardNameSize";

const Command kCommands[] = {
    {"add-filter", 1, "", "install the filter drivers on the adapter"},
    {"set-status", 2, "Bus StateChange LinkEnable CheckVolumes", "switch the card slot"},
    {"set-size", 3,
     "PortLen Oz888Len SxsLen A3132Len B3132Len USBLen StartAdrs EndAdrs PayloadSize SataSSC",
     "store the resource-window settings (EndAdrs 0: the defaults)"},
    {"write-log", 4, "LogTitle", "write the diagnostic report"},
    // 5, reset-bridge, has only its friendly form: the record carries nothing for it.
    {"stop-3132-card", 6, kCardFields, "remove a disk behind an SI3132 controller"},
    {"stop-cardbus-card", 7, kCardFields, "stop a CardBus card"},
    {"stop-ehci-card", 8, kCardFields, "stop a USB card or reader medium (EHCI)"},
    {"stop-ohci-card", 9, kCardFields, "stop a USB card (OHCI)"},
    {"cardbus-card-name", 10, kNameFields, "name a CardBus card"},
    {"ehci-card-name", 11, kNameFields, "name a USB card or reader medium (EHCI)"},
    {"ohci-card-name", 12, kNameFields, "name a USB card (OHCI)"},
    {"3132-card-name", 13, kNameFields, "name a disk behind an SI3132 controller"},
    {"check-device", 14, "", "report which controllers are below the adapter"},
    {"raw", 0, nullptr, "send any record: --Command N and any field"},
};

bool Takes(const Command& command, const char* field)
{
    if (!command.fields) return true;
    std::size_t n = std::strlen(field);
    for (const char* p = command.fields; (p = std::strstr(p, field)) != nullptr; p += n)
        if ((p == command.fields || p[-1] == ' ') && (p[n] == ' ' || p[n] == 0)) return true;
    return false;
}

bool SetField(const RecordField& field, const char* text, PipeRequest& request, std::string& error)
{
    auto* at = reinterpret_cast<unsigned char*>(&request) + field.offset;
    if (field.kind == FieldKind::kText) {
        std::size_t n = std::strlen(text);
        if (n >= PX71_LOG_TITLE_SIZE) {
            error = std::string("--") + field.name + " takes at most 199 characters";
            return false;
        }
        std::memset(at, 0, PX71_LOG_TITLE_SIZE);
        std::memcpy(at, text, n);
        return true;
    }
    unsigned long value = 0;
    unsigned long max = field.kind == FieldKind::kByte ? 0xFFul : 0xFFFFFFFFul;
    if (!ParseNumber(text, max, value)) {
        error = std::string("--") + field.name + ": \"" + text + "\" is not a number from 0 to " +
                std::to_string(max);
        return false;
    }
    if (field.kind == FieldKind::kByte) {
        *at = static_cast<unsigned char>(value);
    } else {
        auto v = static_cast<std::uint32_t>(value);
        std::memcpy(at, &v, 4);
    }
    return true;
}

} // namespace

const RecordField* FindRecordField(const std::string& name)
{
    for (const auto& f : kFields)
        if (!strcasecmp(f.name, name.c_str())) return &f;
    return nullptr;
}

bool ParseNumber(const char* text, unsigned long max, unsigned long& value)
{
    // strtoull would take a sign, leading blanks and octal ("010" is 8).
    if (!text || !*text || *text == '-' || *text == '+' || *text == ' ' || *text == '\t') return false;
    if (text[0] == '0' && text[1] >= '0' && text[1] <= '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != 0 || parsed > max) return false;
    value = static_cast<unsigned long>(parsed);
    return true;
}

bool ParseCommandLine(int argc, char** argv, Invocation& invocation)
{
    invocation = Invocation{};
    if (argc < 2) {
        invocation.error = "no command given (px71ctl --help lists them)";
        return false;
    }
    const char* verb = argv[1];
    if (!std::strcmp(verb, "--help") || !std::strcmp(verb, "-h") || !std::strcmp(verb, "help")) {
        invocation.help = true;
        return true;
    }
    if (IsFriendlyForm(verb)) return ParseFriendly(argc, argv, invocation);
    const Command* command = nullptr;
    for (const auto& c : kCommands)
        if (!std::strcmp(c.name, verb)) command = &c;
    if (!command) {
        invocation.error = std::string("unknown command \"") + verb + "\" (px71ctl --help lists them)";
        return false;
    }
    invocation.request.Command = command->code;
    // The name commands may write the whole CardName field unless told otherwise.
    if (command->code >= 10 && command->code <= 13) invocation.request.CardNameSize = sizeof invocation.request.CardName;
    for (int i = 2; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strncmp(arg, "--", 2) != 0) {
            invocation.error = std::string("unexpected argument \"") + arg + "\"";
            return false;
        }
        std::string name(arg + 2);
        const char* value = nullptr;
        std::string inline_value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
            value = inline_value.c_str();
        } else if (i + 1 < argc) {
            value = argv[++i];
        }
        if (name == "help") {
            invocation.help = true;
            return true;
        }
        if (!value) {
            invocation.error = "--" + name + " needs a value";
            return false;
        }
        if (name == "timeout") {
            unsigned long ms = 0;
            if (!ParseNumber(value, 600000, ms) || ms == 0) {
                invocation.error = "--timeout takes milliseconds from 1 to 600000";
                return false;
            }
            invocation.timeout_ms = ms;
            continue;
        }
        const RecordField* field = FindRecordField(name);
        if (!field || !Takes(*command, field->name)) {
            invocation.error = std::string(command->name) + " takes no option --" + name;
            return false;
        }
        if (!SetField(*field, value, invocation.request, invocation.error)) return false;
    }
    return true;
}

void PrintHelp(std::FILE* out)
{
    std::fputs("px71ctl: sends requests to the PX71Service pipe and prints the replies.\n\n"
               "usage: px71ctl FORM ARGUMENTS... [--timeout MS]\n"
               "       px71ctl COMMAND [--Field VALUE | --Field=VALUE]... [--timeout MS]\n\n"
               "forms (px71ctl FORM --help for each):\n",
               out);
    PrintFriendlyHelp(out, "");
    std::fputs("\ncommands by record field (code, options):\n", out);
    for (const auto& c : kCommands) {
        if (c.code)
            std::fprintf(out, "  %-18s %2u  %s\n", c.name, c.code, c.what);
        else
            std::fprintf(out, "  %-18s     %s\n", c.name, c.what);
        if (c.fields && *c.fields) std::fprintf(out, "  %-18s     options: %s\n", "", c.fields);
    }
    std::fputs("\nraw takes every field: Command Result LastError Bus StateChange LinkEnable CheckVolumes\n"
               "StartAdrs EndAdrs LogTitle Oz888Len SxsLen A3132Len B3132Len USBLen ControllerIndex\n"
               "CardIndex CardNameSize PortLen PayloadSize SataSSC. Numbers are decimal or 0x hex.\n"
               "--timeout (default 10000 ms) bounds the wait for a busy pipe and for the reply.\n"
               "Exit: 0 answered, 1 no answer (service not running, busy, short reply), 2 bad command line,\n"
               "3 a form's answer is a failure or found nothing.\n",
               out);
}

void PrintReply(std::FILE* out, const PipeRequest& reply)
{
    std::fprintf(out, "Result     %d\n", reply.Result);
    std::fprintf(out, "LastError  %u\n", reply.LastError);
    if ((reply.Command >= 10 && reply.Command <= 13) || reply.CardName[0])
        std::fprintf(out, "CardName   \"%s\"\n", px71client::CardNameText(reply).c_str());
}

} // namespace px71ctl
