#include "tools/px71sim/simulation.h"

#include "library/device_tree.h"
#include "library/px71.h"
#include "service/service_host.h"
#include "sim/default_machine.h"
#include "sim/files.h"
#include "sim/machine_json.h"
#include "sim/pnp.h"
#include "sim/processes.h"
#include "sim/slot.h"
#include "client/pipe_client.h"
#include "client/words.h"
#include "tools/px71ctl/commands.h"
#include "tools/px71log/log_reader.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace px71sim {
namespace {

// Long enough for an eject or a report on a loaded machine; a simulated call that
// takes longer is a fault worth reporting.
constexpr DWORD kRequestTimeoutMs = 10000;
constexpr DWORD kServiceStateTimeoutMs = 5000;
// A controller or card number beyond this is not looked for: no machine has that many.
constexpr unsigned kMaxIndex = 16;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Hex(std::uint32_t value) { return Format("0x%08X", static_cast<unsigned>(value)); }

// ------------------------------------------------------------------ commands by name

// Not requests: lines that act on the machine itself (ScriptRequest::Step).
constexpr unsigned kMachineRestart = ~0u;
constexpr unsigned kCardInserted = ~1u;
constexpr unsigned kCardPulled = ~2u;
constexpr unsigned kTimePasses = ~3u;

struct CommandName {
    const char* name;
    unsigned code;       // 0: raw, any code; kMachineRestart and the rest: no request at all
    const char* fields;  // the fields it takes, space-separated; null: all
};

const char kCardFields[] = "ControllerIndex CardIndex";
const char kNameFields[] = "ControllerIndex CardIndex CardNameSize";

// The names px71ctl uses, so a line reads like its command line.
const CommandName kCommands[] = {
    {"add-filter", 1, ""},
    {"set-status", 2, "Bus StateChange LinkEnable CheckVolumes"},
    {"set-size", 3, "PortLen Oz888Len SxsLen A3132Len B3132Len USBLen StartAdrs EndAdrs PayloadSize SataSSC"},
    {"write-log", 4, "LogTitle"},
    {"reset-bridge", 5, ""},
    {"stop-3132-card", 6, kCardFields},
    {"stop-cardbus-card", 7, kCardFields},
    {"stop-ehci-card", 8, kCardFields},
    {"stop-ohci-card", 9, kCardFields},
    {"cardbus-card-name", 10, kNameFields},
    {"ehci-card-name", 11, kNameFields},
    {"ohci-card-name", 12, kNameFields},
    {"3132-card-name", 13, kNameFields},
    {"check-device", 14, ""},
    {"get-slot", 15, "ControllerIndex"},
    {"raw", 0, nullptr},
    {"restart", kMachineRestart, ""},
    {"insert", kCardInserted, ""},
    {"pull", kCardPulled, ""},
    {"wait", kTimePasses, ""},
};

// The steps that take one number instead of fields, with its bounds.
struct StepName {
    unsigned code;
    ScriptRequest::Step step;
    const char* what;  // the number, for a message
    std::uint32_t least, most;
};
const StepName kSteps[] = {
    {kMachineRestart, ScriptRequest::Step::kRestart, nullptr, 0, 0},
    {kCardInserted, ScriptRequest::Step::kInsert, "a bus from 0 to 255", 0, 255},
    {kCardPulled, ScriptRequest::Step::kPull, "a bus from 0 to 255", 0, 255},
    {kTimePasses, ScriptRequest::Step::kWait, "milliseconds from 1 to 86400000", 1, 86'400'000},
};

bool Takes(const CommandName& command, const std::string& field)
{
    if (!command.fields) return true;
    std::istringstream words(command.fields);
    std::string word;
    while (words >> word)
        if (word == field) return true;
    return false;
}

bool ParseNumber(const std::string& text, std::uint32_t limit, std::uint32_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end != 0 || n > limit) return false;
    value = static_cast<std::uint32_t>(n);
    return true;
}

// ------------------------------------------------------------------ what the machine shows

std::string NodeText(const sim::Machine& m, DEVINST id, ULONG code)
{
    if (const sim::Property* p = m.tree.property(id, code)) {
        auto list = sim::ParseMultiSz(p->data);
        if (!list.empty()) return sim::Narrow(list[0]);
    }
    return {};
}

std::string Joined(const sim::WideList& list)
{
    std::string text;
    for (const auto& s : list) text += (text.empty() ? "" : ", ") + sim::Narrow(s);
    return text;
}

