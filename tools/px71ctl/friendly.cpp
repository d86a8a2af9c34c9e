#include "tools/px71ctl/friendly.h"

#include "client/words.h"

#include <cstring>
#include <map>
#include <optional>
#include <vector>

namespace px71ctl {
namespace {

struct FormInfo {
    const char* verb;
    Form form;
    const char* usage;
    const char* what;
    const char* more;  // printed by "FORM --help"
    const char* values;  // options that take a value, space-separated
    const char* flags;   // options that take none
};

const FormInfo kForms[] = {
    {"names", Form::kNames, "names cardbus|ehci|ohci|sata CONTROLLER [CARD]",
     "list the cards below a controller with their state and name",
     "Asks for card 0, 1, 2 ... until the answer is 0, or for CARD alone. CONTROLLER counts the\n"
     "controllers of that kind from 0; for sata, 0 stands for an adapter's pair of SI3132\n"
     "controllers and the cards of both are counted on. cardbus and ohci answer 0 for a card\n"
     "that is not started, which ends the list there.\n",
     "", ""},
    {"eject", Form::kEject, "eject cardbus|ehci|ohci|sata CONTROLLER CARD",
     "let a card go before it is pulled (eject it, or remove a SATA disk)",
     "CONTROLLER and CARD are the numbers that names shows. A card reader medium (ehci) is\n"
     "ejected from its slot, and not while a program holds files open on it. A card that a\n"
     "running program vetoes stays, and the answer says so. A sata disk is removed only while\n"
     "it is started.\n",
     "", ""},
    {"slot", Form::kSlot,
     "slot [BUS --link on|off [--check-volumes] [--state reenumerate|enable|disable|propchange|start|stop]]",
     "show the adapter's card slots, or switch a slot's link and re-enumerate or change the devices on BUS",
     "Without arguments: each slot's bus, whether a card is in it, its link, and the card's device.\n"
     "BUS is the bus of the adapter's slot bridge (0 to 255). --check-volumes switches the link off\n"
     "only when no volume below the slot is in use and Windows agrees to let the card go; who\n"
     "refuses is written to PX71.LOG. --state (default reenumerate) is carried out for the devices\n"
     "on BUS in any case.\n",
     "link state", "check-volumes"},
    {"sizes", Form::kSizes,
     "sizes --port N --oz888 N --sxs N --a3132 N --b3132 N --usb N --start N --end N --payload N --sata-ssc N\n"
     "       px71ctl sizes --defaults --oz888 N --sxs N --a3132 N --b3132 N --usb N",
     "store the resource-window settings of the root-port filter driver, or their defaults",
     "Every value is written, so every option is needed: PortLen, Oz888Len, SxsLen, A3132Len,\n"
     "B3132Len, USBLen, StartAdrs, EndAdrs (not 0), PayloadSize and SataSSC; with --defaults\n"
     "Oz888LenDef, SxsLenDef, A3132LenDef, B3132LenDef and USBLenDef. Numbers are decimal or 0x hex,\n"
     "0 to 0xFFFFFFFF. They land under HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711.\n",
     "port oz888 sxs a3132 b3132 usb start end payload sata-ssc", "defaults"},
    {"report", Form::kReport, "report [TITLE]", "write the diagnostic report into PX71.LOG beside PX71Service.exe",
     "TITLE (at most 199 bytes) heads the report after the date and time.\n", "", ""},
    {"check", Form::kCheck, "check", "tell which controllers the adapter shows at which position",
     "Prints the device-check bits and what each one says.\n", "", ""},
    {"filters", Form::kFilters, "filters add",
     "put the filter drivers on the adapter's root port and the nodes below it",
     "The filter lists of earlier runs are deleted first. The service does nothing else with\n"
     "filters.\n",
     "", ""},
    {"reset-bridge", Form::kResetBridge, "reset-bridge", "restart the adapter's bridge (disable, then enable)",
     "The service reports no result for a restart.\n", "", ""},
};


const FormInfo* FindForm(const char* verb)
{
    for (const auto& f : kForms)
        if (!std::strcmp(f.verb, verb)) return &f;
    return nullptr;
}

bool Listed(const char* list, const std::string& name)
{
    std::string padded = std::string(" ") + list + " ";
    return !name.empty() && padded.find(" " + name + " ") != std::string::npos;
}


// The command line of one form: positional arguments and options by name.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::map<std::string, bool> flags;
};

bool Fail(Invocation& invocation, std::string message)
{
    invocation.error = std::move(message);
    return false;
}

bool Number(Invocation& invocation, const std::string& what, const std::string& text, unsigned long max,
            unsigned long& value)
{
    if (ParseNumber(text.c_str(), max, value)) return true;
    return Fail(invocation, what + ": \"" + text + "\" is not a number from 0 to " + std::to_string(max));
}

bool SplitArguments(const FormInfo& form, int argc, char** argv, Invocation& invocation, Arguments& args)
{
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
            args.positional.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "help") {
            invocation.help = true;
            invocation.help_form = form.verb;
            return true;
        }
        const bool flag = Listed(form.flags, name);
        if (flag) {
            if (value) return Fail(invocation, "--" + name + " takes no value");
            args.flags[name] = true;
            continue;
        }
        if (name != "timeout" && !Listed(form.values, name))
            return Fail(invocation, std::string(form.verb) + " takes no option --" + name + " (px71ctl " + form.verb +
                                        " --help)");
        if (!value) {
            if (i + 1 >= argc) return Fail(invocation, "--" + name + " needs a value");
            value = argv[++i];
        }
        if (args.values.count(name)) return Fail(invocation, "--" + name + " given twice");
        args.values[name] = *value;
    }
    return true;
}

