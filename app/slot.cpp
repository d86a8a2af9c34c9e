#include "app/slot.h"

#include "app/diagnostics.h"

#include <cstdlib>

namespace px71app {
namespace {

constexpr std::uint32_t kSata3132 = 0x10953132;    // Silicon Image SiI 3132
constexpr std::uint32_t kO2Micro = 0x1217;
constexpr std::uint32_t kCardBusBridge = 0x0607;   // class and subclass
constexpr std::uint32_t kUsbController = 0x0C03;

// The settings' places on the page (settings.h).
constexpr std::size_t kPortWindow = 0, kOz888Window = 1, kSataWindowA = 3, kUsbWindow = 5;

// Device Manager's messages ("Device Manager Error Messages"), for the codes a card in
// this slot is seen with.
struct ProblemText {
    std::uint32_t code;
    const char* text;
};
constexpr ProblemText kProblems[] = {
    {1, "This device is not configured correctly."},
    {3, "The driver for this device might be corrupted, or your system may be running low on memory or other "
        "resources."},
    {10, "This device cannot start."},
    {12, "This device cannot find enough free resources that it can use."},
    {14, "This device cannot work properly until you restart your computer."},
    {16, "Windows cannot identify all the resources this device uses."},
    {18, "Reinstall the drivers for this device."},
    {21, "Windows is removing this device."},
    {22, "This device is disabled."},
    {24, "This device is not present, is not working properly, or does not have all its drivers installed."},
    {28, "The drivers for this device are not installed."},
    {29, "This device is disabled because the firmware of the device did not give it the required resources."},
    {31, "This device is not working properly because Windows cannot load the drivers required for this device."},
    {43, "Windows has stopped this device because it has reported problems."},
    {45, "Currently, this hardware device is not connected to the computer."},
    {47, "Windows cannot use this hardware device because it has been prepared for safe removal, but it has not "
         "been removed from the computer."},
};

// The codes a larger window of the adapter's filter driver can mend: the card found no
// room for its registers.
bool ResourceProblem(std::uint32_t problem) { return problem == 12 || problem == 16; }

const char* WindowWords(std::size_t field)
{
    switch (field) {
    case kOz888Window: return "the OZ888 window";
    case kSataWindowA: return "the SATA controller A and B windows";
    case kUsbWindow: return "the USB window";
    default: return "the port window";
    }
}

std::string CardWords(const SlotState& slot)
{
    return slot.description.empty() ? std::string("the card") : "\"" + slot.description + "\"";
}

// Who held the card, from the log line "Link off refused (veto type N): NAME"
// (PNP_VETO_TYPE), in a person's words.
std::string VetoWords(const std::string& line)
{
    static const std::string kRefused = "Link off refused (veto type ";
    const auto at = line.find(kRefused);
    if (at == std::string::npos) return {};
    char* end = nullptr;
    const long type = std::strtol(line.c_str() + at + kRefused.size(), &end, 10);
    std::string name = end && end[0] == ')' && end[1] == ':' ? std::string(end + 2) : std::string();
    while (!name.empty() && name.front() == ' ') name.erase(0, 1);
    const std::string named = name.empty() ? "" : " (" + name + ")";
    switch (type) {
    case 2: return "a file on it is still being closed; try again in a moment";
    case 3: return "the program " + (name.empty() ? std::string("that uses it") : name) + " is using it";
    case 4: return "the service " + (name.empty() ? std::string("that uses it") : name) + " is using it";
    case 5: return "a program has a file open on it" + named;
    case 6:
    case 7: return "its driver does not let it go" + named;
    case 12: return "Windows does not let this account stop it";
    default: return "Windows did not let it go (veto type " + std::to_string(type) + ")" + named;
    }
}

} // namespace

SlotState ReadSlot(const Ask& ask)
{
    PipeRequest request{};
    request.Command = PX71_CMD_GET_SLOT;
    request.Result = -1;  // a service without the command leaves it so
    PipeRequest reply{};
    const px71client::Answer answer = ask(request, reply);
    SlotState state;
    if (answer.outcome != px71client::Outcome::kAnswered) {
        state.words = NoAnswer(answer);
        return state;
    }
    state.words = px71client::DescribeReply(reply);
    if (reply.Result <= 0) return state;
    state.found = true;
    state.bus = reply.SetStatusArgs[0];
    state.card_present = reply.SetStatusArgs[1] == 1;
    if (reply.SetStatusArgs[2] <= 1) state.link_on = reply.SetStatusArgs[2] == 1;
    state.card_node = reply.SetStatusArgs[3] == 1;
    if (state.card_node) {
        state.description = px71client::CardNameText(reply);
        state.status = reply.StartAdrs;
        state.problem = reply.EndAdrs;
        state.pci_id = reply.CardIndex;
        state.class_code = reply.CardNameSize;
    }
    return state;
}

Notification SwitchLink(const Ask& ask, std::uint8_t bus, bool on)
{
    PipeRequest request{};
    request.Command = PX71_CMD_SET_STATUS;
    request.SetStatusArgs[0] = bus;
    request.SetStatusArgs[1] = 0;  // re-enumerate the devices on the bus
    request.SetStatusArgs[2] = on ? 1 : 0;
    request.SetStatusArgs[3] = 1;  // the volume check
    return Send(ask, request);
}

Notification StopCard(const Ask& ask, std::uint8_t bus, const WCHAR* log)
{
    const LogMark mark = MarkLog(log);
    PipeRequest reply{};
    PipeRequest request{};
    request.Command = PX71_CMD_SET_STATUS;
    request.SetStatusArgs[0] = bus;
    request.SetStatusArgs[3] = 1;  // the volume check, and Plug and Play asked first
    const px71client::Answer answer = ask(request, reply);
    if (answer.outcome != px71client::Outcome::kAnswered) return {false, NoAnswer(answer)};
    if (reply.Result == 1) return {true, "You can pull the ExpressCard now."};
    std::string why;
    for (const std::string& record : RecordsSince(log, mark)) {
        const std::string words = VetoWords(record);
        if (!words.empty()) why = words;
    }
    if (why.empty()) why = "a program is using a drive on it, or Windows could not tell whether one is";
    return {false, "The ExpressCard cannot be stopped now: " + why +
                       ". Close the files and programs that use it, then try again."};
}

std::string ProblemWords(std::uint32_t problem)
{
    const std::string code = " (Code " + std::to_string(problem) + ")";
    for (const auto& known : kProblems)
        if (known.code == problem) return known.text + code;
    return "Windows reports a problem with this device." + code;
}

std::size_t WindowFor(const SlotState& slot)
{
    if (slot.pci_id == kSata3132) return kSataWindowA;
    if (slot.pci_id >> 16 == kO2Micro && slot.class_code >> 8 == kCardBusBridge) return kOz888Window;
    if (slot.class_code >> 8 == kUsbController) return kUsbWindow;
    return kPortWindow;
}

std::vector<SlotNews> Compare(const SlotState& before, const SlotState& now)
{
    std::vector<SlotNews> news;
    if (!before.found || !now.found || before.bus != now.bus) return news;
    if (!before.card_node && now.card_node) news.push_back({"ExpressCard inserted: " + now.description, false, {}});
    // A card stopped first leaves the tree while it is still in the slot.
    if (before.card_node && !now.card_node && !now.card_present)
        news.push_back({"ExpressCard pulled without being stopped: " + CardWords(before) +
                            ". Data being written to it may have been lost.",
                        true,
                        {}});
    if (now.card_node && now.problem != 0 && (!before.card_node || before.problem != now.problem)) {
        SlotNews problem{CardWords(now) + ": " + ProblemWords(now.problem), true, {}};
        if (ResourceProblem(now.problem)) {
            const std::size_t field = WindowFor(now);
            problem.text += std::string(" It gets its resources from ") + WindowWords(field) +
                            " of the adapter's filter driver: click to open Settings and make it larger.";
            problem.setting = field;
        }
        news.push_back(std::move(problem));
    }
    return news;
}

} // namespace px71app
