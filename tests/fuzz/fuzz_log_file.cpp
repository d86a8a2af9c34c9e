// WriteLogFile and the px71log reader on an arbitrary existing PX71.LOG beside the
// program. The first input byte picks the record's length; the rest is the file.
// WriteLogFile may rewrite the header and fill one slot and nothing else; the reader
// never crashes, and once WriteLogFile succeeded it reads the new record as the newest.
#include "library/px71.h"
#include "sim/files.h"
#include "sim/machine.h"
#include "tools/px71log/log_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t kSlotBytes = 200;
constexpr std::size_t kSlots = 5000;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// The next slot the header names; a short file reads as zeros past its end.
std::uint32_t NextSlot(const std::string& image)
{
    unsigned char field[4] = {};
    for (std::size_t i = 0; i < 4 && 28 + i < image.size(); ++i) field[i] = static_cast<unsigned char>(image[28 + i]);
    return field[0] | field[1] << 8 | field[2] << 16 | static_cast<std::uint32_t>(field[3]) << 24;
}

void Read(const std::string& image)
{
    for (const px71log::Options& options :
         {px71log::Options{}, px71log::Options{std::size_t{3}, false, ""}, px71log::Options{{}, true, ""}}) {
        const px71log::Output out = px71log::Render(image, image.size(), options);
        if (out.exit_code != 0 && out.exit_code != 1) Fail("reader exit code neither 0 nor 1");
        if (out.exit_code == 1 && out.err.empty()) Fail("reader refused without saying why");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    // One machine for the whole run keeps the host folder; every input replaces the file.
    static sim::Machine machine;
    static const std::u16string log = machine.files().ProgramFolder() + u"PX71.LOG";
    machine.set_logging(false);
    machine.local_time = SYSTEMTIME{2026, 12, 2, 8, 21, 5, 9, 0};

    const std::string before(reinterpret_cast<const char*>(data) + 1, size - 1);
    Read(before);
    machine.files().Write(log, sim::Bytes(before.begin(), before.end()));

    std::u16string text(data[0] % 220, u'a');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(u'a' + i % 26);
    int written;
    {
        sim::ActiveMachine active(machine);
        written = WriteLogFile(reinterpret_cast<LPCWSTR>(text.c_str()));
    }
    if (!(machine.Outstanding() == sim::Accounting{})) {
        std::fprintf(stderr, "left behind: %s\n", sim::Describe(machine.Outstanding()).c_str());
        std::abort();
    }
    const auto bytes = machine.files().Read(log);
    if (!bytes) Fail("the log went away");
    const std::string after(bytes->begin(), bytes->end());
    Read(after);
    if (written != 1) Fail("WriteLogFile failed on a writable folder");

    // The slot it filled: the one the old header named, or slot 1 under a new header.
    const std::uint32_t old_next = NextSlot(before);
    const bool old_valid = before.size() >= 8 && std::memcmp(before.data(), "PX71LOG", 8) == 0 && old_next >= 1 &&
                           old_next < kSlots;
    const std::size_t slot = old_valid ? old_next : 1;
    const std::size_t at = slot * kSlotBytes;
    if (after.size() < at + kSlotBytes) Fail("the record's slot is not in the file");
    std::string expected(kSlotBytes, '\0');
    for (std::size_t i = 0; i < text.size() && i < kSlotBytes; ++i) expected[i] = static_cast<char>(text[i]);
    if (after.compare(at, kSlotBytes, expected) != 0) Fail("the record is not in its slot");
    if (NextSlot(after) != (slot + 1 == kSlots ? 1 : slot + 1)) Fail("the header does not name the next slot");
    // Every other byte the old file had stays as it was; new bytes between are zeros.
    std::string expected_file = before;
    if (expected_file.size() < after.size()) expected_file.resize(after.size(), '\0');
    if (expected_file.size() != after.size()) Fail("the log shrank");
    if (after.compare(kSlotBytes, at - kSlotBytes, expected_file, kSlotBytes, at - kSlotBytes) != 0 ||
        after.compare(at + kSlotBytes, std::string::npos, expected_file, at + kSlotBytes) != 0)
        Fail("a byte outside the header and the record changed");
    return 0;
}