bool ParseTimeout(Invocation& invocation, Arguments& args)
{
    auto it = args.values.find("timeout");
    if (it == args.values.end()) return true;
    unsigned long ms = 0;
    if (!ParseNumber(it->second.c_str(), 600000, ms) || ms == 0)
        return Fail(invocation, "--timeout takes milliseconds from 1 to 600000");
    invocation.timeout_ms = ms;
    args.values.erase(it);
    return true;
}

bool Positional(Invocation& invocation, const FormInfo& form, const Arguments& args, std::size_t least,
                std::size_t most)
{
    std::size_t n = args.positional.size();
    if (n >= least && n <= most) return true;
    std::string message = n < least ? "too few arguments" : "unexpected argument \"" + args.positional[most] + "\"";
    return Fail(invocation, message + "; usage: px71ctl " + form.usage);
}

bool ParseCard(Invocation& invocation, const FormInfo& form, const Arguments& args, bool eject)
{
    if (!Positional(invocation, form, args, eject ? 3 : 2, 3)) return false;
    const px71client::CardKind* kind = px71client::FindCardKind(args.positional[0]);
    if (!kind)
        return Fail(invocation, "unknown kind of controller \"" + args.positional[0] +
                                    "\": cardbus, ehci, ohci or sata");
    PipeRequest& r = invocation.request;
    r.Command = eject ? kind->eject_code : kind->name_code;
    invocation.kind = kind->name;
    unsigned long controller = 0, card = 0;
    if (!Number(invocation, "CONTROLLER", args.positional[1], 0xFFFFFFFFul, controller)) return false;
    r.ControllerIndex = static_cast<std::uint32_t>(controller);
    if (args.positional.size() == 3) {
        if (!Number(invocation, "CARD", args.positional[2], 0xFFFFFFFFul, card)) return false;
        r.CardIndex = static_cast<std::uint32_t>(card);
    } else {
        invocation.every_card = true;
    }
    // The whole CardName field; the service keeps the name functions inside it.
    if (!eject) r.CardNameSize = sizeof r.CardName;
    return true;
}

bool ParseSlot(Invocation& invocation, const FormInfo& form, Arguments& args)
{
    PipeRequest& r = invocation.request;
    if (args.positional.empty() && args.values.empty() && args.flags.empty()) {
        r.Command = PX71_CMD_GET_SLOT;
        r.Result = -1;  // kept by a service that does not know the command
        invocation.every_slot = true;
        return true;
    }
    if (!Positional(invocation, form, args, 1, 1)) return false;
    unsigned long bus = 0;
    if (!Number(invocation, "BUS", args.positional[0], 0xFF, bus)) return false;
    auto link = args.values.find("link");
    if (link == args.values.end()) return Fail(invocation, "slot needs --link on or --link off");
    std::uint8_t enable = 0;
    if (link->second == "on")
        enable = 1;
    else if (link->second != "off")
        return Fail(invocation, "--link takes on or off, not \"" + link->second + "\"");
    std::uint8_t state = 0;
    if (auto s = args.values.find("state"); s != args.values.end()) {
        bool known = false;
        for (const auto& k : px71client::kStateNames)
            if (s->second == k.name) state = k.code, known = true;
        if (!known)
            return Fail(invocation, "--state takes reenumerate, enable, disable, propchange, start or stop, not \"" +
                                        s->second + "\"");
    }
    r.Command = 2;
    r.SetStatusArgs[0] = static_cast<std::uint8_t>(bus);
    r.SetStatusArgs[1] = state;
    r.SetStatusArgs[2] = enable;
    r.SetStatusArgs[3] = args.flags.count("check-volumes") ? 1 : 0;
    return true;
}