const char* CardKind(unsigned command)
{
    switch (command) {
    case 10: return "CardBus";
    case 11: return "EHCI";
    case 12: return "OHCI";
    default: return "SI3132";
    }
}

// What a name command's result code says of the card.
const char* NameMeaning(unsigned command, int result)
{
    if (result == 0) return "no card";
    if (command == 11) {
        if (result == 2) return "CF medium in the reader";
        if (result == 3) return "SD medium in the reader";
        return "USB card";
    }
    if (command == 13) return result == 2 ? "disk, started" : "disk, not started";
    return "card";
}

// The card's top node in the slot on Bus, as the machine holds it.
std::string CardInSlot(const sim::Machine& m, std::uint8_t bus)
{
    for (const sim::Slot& slot : m.slots) {
        if (slot.bus != bus) continue;
        if (slot.card == 0) return "none";
        const sim::DevNode* card = m.tree.find(slot.card);
        if (!card) return "none";
        if (!slot.inserted && !card->present) return "none";
        const std::string name = "\"" + NodeText(m, slot.card, CM_DRP_DEVICEDESC) + "\" ";
        if (!slot.inserted) return name + "pulled, still in the device tree";
        return name + (card->present ? "present" : "in the slot, not in the device tree");
    }
    return "not known to the machine";
}

// The texts of PX71.LOG's records, oldest first, up to the next one to be written.
std::vector<std::string> LogRecords(sim::Machine& m)
{
    std::vector<std::string> records;
    const auto image = m.files().Read(kLogPath);
    constexpr std::size_t kSlot = 200;
    if (!image || image->size() < kSlot) return records;
    std::uint32_t next = 0;
    std::memcpy(&next, image->data() + 28, sizeof next);
    for (std::size_t slot = 1; slot < next && (slot + 1) * kSlot <= image->size(); ++slot) {
        const char* text = reinterpret_cast<const char*>(image->data() + slot * kSlot);
        std::string record(text, strnlen(text, kSlot));
        while (!record.empty() && (record.front() == '\r' || record.front() == '\n')) record.erase(0, 1);
        records.push_back(record);
    }
    return records;
}

} // namespace

// ------------------------------------------------------------------ Simulation

Simulation::Simulation()
{
    machine.files().SetProgramPath(kServicePath);
    machine.SetVirtualTime(true);
    driver_.emplace(machine, true);
}

Simulation::~Simulation() { Stop(); }

bool Simulation::Start(std::string& error)
{
    sim::LaunchService(machine, u"PX71Service");
    service_ = std::thread([] { px71service::RunServiceProcess(); });
    running_ = true;
    if (!sim::WaitForServiceState(machine, SERVICE_RUNNING, kServiceStateTimeoutMs)) {
        error = "PX71Service did not report SERVICE_RUNNING within " + std::to_string(kServiceStateTimeoutMs) + " ms";
        return false;
    }
    return true;
}

void Simulation::Stop()
{
    if (!running_) return;
    running_ = false;
    if (!sim::SendControl(machine, SERVICE_CONTROL_STOP, kServiceStateTimeoutMs) ||
        !sim::WaitForServiceState(machine, SERVICE_STOPPED, kServiceStateTimeoutMs))
        sim::AbandonService(machine);
    // The service's last steps may still wait on the machine's clock, which moves only
    // while this thread waits on the machine: it takes no part while it joins.
    driver_.reset();
    if (service_.joinable()) service_.join();
    driver_.emplace(machine, true);
}

bool Simulation::Send(const PipeRequest& request, PipeRequest& reply, std::string& error)
{
    const px71client::Answer answer = px71client::Transact(request, reply, kRequestTimeoutMs);
    if (answer.outcome == px71client::Outcome::kAnswered) return true;
    error = std::string(px71client::Describe(answer.outcome)) + " (error " + std::to_string(answer.error) + ")";
    return false;
}

std::string CardNameText(const PipeRequest& reply)
{
    std::u16string name;
    for (std::uint16_t unit : reply.CardName) {
        if (unit == 0) break;
        name += static_cast<char16_t>(unit);
    }
    return sim::Narrow(name);
}

// ------------------------------------------------------------------ the walk-through

bool WalkThrough::Request(PipeRequest request, PipeRequest& reply)
{
    std::string error;
    if (sim_.Send(request, reply, error)) return true;
    out_ << "  the request (command " << request.Command << ") did not go through: " << error << "\n";
    return false;
}

