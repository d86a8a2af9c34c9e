#include "tools/px71log/log_reader.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace px71log {
namespace {

constexpr std::size_t kSlotBytes = 200;
constexpr std::size_t kSlots = 5000;
constexpr std::size_t kRingBytes = kSlotBytes * kSlots;

const char kUsage[] =
    "usage: px71log [--last N] [--report] [FILE]\n"
    "Prints the PX71 log FILE (default PX71.LOG): its header, then its records oldest first.\n"
    "  --last N   only the last N records\n"
    "  --report   only the records of the last diagnostic report\n";

bool Digit(char c) { return c >= '0' && c <= '9'; }

// "yyyy/mm/dd hh:mm:ss" with every field in its range.
bool IsDateTime(const std::string& s)
{
    static const char kShape[] = "dddd/dd/dd dd:dd:dd";
    if (s.size() != 19) return false;
    for (std::size_t i = 0; i < 19; ++i)
        if (kShape[i] == 'd' ? !Digit(s[i]) : s[i] != kShape[i]) return false;
    auto field = [&](std::size_t at, std::size_t n) { return std::stoi(s.substr(at, n)); };
    return field(5, 2) >= 1 && field(5, 2) <= 12 && field(8, 2) >= 1 && field(8, 2) <= 31 && field(11, 2) < 24 &&
           field(14, 2) < 60 && field(17, 2) < 60;
}

std::string Hex2(unsigned char c)
{
    const char* digits = "0123456789ABCDEF";
    return std::string{'\\', 'x', digits[c >> 4], digits[c & 15]};
}

// A record's text for a terminal: CR LF as a line break, printable ASCII as it is,
// every other byte as \xNN (the log's bytes are in the writer's ANSI code page).
std::string Printable(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F))
            out.push_back(static_cast<char>(c));
        else
            out += Hex2(c);
    }
    if (out.empty() || out.back() != '\n') out.push_back('\n');
    return out;
}

bool AllZero(const std::string& s, std::size_t from)
{
    for (std::size_t i = from; i < s.size(); ++i)
        if (s[i] != '\0') return false;
    return true;
}

std::string SlotBytes(const std::string& image, std::size_t slot)
{
    const std::size_t at = slot * kSlotBytes;
    std::string bytes = at < image.size() ? image.substr(at, kSlotBytes) : std::string();
    bytes.resize(kSlotBytes, '\0');  // past the end reads as never written
    return bytes;
}

} // namespace

Log Parse(const std::string& image, std::size_t file_size)
{
    Log log;
    if (file_size < kSlotBytes) {
        log.fatal = "not a PX71 log: the file holds " + std::to_string(file_size) +
                    " bytes, fewer than the 200 of a log header";
        return log;
    }
    if (std::memcmp(image.data(), "PX71LOG", 8) != 0) {
        log.fatal = "not a PX71 log: it does not begin with the marker \"PX71LOG\"";
        return log;
    }
    // A damaged creation time says nothing of the records: they are listed all the same
    // (a writer may still be appending to this log), and the damage is named.
    const std::string created = image.substr(8, 19);
    if (!IsDateTime(created) || image[27] != '\0') {
        log.problems.push_back("damaged header: the creation time (bytes 8 to 27) is not a date and time");
        log.created = "(damaged)";
    } else {
        log.created = created;
    }
    std::size_t next = 0;
    for (int i = 3; i >= 0; --i) next = next << 8 | static_cast<unsigned char>(image[28 + i]);
    if (next == 0 || next >= kSlots) {
        log.fatal = "damaged header: the next slot is " + std::to_string(next) + ", outside 1 to 4999";
        return log;
    }
    log.next_slot = next;
    if (!AllZero(image.substr(0, kSlotBytes), 32)) log.problems.push_back("damaged header: bytes 32 to 199 are not zero");
    if (file_size % kSlotBytes != 0 && file_size < kRingBytes)
        log.problems.push_back("the file ends inside slot " + std::to_string(file_size / kSlotBytes) +
                               " (its size, " + std::to_string(file_size) + ", is not a whole number of slots)");
    if (file_size > kRingBytes)
        log.problems.push_back("the file holds " + std::to_string(file_size - kRingBytes) +
                               " bytes beyond the 1000000 of the ring; they are not read");

    // Records at or after the next slot are older ones, left there when the ring wrapped.
    // Slots past the end of the file were never written: neither scanned nor copied.
    const std::size_t slots_in_file = (image.size() + kSlotBytes - 1) / kSlotBytes;
    for (std::size_t slot = next; slot < kSlots && slot < slots_in_file && !log.wrapped; ++slot)
        log.wrapped = !AllZero(SlotBytes(image, slot), 0);
    std::vector<std::size_t> order;
    if (log.wrapped)
        for (std::size_t slot = next; slot < kSlots; ++slot) order.push_back(slot);
    for (std::size_t slot = 1; slot < next; ++slot) order.push_back(slot);

    for (std::size_t slot : order) {
        if (slot >= slots_in_file) continue;
        const std::string bytes = SlotBytes(image, slot);
        if (AllZero(bytes, 0)) continue;  // never written, or an empty text
        Entry entry;
        entry.slot = slot;
        const std::size_t end = bytes.find('\0');
        entry.text = bytes.substr(0, end);
        if (end != std::string::npos && !AllZero(bytes, end))
            entry.problem = "damaged record: data after its end (the text stops at byte " + std::to_string(end) + ")";
        log.entries.push_back(std::move(entry));
    }
    return log;
}