bool ParseSizes(Invocation& invocation, Arguments& args)
{
    struct Value {
        const char* option;
        std::uint32_t PipeRequest::*field;
        bool in_defaults;
    } const values[] = {
        {"port", &PipeRequest::PortLen, false},       {"oz888", &PipeRequest::Oz888Len, true},
        {"sxs", &PipeRequest::SxsLen, true},          {"a3132", &PipeRequest::A3132Len, true},
        {"b3132", &PipeRequest::B3132Len, true},      {"usb", &PipeRequest::USBLen, true},
        {"start", &PipeRequest::StartAdrs, false},    {"end", &PipeRequest::EndAdrs, false},
        {"payload", &PipeRequest::PayloadSize, false}, {"sata-ssc", &PipeRequest::SataSSC, false},
    };
    const bool defaults = args.flags.count("defaults") != 0;
    PipeRequest& r = invocation.request;
    r.Command = 3;
    std::string missing, unused;
    for (const auto& v : values) {
        auto it = args.values.find(v.option);
        const bool wanted = !defaults || v.in_defaults;
        if (it == args.values.end()) {
            if (wanted) missing += std::string(missing.empty() ? "" : " ") + "--" + v.option;
            continue;
        }
        if (!wanted) {
            unused += std::string(unused.empty() ? "" : " ") + "--" + v.option;
            continue;
        }
        unsigned long n = 0;
        if (!Number(invocation, std::string("--") + v.option, it->second, 0xFFFFFFFFul, n)) return false;
        r.*v.field = static_cast<std::uint32_t>(n);
    }
    if (!unused.empty())
        return Fail(invocation, "sizes --defaults stores only --oz888 --sxs --a3132 --b3132 --usb; not " + unused);
    if (!missing.empty())
        return Fail(invocation, "sizes writes every value of its set; missing " + missing + " (px71ctl sizes --help)");
    // EndAdrs 0 is how the record asks for the defaults: not a working value.
    if (!defaults && r.EndAdrs == 0)
        return Fail(invocation, "--end 0 would store the defaults instead; use sizes --defaults for those");
    return true;
}


} // namespace

bool IsFriendlyForm(const char* verb) { return FindForm(verb) != nullptr; }

bool ParseFriendly(int argc, char** argv, Invocation& invocation)
{
    invocation = Invocation{};
    const FormInfo* form = FindForm(argv[1]);
    if (!form) return Fail(invocation, std::string("unknown form \"") + argv[1] + "\"");
    invocation.form = form->form;
    Arguments args;
    if (!SplitArguments(*form, argc, argv, invocation, args)) return false;
    if (invocation.help) return true;
    if (!ParseTimeout(invocation, args)) return false;
    PipeRequest& r = invocation.request;
    switch (form->form) {
    case Form::kNames: return ParseCard(invocation, *form, args, false);
    case Form::kEject: return ParseCard(invocation, *form, args, true);
    case Form::kSlot: return ParseSlot(invocation, *form, args);
    case Form::kSizes:
        if (!Positional(invocation, *form, args, 0, 0)) return false;
        return ParseSizes(invocation, args);
    case Form::kReport:
        if (!Positional(invocation, *form, args, 0, 1)) return false;
        r.Command = 4;
        if (!args.positional.empty()) {
            const std::string& title = args.positional[0];
            if (title.size() >= sizeof r.LogTitle)
                return Fail(invocation, "the title takes at most 199 bytes, not " + std::to_string(title.size()));
            std::memcpy(r.LogTitle, title.data(), title.size());
        }
        return true;
    case Form::kCheck:
        r.Command = 14;
        return Positional(invocation, *form, args, 0, 0);
    case Form::kFilters:
        if (!Positional(invocation, *form, args, 1, 1)) return false;
        if (args.positional[0] != "add")
            return Fail(invocation, "the service only adds filters: px71ctl filters add");
        r.Command = 1;
        return true;
    case Form::kResetBridge:
        r.Command = 5;
        return Positional(invocation, *form, args, 0, 0);
    case Form::kRecord: break;
    }
    return Fail(invocation, "unknown form");
}

void PrintFriendlyHelp(std::FILE* out, const std::string& name)
{
    if (name.empty()) {
        for (const auto& f : kForms) std::fprintf(out, "  %-13s %s\n", f.verb, f.what);
        return;
    }
    const FormInfo* form = FindForm(name.c_str());
    if (!form) return;
    std::fprintf(out, "usage: px71ctl %s [--timeout MS]\n\n%s.\n\n%s", form->usage, form->what, form->more);
    std::fputs("\nPrints the answer in words with the reply's Result and LastError. Exit: 0 done, 1 no answer\n"
               "from the service, 2 bad command line, 3 the answer is a failure or found nothing.\n",
               out);
}

std::string DescribeReply(const Invocation& invocation, const PipeRequest& reply)
{
    return invocation.form == Form::kRecord ? std::string() : px71client::DescribeReply(reply);
}

bool ReplyFails(const Invocation& invocation, const PipeRequest& reply)
{
    return invocation.form != Form::kRecord && px71client::ReplyFails(reply);
}

} // namespace px71ctl