bool WalkThrough::CheckDevice()
{
    out_ << "1. Device check (command 14): which drivers sit at the adapter's fixed places\n";
    PipeRequest request{}, reply{};
    request.Command = 14;
    if (!Request(request, reply)) return false;
    const std::uint32_t mask = static_cast<std::uint32_t>(reply.Result);
    out_ << "   result " << Format("0x%02X", mask) << "\n";
    static const struct {
        std::uint32_t bit;
        const char* meaning;
    } kBits[] = {
        {0x01, "SATA controller (SI3132) below the first downstream port"},
        {0x02, "SATA controller (SI3132) below the second downstream port"},
        {0x04, "CardBus controller (pcmcia) below the third downstream port"},
        {0x08, "PCI driver on the card in the ExpressCard slot"},
        {0x10, "USB driver on the slot's USB controller"},
    };
    for (const auto& b : kBits)
        out_ << Format("   0x%02X  %-3s  ", b.bit, (mask & b.bit) ? "yes" : "no") << b.meaning << "\n";
    if (mask == 0) out_ << "   no adapter, or nothing at its places\n";
    out_ << "\n";
    return true;
}

bool WalkThrough::InstallFilters()
{
    out_ << "2. Installing the filters (command 1)\n";
    PipeRequest request{}, reply{};
    request.Command = 1;
    if (!Request(request, reply)) return false;
    if (reply.Result > 0)
        out_ << "   result " << reply.Result << ": " << reply.Result << (reply.Result == 1 ? " adapter" : " adapters")
             << " handled; the upper-filter lists now read:\n";
    else if (reply.Result < 0)
        out_ << "   result " << reply.Result << ": " << -reply.Result << " failed; the upper-filter lists now read:\n";
    else
        out_ << "   result 0: no device list, or no adapter to put filters on\n";
    std::lock_guard lock(sim_.machine.mutex);
    const sim::Machine& m = sim_.machine;
    for (DEVINST id : m.tree.order()) {
        auto filters = m.tree.MultiSz(id, CM_DRP_UPPERFILTERS);
        if (!filters || filters->empty()) continue;
        out_ << Format("   %-48s %s\n", NodeText(m, id, CM_DRP_DEVICEDESC).c_str(), Joined(*filters).c_str());
    }
    out_ << "\n";
    return true;
}

PipeRequest WalkThrough::SettingsRequest()
{
    PipeRequest r{};
    r.Command = 3;
    r.PortLen = 0x02000000;
    r.Oz888Len = 0x00400000;
    r.SxsLen = 0x00400000;
    r.A3132Len = 0x00100000;
    r.B3132Len = 0x00100000;
    r.USBLen = 0x00100000;
    r.StartAdrs = 0xD0000000;
    r.EndAdrs = 0xDFFFFFFF;
    r.PayloadSize = 128;
    r.SataSSC = 1;
    return r;
}

bool WalkThrough::StoreSettings()
{
    out_ << "3. Storing the window settings (command 3) in the filter driver's service key\n";
    PipeRequest reply{};
    if (!Request(SettingsRequest(), reply)) return false;
    out_ << "   result " << reply.Result << (reply.Result == 1 ? ": every value written" : ": not every value written")
         << "\n";
    std::lock_guard lock(sim_.machine.mutex);
    auto key = sim_.machine.registry.Key(sim::kServiceKey);
    if (!key) {
        out_ << "   the key " << sim::Narrow(sim::kServiceKey) << " does not exist\n\n";
        return true;
    }
    out_ << "   " << sim::Narrow(sim::kServiceKey) << "\n";
    for (const auto& [lower, value] : key->values) {
        if (value.type == REG_DWORD && value.data.size() == 4) {
            DWORD n;
            std::memcpy(&n, value.data.data(), 4);
            out_ << Format("     %-14s %s\n", sim::Narrow(value.name).c_str(), Hex(n).c_str());
        } else {
            auto text = sim::ParseMultiSz(value.data);
            out_ << Format("     %-14s %s\n", sim::Narrow(value.name).c_str(),
                           text.empty() ? "" : sim::Narrow(text[0]).c_str());
        }
    }
    out_ << "\n";
    return true;
}

// The buses of the slot bridge functions (O2Micro 1217:02E3) the device tree shows.
std::vector<std::uint8_t> WalkThrough::SlotBuses()
{
    std::vector<std::uint8_t> buses;
    px71::UniqueDevInfo set = px71::PresentPciDevices();
    if (!set) return buses;
    px71::ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (GetDeviceRegistryProperty(set.get(), &data, SPDRP_HARDWAREID, W16("PCI\\VEN_1217&DEV_02E3"), nullptr, 0)) {
            DWORD bus = 0;
            if (GetDeviceRegistryProperty(set.get(), &data, SPDRP_BUSNUMBER, nullptr, reinterpret_cast<BYTE*>(&bus),
                                          sizeof bus))
                buses.push_back(static_cast<std::uint8_t>(bus));
        }
        return px71::Walk::Next;
    });
    return buses;
}

