#include "client/words.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace px71client {
namespace {

constexpr const char* kServiceKeyText = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711";

const char* StateText(std::uint8_t code)
{
    for (const auto& s : kStateNames)
        if (s.code == code) return s.name;
    return "?";
}

std::string Prefix(const CardKind& kind, const PipeRequest& reply)
{
    return CardPlace(kind, reply.ControllerIndex, reply.CardIndex);
}

std::string NameWords(const CardKind& card, const PipeRequest& reply)
{
    const std::string_view kind = card.name;
    const int result = reply.Result;
    std::string words;
    if (kind == "ehci") {
        const char* states[] = {"no such card", "a USB device", "a medium in the card reader's CF slot",
                                "a medium in the card reader's SD slot"};
        if (result >= 0 && result <= 3) words = states[result];
    } else if (kind == "sata") {
        const char* states[] = {"no such disk", "a disk, present but not started", "a disk, present and started"};
        if (result >= 0 && result <= 2) words = states[result];
    } else {
        const char* states[] = {"no such card, or it is not started or has a problem", "present and started"};
        if (result >= 0 && result <= 1) words = states[result];
    }
    if (words.empty()) return Prefix(card, reply) + "an answer the library does not give";
    if (result == 0) return Prefix(card, reply) + words;
    std::string name = CardNameText(reply);
    return Prefix(card, reply) + words + ", " + (name.empty() ? "no name (it does not fit)" : "\"" + name + "\"");
}

std::string EjectWords(const CardKind& card, const PipeRequest& reply)
{
    if (std::string_view(card.name) == "sata")
        return Prefix(card, reply) + (reply.Result == 1 ? "the disk was removed"
                                                              : "not removed: no such disk, the disk is not "
                                                                "started, or its removal failed");
    if (reply.Result != 1)
        return Prefix(card, reply) +
               "not ejected: no such card, or its eject was vetoed or failed (files open on a medium)";
    return Prefix(card, reply) + "ejected; it can be pulled";
}

std::vector<std::string> CheckWords(const PipeRequest& reply)
{
    struct Bit {
        std::uint32_t mask;
        const char* what;
    } const bits[] = {
        {0x01, "an SI3132 SATA controller below downstream port 1"},
        {0x02, "an SI3132 SATA controller below downstream port 2"},
        {0x04, "a CardBus controller (driver pcmcia) below downstream port 3"},
        {0x08, "a device with a PCI driver below the first function of downstream port 4 (the slot bridge): "
               "a card in the ExpressCard slot"},
        {0x10, "a USB driver below the third function of downstream port 4 (the EHCI controller's root hub)"},
    };
    const auto mask = static_cast<std::uint32_t>(reply.Result);
    char head[64];
    std::snprintf(head, sizeof head, "device check 0x%02X: ", mask);
    std::vector<std::string> lines{std::string(head) + (mask ? "the adapter shows"
                                                             : "nothing found: no adapter, or none of its "
                                                               "positions holds a known controller")};
    if (!mask) return lines;
    for (const auto& b : bits) {
        char line[200];
        std::snprintf(line, sizeof line, "  0x%02X %-3s  %s", b.mask, (mask & b.mask) ? "yes" : "no", b.what);
        lines.push_back(line);
    }
    if (mask & ~0x1Fu) {
        char line[100];
        std::snprintf(line, sizeof line, "  0x%X      bits the system gives no meaning", mask & ~0x1Fu);
        lines.push_back(line);
    }
    return lines;
}

// Device Manager's words for a card node's state: its problem code's, for the codes a
// card in this slot meets, else the code itself.
std::string SlotWords(const PipeRequest& reply)
{
    const int count = reply.Result;
    if (count < 0) return "the service does not know the slot command: it is older than this program";
    if (count == 0)
        return "no adapter slot found: no adapter, or the dump driver \\\\.\\XUDUMP that reads it is not installed";
    const std::uint32_t index = reply.ControllerIndex;
    if (index >= static_cast<std::uint32_t>(count))
        return "no slot " + std::to_string(index) + ": the service found " + std::to_string(count);
    const std::uint8_t link = reply.SetStatusArgs[2];
    std::string text = "slot " + std::to_string(index) + ", bus " + std::to_string(reply.SetStatusArgs[0]) + ": " +
                       (reply.SetStatusArgs[1] ? "a card is in the slot" : "the slot is empty") + "; the link is " +
                       (link == 1 ? "on" : link == 0 ? "off" : "unknown (its register cannot be read)");
    if (!reply.SetStatusArgs[3]) return text + "; no card device in the tree";
    const std::string name = CardNameText(reply);
    text += "; card \"" + name + "\", ";
    if (reply.EndAdrs != 0) return text + "problem " + std::to_string(reply.EndAdrs);
    return text + ((reply.StartAdrs & 0x8) ? "started" : "not started");
}

} // namespace