Output Render(const std::string& image, std::size_t file_size, const Options& options)
{
    Output result;
    const Log log = Parse(image, file_size);
    if (!log.fatal.empty()) {
        result.err = options.path + ": " + log.fatal + "\n";
        result.exit_code = 1;
        return result;
    }
    for (const auto& problem : log.problems) result.err += options.path + ": " + problem + "\n";
    if (!log.problems.empty()) result.exit_code = 1;

    std::vector<Entry> shown = log.entries;
    if (options.report) {
        // A report begins with its heading, the only record that opens with two line breaks.
        std::size_t start = shown.size();
        for (std::size_t i = shown.size(); i-- > 0;)
            if (shown[i].text.rfind("\r\n\r\n", 0) == 0) {
                start = i;
                break;
            }
        if (start == shown.size()) {
            result.err += options.path + ": the log holds no diagnostic report\n";
            result.exit_code = 1;
        }
        shown.erase(shown.begin(), shown.begin() + static_cast<std::ptrdiff_t>(start));
    }
    if (options.last && *options.last < shown.size())
        shown.erase(shown.begin(), shown.end() - static_cast<std::ptrdiff_t>(*options.last));

    result.out = "PX71 log " + options.path + "\n";
    result.out += "created    " + log.created + "\n";
    result.out += "next slot  " + std::to_string(log.next_slot) + "\n";
    result.out += "records    " + std::to_string(log.entries.size()) +
                  (log.wrapped ? " (the ring has wrapped; oldest first)\n" : " (oldest first)\n");
    for (const auto& entry : shown) {
        result.out += "--- slot " + std::to_string(entry.slot) + "\n";
        if (entry.problem.empty()) {
            result.out += Printable(entry.text);
        } else {
            result.out += "[" + entry.problem + "]\n";
            result.err += options.path + ": slot " + std::to_string(entry.slot) + ": " + entry.problem + "\n";
            result.exit_code = 1;
        }
    }
    return result;
}

Output Run(const std::vector<std::string>& args)
{
    Options options;
    bool path_given = false;
    auto usage_error = [](const std::string& what) {
        Output out;
        out.exit_code = 2;
        out.err = "px71log: " + what + "\n" + kUsage;
        return out;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            Output out;
            out.out = kUsage;
            return out;
        }
        if (arg == "--report") {
            options.report = true;
        } else if (arg == "--last" || arg.rfind("--last=", 0) == 0) {
            std::string n;
            if (arg == "--last") {
                if (i + 1 == args.size()) return usage_error("--last wants a number of records");
                n = args[++i];
            } else {
                n = arg.substr(7);
            }
            std::size_t value = 0;
            bool ok = !n.empty() && n.size() <= 9;
            for (char c : n) {
                ok = ok && Digit(c);
                if (ok) value = value * 10 + static_cast<std::size_t>(c - '0');
            }
            if (!ok || value == 0) return usage_error("--last wants a number of records from 1, not \"" + n + "\"");
            options.last = value;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            return usage_error("unknown option \"" + arg + "\"");
        } else if (path_given) {
            return usage_error("one log file at a time");
        } else {
            options.path = arg;
            path_given = true;
        }
    }

    std::ifstream file(options.path, std::ios::binary);
    if (!file) {
        Output out;
        out.exit_code = 1;
        out.err = "px71log: cannot open " + options.path + ": " + std::strerror(errno) + "\n";
        return out;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size < 0) {
        Output out;
        out.exit_code = 1;
        out.err = "px71log: cannot read " + options.path + "\n";
        return out;
    }
    // No more than the ring is ever read, whatever the file's size.
    std::string image(static_cast<std::size_t>(size) < kRingBytes ? static_cast<std::size_t>(size) : kRingBytes,
                      '\0');
    file.read(image.data(), static_cast<std::streamsize>(image.size()));
    if (static_cast<std::size_t>(file.gcount()) != image.size()) {
        Output out;
        out.exit_code = 1;
        out.err = "px71log: cannot read " + options.path + " (a folder, or a file in use; try again)\n";
        return out;
    }
    return Render(image, static_cast<std::size_t>(size), options);
}

} // namespace px71log