std::string WalkThrough::SlotCard(std::uint8_t bus)
{
    std::lock_guard lock(sim_.machine.mutex);
    return CardInSlot(sim_.machine, bus);
}

bool WalkThrough::ShowSlots()
{
    out_ << "4. The slot's state (command 15, read only)\n";
    PipeRequest request{}, reply{};
    request.Command = PX71_CMD_GET_SLOT;
    for (std::uint32_t slot = 0;; ++slot) {
        request.ControllerIndex = slot;
        if (!Request(request, reply)) return false;
        out_ << "   " << px71client::DescribeReply(reply) << "\n";
        if (reply.Result <= 0) break;
        out_ << "   the card in the slot, as the machine holds it: " << SlotCard(reply.SetStatusArgs[0]) << "\n";
        if (slot + 1 >= static_cast<std::uint32_t>(reply.Result)) break;
    }
    out_ << "\n";
    return true;
}

bool WalkThrough::NameAll(unsigned command, std::vector<Named>& names)
{
    names.clear();
    for (unsigned controller = 0; controller < kMaxIndex; ++controller) {
        bool any = false;
        for (unsigned card = 0; card < kMaxIndex; ++card) {
            PipeRequest request{}, reply{};
            request.Command = command;
            request.ControllerIndex = controller;
            request.CardIndex = card;
            request.CardNameSize = sizeof request.CardName;
            if (!Request(request, reply)) return false;
            if (reply.Result == 0) break;
            any = true;
            names.push_back({command, controller, card, reply.Result, CardNameText(reply)});
        }
        if (!any) break;
    }
    return true;
}

void WalkThrough::PrintNames(const std::vector<Named>& names)
{
    for (const auto& n : names)
        out_ << Format("   %-7s controller %u card %u: %-32s (%d: %s)\n", CardKind(n.command), n.controller, n.card,
                       ("\"" + n.name + "\"").c_str(), n.result, NameMeaning(n.command, n.result));
}

bool WalkThrough::NameCards()
{
    out_ << "5. Naming every card of every controller (commands 10 to 13)\n";
    bool none = true;
    for (unsigned command : {10u, 11u, 12u, 13u}) {
        std::vector<Named> names;
        if (!NameAll(command, names)) return false;
        PrintNames(names);
        none &= names.empty();
    }
    if (none) out_ << "   no card below any controller\n";
    out_ << "\n";
    return true;
}

bool WalkThrough::EjectSdMedium()
{
    out_ << "6. Ejecting the SD medium (command 8, the road of a request)\n";
    std::vector<Named> before;
    if (!NameAll(11, before)) return false;
    const Named* sd = nullptr;
    for (const auto& n : before)
        if (n.result == 3) {
            sd = &n;
            break;
        }
    if (!sd) {
        out_ << "   no SD medium in a reader below an EHCI controller: nothing to eject\n\n";
        return true;
    }
    out_ << "   before:\n";
    PrintNames(before);
    PipeRequest request{}, reply{};
    request.Command = 8;
    request.ControllerIndex = sd->controller;
    request.CardIndex = sd->card;
    if (!Request(request, reply)) return false;
    out_ << "   stop-ehci-card ControllerIndex=" << sd->controller << " CardIndex=" << sd->card << ": result "
         << reply.Result << (reply.Result == 1 ? ", medium ejected" : ", the medium stays") << "\n";
    std::vector<Named> after;
    if (!NameAll(11, after)) return false;
    out_ << "   after:\n";
    PrintNames(after);
    if (after.size() < before.size()) {
        if (sd->card + 1 < before.size())
            out_ << "   the cards behind card " << sd->card << " moved up one place\n";
        else
            out_ << "   card " << sd->card << " names nothing now; the list is one shorter\n";
    }
    out_ << "\n";
    return true;
}