std::string CardPlace(const CardKind& kind, std::uint32_t controller, std::uint32_t index)
{
    return std::string(kind.name) + " controller " + std::to_string(controller) + ", card " + std::to_string(index) +
           ": ";
}

const CardKind* FindCardKind(std::string_view name) noexcept
{
    for (const auto& k : kCardKinds)
        if (name == k.name) return &k;
    return nullptr;
}

const CardKind* CardKindOf(std::uint32_t command) noexcept
{
    for (const auto& k : kCardKinds)
        if (command == k.name_code || command == k.eject_code) return &k;
    return nullptr;
}

std::string CardNameText(const PipeRequest& reply)
{
    std::string name;
    for (auto unit : reply.CardName) {
        if (!unit) break;
        // UTF-8 for the terminal; names are plain text, surrogates become '?'.
        if (unit < 0x80) {
            name += static_cast<char>(unit);
        } else if (unit < 0x800) {
            name += static_cast<char>(0xC0 | (unit >> 6));
            name += static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit >= 0xD800 && unit < 0xE000) {
            name += '?';
        } else {
            name += static_cast<char>(0xE0 | (unit >> 12));
            name += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            name += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return name;
}

std::string DescribeReply(const PipeRequest& reply)
{
    std::string text;
    if (const CardKind* card = CardKindOf(reply.Command))
        return reply.Command == card->name_code ? NameWords(*card, reply) : EjectWords(*card, reply);
    switch (reply.Command) {
    case PX71_CMD_SET_STATUS: {
        const std::uint8_t bus = reply.SetStatusArgs[0];
        const std::string on_bus = " on bus " + std::to_string(bus);
        if (reply.Result == 1)
            text = "slot bridge" + on_bus + ": the link is " + (reply.SetStatusArgs[2] ? "on" : "off");
        else
            text = "slot bridge" + on_bus + ": the link was not switched (" +
                   (reply.SetStatusArgs[3] ? "a volume below the slot is in use, Windows was refused the card's "
                                             "removal (PX71.LOG says by whom), "
                                           : "") +
                   "no adapter slot bridge" + on_bus + ", or a configuration access failed)";
        const std::uint8_t state = reply.SetStatusArgs[1];
        if (state == 0)
            text += "; the devices" + on_bus + " were re-enumerated";
        else
            text += std::string("; state change \"") + StateText(state) + "\" requested for the devices" + on_bus;
        return text;
    }
    case PX71_CMD_SET_SIZES: {
        const bool defaults = reply.EndAdrs == 0;
        if (reply.Result == 1)
            return std::string(defaults ? "defaults" : "settings") + " stored under " + kServiceKeyText;
        return std::string(defaults ? "defaults" : "settings") + " not stored, or only in part: the key " +
               kServiceKeyText + " is missing or not writable, or a write failed";
    }
    case PX71_CMD_WRITE_LOG: {
        char title[sizeof reply.LogTitle + 1] = {};
        std::memcpy(title, reply.LogTitle, sizeof reply.LogTitle);
        return std::string("report \"") + title + "\" " +
               (reply.Result == 1 ? "written into PX71.LOG beside PX71Service.exe"
                                  : "not written whole: some records did not reach PX71.LOG beside PX71Service.exe");
    }
    case PX71_CMD_CHECK_DEVICE: {
        auto lines = CheckWords(reply);
        for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
        return text;
    }
    case PX71_CMD_ADD_FILTER: {
        const int n = reply.Result;
        if (n > 0) return "filter drivers written for " + std::to_string(n) + (n == 1 ? " adapter" : " adapters");
        if (n == 0) return "no adapter found (the filter lists of earlier runs were deleted all the same)";
        return std::to_string(-n) + (n == -1 ? " adapter" : " adapters") +
               " failed: the root port's filter list could not be written";
    }
    case PX71_CMD_RESET_PCI_BRIDGE:
        return "bridge restart requested (disable, then enable); the service reports no result for it";
    case PX71_CMD_GET_SLOT: return SlotWords(reply);
    default: break;
    }
    return text;
}

bool ReplyFails(const PipeRequest& reply) noexcept
{
    if (const CardKind* card = CardKindOf(reply.Command))
        return reply.Command == card->name_code ? reply.Result == 0 : reply.Result != 1;
    switch (reply.Command) {
    case PX71_CMD_SET_STATUS:
    case PX71_CMD_SET_SIZES:
    case PX71_CMD_CHECK_DEVICE: return reply.Result == 0;
    case PX71_CMD_WRITE_LOG: return reply.Result != 1;
    case PX71_CMD_ADD_FILTER: return reply.Result <= 0;
    case PX71_CMD_GET_SLOT: return reply.Result <= 0 || reply.ControllerIndex >= static_cast<std::uint32_t>(reply.Result);
    default: return false;
    }
}

} // namespace px71client