bool WalkThrough::SwitchLink()
{
    out_ << "7. Switching the slot's link off (with the volume check, once Windows let the card go) and back on "
            "(command 2)\n";
    const auto buses = SlotBuses();
    if (buses.empty()) out_ << "   no ExpressCard slot bridge to switch\n";
    for (std::uint8_t bus : buses) {
        for (int enable : {0, 1}) {
            PipeRequest request{}, reply{};
            request.Command = 2;
            request.SetStatusArgs[0] = bus;
            request.SetStatusArgs[1] = 0;  // re-enumerate the devices on the bus afterwards
            request.SetStatusArgs[2] = static_cast<std::uint8_t>(enable);
            request.SetStatusArgs[3] = enable ? 0 : 1;
            if (!Request(request, reply)) return false;
            DWORD link = 0;
            const bool read = XU_ReadPCI(bus, 0x50, &link) != 0;
            out_ << "   bus " << unsigned(bus) << (enable ? " link on:  " : " link off: ") << "result "
                 << reply.Result << "; Link Disable reads "
                 << (read ? ((link & 0x10) ? "1 (off)" : "0 (on)") : "nothing") << "; card: " << SlotCard(bus)
                 << "\n";
        }
    }
    out_ << "\n";
    return true;
}

bool WalkThrough::RestartBridge()
{
    out_ << "8. Restarting the adapter's bridge (command 5)\n";
    std::size_t before;
    {
        std::lock_guard lock(sim_.machine.mutex);
        before = sim_.machine.property_changes.size();
    }
    PipeRequest request{}, reply{};
    request.Command = 5;
    if (!Request(request, reply)) return false;
    std::lock_guard lock(sim_.machine.mutex);
    const sim::Machine& m = sim_.machine;
    if (m.property_changes.size() == before)
        out_ << "   no property change: the bridge's first upper filter is PX711, or no adapter is present\n";
    for (std::size_t i = before; i < m.property_changes.size(); ++i) {
        const auto& c = m.property_changes[i];
        const char* what = c.state_change == DICS_DISABLE  ? "disabled"
                           : c.state_change == DICS_ENABLE ? "enabled"
                                                           : "changed";
        const char* scope = c.scope == DICS_FLAG_GLOBAL ? "in every hardware profile" : "in the current profile";
        out_ << "   " << NodeText(m, c.node, CM_DRP_DEVICEDESC) << ": " << what << " " << scope << "\n";
    }
    out_ << "\n";
    return true;
}

bool WalkThrough::WriteReport()
{
    out_ << "9. Writing the diagnostic report (command 4) and reading the log\n";
    PipeRequest request{}, reply{};
    request.Command = 4;
    std::strncpy(request.LogTitle, kReportTitle, sizeof request.LogTitle - 1);
    if (!Request(request, reply)) return false;
    const auto image = sim_.machine.files().Read(kLogPath);
    if (!image) {
        out_ << "   no log at " << sim::Narrow(kLogPath) << "\n";
        return true;
    }
    px71log::Options options;
    options.report = true;
    options.path = sim::Narrow(kLogPath);
    const std::string text(image->begin(), image->end());
    const px71log::Output shown = px71log::Render(text, text.size(), options);
    out_ << shown.out << shown.err;
    return true;
}

bool WalkThrough::RunAll()
{
    return CheckDevice() && InstallFilters() && StoreSettings() && ShowSlots() && NameCards() && EjectSdMedium() &&
           SwitchLink() && RestartBridge() && WriteReport();
}

// ------------------------------------------------------------------ scripts

namespace {

struct Token {
    std::string text;
    std::size_t column = 0;  // 1-based
};

// Words separated by blanks; a value may be quoted ("..." with \" and \\) to hold blanks.
bool Tokenize(const std::string& line, std::vector<Token>& tokens, std::string& error)
{
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        Token token;
        token.column = i + 1;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            if (line[i] != '"') {
                token.text += line[i++];
                continue;
            }
            const std::size_t open = i++;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                    token.text += line[i + 1];
                    i += 2;
                } else if (line[i] == '"') {
                    closed = true;
                    ++i;
                    break;
                } else {
                    token.text += line[i++];
                }
            }
            if (!closed) {
                error = std::to_string(open + 1) + ": the quote opened here is not closed";
                return false;
            }
        }
        tokens.push_back(token);
    }
    return true;
}

std::string CommandList()
{
    std::string list;
    for (const auto& c : kCommands) list += (list.empty() ? "" : ", ") + std::string(c.name);
    return list;
}

} // namespace

bool ParseScript(const std::string& text, std::vector<ScriptRequest>& requests, std::string& error)
{
    requests.clear();
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const std::string at = std::to_string(number) + ":";
        std::vector<Token> tokens;
        std::string token_error;
        if (!Tokenize(line, tokens, token_error)) {
            error = at + token_error;
            return false;
        }
        if (tokens.empty()) continue;
        const CommandName* command = nullptr;
        for (const auto& c : kCommands)
            if (tokens[0].text == c.name) command = &c;
        if (!command) {
            error = at + std::to_string(tokens[0].column) + ": unknown command \"" + tokens[0].text + "\" (" +
                    CommandList() + ")";
            return false;
        }
        ScriptRequest r;
        r.line = number;
        r.text = line;
        while (!r.text.empty() && (r.text.back() == '\r' || r.text.back() == ' ')) r.text.pop_back();
        const StepName* step = nullptr;
        for (const auto& s : kSteps)
            if (s.code == command->code) step = &s;
        if (step) {
            r.step = step->step;
            const std::size_t wanted = step->what ? 2 : 1;
            if (tokens.size() != wanted) {
                const Token& where = tokens[tokens.size() > wanted ? wanted : 0];
                error = at + std::to_string(where.column) + ": " + command->name +
                        (step->what ? std::string(" takes ") + step->what : std::string(" takes nothing"));
                return false;
            }
            if (step->what && (!ParseNumber(tokens[1].text, step->most, r.number) || r.number < step->least)) {
                error = at + std::to_string(tokens[1].column) + ": " + command->name + " takes " + step->what +
                        ", not \"" + tokens[1].text + "\"";
                return false;
            }
            requests.push_back(r);
            continue;
        }
        r.request.Command = command->code;
        if (command->code == 15) r.request.Result = -1;  // kept as sent by a service without the command
        if (command->code >= 10 && command->code <= 13) r.request.CardNameSize = sizeof r.request.CardName;
        bool command_given = false;
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            const Token& t = tokens[i];
            const std::string where = at + std::to_string(t.column) + ": ";
            const std::size_t eq = t.text.find('=');
            if (eq == std::string::npos || eq == 0) {
                error = where + "expected field=value, found \"" + t.text + "\"";
                return false;
            }
            const std::string name = t.text.substr(0, eq);
            const std::string value = t.text.substr(eq + 1);
            // Script fields are spelt exactly as the record names them.
            const px71ctl::RecordField* field = px71ctl::FindRecordField(name);
            if (field && name != field->name) field = nullptr;
            if (!field) {
                error = where + "unknown field \"" + name + "\"";
                return false;
            }
            if (!Takes(*command, name)) {
                error = where + std::string(command->name) + " takes no field " + name +
                        (*command->fields ? std::string(" (it takes: ") + command->fields + ")" : std::string());
                return false;
            }
            auto* bytes = reinterpret_cast<std::uint8_t*>(&r.request) + field->offset;
            if (field->kind == px71ctl::FieldKind::kText) {
                if (value.size() >= PX71_LOG_TITLE_SIZE) {
                    error = where + "LogTitle holds at most " + std::to_string(PX71_LOG_TITLE_SIZE - 1) + " bytes";
                    return false;
                }
                std::memset(bytes, 0, PX71_LOG_TITLE_SIZE);
                std::memcpy(bytes, value.data(), value.size());
                continue;
            }
            std::uint32_t n = 0;
            const std::uint32_t limit = field->kind == px71ctl::FieldKind::kByte ? 0xFF : 0xFFFFFFFF;
            if (!ParseNumber(value, limit, n)) {
                error = where + name + " takes a number from 0 to " + std::to_string(limit) +
                        " (decimal or 0x hex), not \"" + value + "\"";
                return false;
            }
            if (field->kind == px71ctl::FieldKind::kByte)
                *bytes = static_cast<std::uint8_t>(n);
            else
                std::memcpy(bytes, &n, 4);
            command_given |= name == "Command";
        }
        if (command->code == 0 && !command_given) {
            error = at + std::to_string(tokens[0].column) + ": raw needs Command=N";
            return false;
        }
        requests.push_back(r);
    }
    return true;
}

namespace {

// A line that acts on the machine itself: a card put in or pulled, or time that passes.
// It prints what the machine shows afterwards: the card in each slot, and what the
// service wrote to PX71.LOG meanwhile.
bool RunStep(Simulation& simulation, const ScriptRequest& r, std::ostream& out)
{
    sim::Machine& m = simulation.machine;
    std::unique_lock lock(m.mutex);
    const std::size_t logged = LogRecords(m).size();
    const auto bus = static_cast<std::uint8_t>(r.number);
    if (r.step == ScriptRequest::Step::kWait) {
        sim::WaitUntil(m, lock, r.number, [] { return false; });
        out << "   " << r.number << " ms pass on the machine while PX71Service runs\n";
    } else {
        bool known = false;
        for (const sim::Slot& slot : m.slots) known |= slot.bus == r.number;
        if (!known) {
            out << "   no ExpressCard slot on bus " << r.number << " on this machine\n";
            return false;
        }
        const bool in = r.step == ScriptRequest::Step::kInsert;
        sim::SetCardInserted(m, bus, in);
        out << "   " << (in ? "a card is put into the slot on bus " : "the card is pulled out of the slot on bus ")
            << r.number << "\n";
    }
    const auto records = LogRecords(m);
    for (std::size_t i = logged; i < records.size(); ++i) out << "   PX71.LOG: " << records[i] << "\n";
    for (const sim::Slot& slot : m.slots)
        out << "   the card in the slot on bus " << unsigned(slot.bus) << ": " << CardInSlot(m, slot.bus) << "\n";
    return true;
}

} // namespace

bool RunScript(Simulation& simulation, const std::vector<ScriptRequest>& requests, std::ostream& out)
{
    for (const auto& r : requests) {
        out << r.line << ": " << r.text << "\n";
        std::string error;
        if (r.step == ScriptRequest::Step::kRestart) {
            // As Windows restarts: the service stops, the machine starts again with what
            // the profile kept pending, and the service starts with it.
            simulation.Stop();
            sim::Restart(simulation.machine);
            if (!simulation.Start(error)) {
                out << "   the machine restarted, but " << error << "\n";
                return false;
            }
            out << "   the machine restarted; PX71Service is running again\n";
            continue;
        }
        if (r.step != ScriptRequest::Step::kRequest && !RunStep(simulation, r, out)) return false;
        if (r.step != ScriptRequest::Step::kRequest) continue;
        std::size_t logged = 0;
        {
            std::lock_guard lock(simulation.machine.mutex);
            logged = LogRecords(simulation.machine).size();
        }
        PipeRequest reply{};
        if (!simulation.Send(r.request, reply, error)) {
            out << "   the request did not go through: " << error << "\n";
            return false;
        }
        out << "   Result " << reply.Result << " (" << Hex(static_cast<std::uint32_t>(reply.Result)) << "), LastError "
            << reply.LastError;
        if (r.request.Command >= 10 && r.request.Command <= 13) out << ", CardName \"" << CardNameText(reply) << "\"";
        out << "\n";
        if (r.request.Command == 15) out << "   " << px71client::DescribeReply(reply) << "\n";
        // What the request wrote to PX71.LOG (a refusal's who), but for a report, which is all log.
        if (r.request.Command != 4) {
            std::lock_guard lock(simulation.machine.mutex);
            const auto records = LogRecords(simulation.machine);
            for (std::size_t i = logged; i < records.size(); ++i) out << "   PX71.LOG: " << records[i] << "\n";
        }
    }
    return true;
}

// ------------------------------------------------------------------ the program

namespace {

const char kUsage[] =
    "usage: px71sim [--machine FILE] [--script FILE] [--dump FILE] [--caller user|admin]\n"
    "Boots a simulated Windows machine with the PX71 adapter, starts PX71Service on it\n"
    "and runs a client session through its pipe \\\\.\\pipe\\PX71Service.\n"
    "  --machine FILE  the machine described in FILE (JSON, docs/machine-format.md);\n"
    "                  default: the embedded machine (adapter, card reader with CF and SD,\n"
    "                  two SI3132 controllers with disks, a CardBus card, a USB card)\n"
    "  --script FILE   run the requests in FILE instead of the walk-through\n"
    "  --dump FILE     write the machine's state as JSON to FILE after the session\n"
    "  --caller WHO    make the pipe requests as 'user' (a plain user) or 'admin'\n"
    "                  (an administrator; the default)\n"
    "  --help          this text\n"
    "\n"
    "A script holds one request per line: a command name, then field=value pairs.\n"
    "Numbers are decimal or 0x hex; a value with blanks is quoted (\"...\", with \\\" and \\\\).\n"
    "A # starts a comment. Name commands send CardNameSize=128 unless given.\n"
    "  add-filter                 set-status Bus= StateChange= LinkEnable= CheckVolumes=\n"
    "  set-size PortLen= Oz888Len= SxsLen= A3132Len= B3132Len= USBLen= StartAdrs= EndAdrs=\n"
    "           PayloadSize= SataSSC=\n"
    "  write-log LogTitle=        reset-bridge               check-device\n"
    "  stop-3132-card, stop-cardbus-card, stop-ehci-card, stop-ohci-card  ControllerIndex= CardIndex=\n"
    "  3132-card-name, cardbus-card-name, ehci-card-name, ohci-card-name  ControllerIndex= CardIndex=\n"
    "                                                                      CardNameSize=\n"
    "  get-slot ControllerIndex=  the adapter's slot (command 15): its bus, card, link and card device\n"
    "  raw Command= and any field of the record\n"
    "  restart                    the machine restarts: changes Windows deferred take effect\n"
    "  insert BUS, pull BUS       a card is put into, or pulled out of, the slot on BUS\n"
    "  wait MS                    MS milliseconds of the machine's time pass while the service runs\n"
    "Example:\n"
    "  ehci-card-name ControllerIndex=0 CardIndex=2\n"
    "  stop-ehci-card ControllerIndex=0 CardIndex=2\n"
    "  write-log LogTitle=\"after the eject\"\n"
    "\n"
    "Exit code: 0 done, 1 a file could not be used or the service did not answer, 2 bad usage.\n";

bool ReadFile(const std::string& path, std::string& text, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = path + ": read failed";
        return false;
    }
    return true;
}

} // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    std::string machine_file, script_file, dump_file, caller;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            out << kUsage;
            return 0;
        }
        std::string* target = a == "--machine" ? &machine_file
                              : a == "--script" ? &script_file
                              : a == "--dump"   ? &dump_file
                              : a == "--caller" ? &caller
                                                : nullptr;
        if (!target) {
            err << "px71sim: unknown argument '" << a << "'\n" << kUsage;
            return 2;
        }
        if (i + 1 >= args.size() || args[i + 1].empty()) {
            err << "px71sim: " << a << (target == &caller ? " needs user or admin\n" : " needs a file name\n")
                << kUsage;
            return 2;
        }
        if (!target->empty()) {
            err << "px71sim: " << a << " given twice\n";
            return 2;
        }
        *target = args[++i];
    }

    if (!caller.empty() && caller != "user" && caller != "admin") {
        err << "px71sim: --caller takes user or admin, not '" << caller << "'\n";
        return 2;
    }

    // Everything the user gave is read and checked before the machine boots.
    std::string machine_text, script_text, error;
    if (!machine_file.empty() && !ReadFile(machine_file, machine_text, error)) {
        err << "px71sim: " << error << "\n";
        return 1;
    }
    std::vector<ScriptRequest> script;
    if (!script_file.empty()) {
        if (!ReadFile(script_file, script_text, error)) {
            err << "px71sim: " << error << "\n";
            return 1;
        }
        if (!ParseScript(script_text, script, error)) {
            err << "px71sim: " << script_file << ":" << error << "\n";
            return 1;
        }
    }

    Simulation simulation;
    // The user's programs, the pipe's client and the event's maker among them, run as
    // the user asked for.
    if (caller == "user") simulation.machine.user = {u"S-1-5-21-3623811015-3361044348-30300820-1001", sim::Account::kUser};
    if (machine_file.empty()) {
        sim::BuildDefaultMachine(simulation.machine);
    } else if (!sim::LoadMachine(simulation.machine, machine_text, error)) {
        err << "px71sim: " << machine_file << ": " << error << "\n";
        return 1;
    }
    out << "PX71 on the simulated machine ("
        << (machine_file.empty() ? std::string("embedded default") : machine_file) << ")\n";
    if (!simulation.Start(error)) {
        err << "px71sim: " << error << "\n";
        return 1;
    }
    out << "PX71Service is running and serves \\\\.\\pipe\\PX71Service\n\n" << std::flush;

    bool ok;
    if (script_file.empty()) {
        WalkThrough walk(simulation, out);
        ok = walk.RunAll();
    } else {
        ok = RunScript(simulation, script, out);
    }
    simulation.Stop();
    out << std::flush;

    int code = ok ? 0 : 1;
    if (!dump_file.empty()) {
        std::ofstream dump(dump_file, std::ios::binary | std::ios::trunc);
        dump << sim::DumpMachine(simulation.machine);
        dump.close();
        if (!dump) {
            err << "px71sim: " << dump_file << ": cannot write the machine's state\n";
            code = 1;
        }
    }
    const sim::Accounting left = simulation.machine.Outstanding();
    if (!(left == sim::Accounting{})) {
        err << "px71sim: left open on the machine: " << sim::Describe(left) << "\n";
        code = 1;
    }
    return code;
}

} // namespace px71sim
