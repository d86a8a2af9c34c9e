// WriteLogFile against the simulated machine's files.
#include "library/px71.h"
#include "sim/files.h"
#include "support/log_image.h"
#include "support/machine_test.h"

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

using px71test::Header;
using px71test::kSlotBytes;
using px71test::MachineTest;
using px71test::Record;
using px71test::Slot;

namespace {

constexpr char16_t kLog[] = u"C:\\Program Files\\PX71\\PX71.LOG";
constexpr SYSTEMTIME kNow = {2026, 12, 2, 8, 21, 5, 9, 0};
constexpr char kNowText[] = "2026/12/08 21:05:09";
constexpr char kOld[] = "2025/01/31 23:59:58";

std::string FileOf(sim::Machine& m, std::u16string_view path = kLog)
{
    auto bytes = m.files().Read(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

void Put(sim::Machine& m, const std::string& content)
{
    m.files().Write(kLog, sim::Bytes(content.begin(), content.end()));
}

std::vector<std::string> CallNames(const sim::Machine& m)
{
    std::vector<std::string> names;
    for (const auto& c : m.calls()) names.push_back(c.function);
    return names;
}

class LogFileTest : public MachineTest {
protected:
    void SetUp() override { machine.local_time = kNow; }
    std::string File() { return FileOf(machine); }
    bool Exists() { return machine.files().Read(kLog).has_value(); }
};

TEST_F(LogFileTest, FirstCallMakesTheHeaderAndFillsSlotOne)
{
    EXPECT_EQ(WriteLogFile(u"first line"), 1);
    EXPECT_EQ(File(), Header(kNowText, 2) + Record("first line"));

    const auto calls = machine.calls();
    std::size_t opens = 0;
    for (const auto& c : calls) {
        if (c.function != "CreateFileW") continue;
        ++opens;
        EXPECT_EQ(c.text, "C:\\Program Files\\PX71\\PX71.LOG");
        EXPECT_EQ(c.args[0], 0xC0000000u) << "GENERIC_READ | GENERIC_WRITE";
        EXPECT_EQ(c.args[1], 3u) << "FILE_SHARE_READ | FILE_SHARE_WRITE";
        EXPECT_EQ(c.args[2], static_cast<std::uint64_t>(OPEN_ALWAYS));
        EXPECT_EQ(c.args[3], static_cast<std::uint64_t>(FILE_ATTRIBUTE_NORMAL));
    }
    EXPECT_EQ(opens, 1u);
    EXPECT_EQ(machine.CallCount("WriteFile"), 3u) << "new header, record, header";
    EXPECT_EQ(machine.CallCount("ReadFile"), 1u);
    EXPECT_EQ(machine.CallCount("HeapAlloc") + machine.CallCount("LocalAlloc"), 0u) << "no memory is allocated";

    // The header's slot is locked from before the read until after the last write.
    auto names = CallNames(machine);
    auto at = [&](const char* name, bool last) {
        auto it = last ? std::find(names.rbegin(), names.rend(), name).base() - 1 : std::find(names.begin(), names.end(), name);
        return it - names.begin();
    };
    EXPECT_LT(at("LockFileEx", false), at("ReadFile", false));
    EXPECT_LT(at("WriteFile", true), at("UnlockFileEx", false));
    EXPECT_LT(at("UnlockFileEx", false), at("CloseHandle", true));
}

TEST_F(LogFileTest, LaterRecordsFollowAndTheCreationTimeStays)
{
    EXPECT_EQ(WriteLogFile(u"one"), 1);
    machine.local_time = SYSTEMTIME{2027, 3, 1, 2, 4, 5, 6, 7};
    machine.ClearCalls();
    EXPECT_EQ(WriteLogFile(u"two"), 1);
    EXPECT_EQ(File(), Header(kNowText, 3) + Record("one") + Record("two"));
    EXPECT_EQ(machine.CallCount("WriteFile"), 2u) << "record and header only";
}

TEST_F(LogFileTest, TheLogLiesBesideTheProgram)
{
    struct Case {
        std::u16string program, log;
    } cases[] = {
        {u"D:\\Tools\\Bin\\App.exe", u"d:\\tools\\bin\\px71.log"},
        {u"D:/Tools/App.exe", u"D:/Tools/PX71.LOG"},           // either separator ends a folder
    };
    for (const auto& c : cases) {
        machine.files().SetProgramPath(c.program);
        EXPECT_EQ(WriteLogFile(u"here"), 1);
        EXPECT_EQ(FileOf(machine, c.log), Header(kNowText, 2) + Record("here"))
            << std::string(c.program.begin(), c.program.end());
    }
    EXPECT_FALSE(Exists());
}

TEST_F(LogFileTest, AProgramPathTooLongForTheLogsPathWritesNothing)
{
    // 254 characters of folder and "p.exe": the program's path fits, the log's does not.
    const std::u16string folder = u"C:\\" + std::u16string(250, u'f') + u"\\";
    machine.files().SetProgramPath(folder + u"p.exe");
    EXPECT_EQ(WriteLogFile(u"x"), 0);
    EXPECT_EQ(machine.CallCount("CreateFileW"), 0u);
    // 260 characters and more: GetModuleFileNameW cuts the path, which names another folder.
    machine.files().SetProgramPath(u"C:\\" + std::u16string(300, u'g') + u".exe");
    EXPECT_EQ(WriteLogFile(u"x"), 0);
    EXPECT_EQ(machine.CallCount("CreateFileW"), 0u);
}

TEST_F(LogFileTest, TheRingWrapsAfterSlot4999AndKeepsTheCreationTime)
{
    std::string file = Header(kOld, 4999);
    for (std::size_t slot = 1; slot < 4999; ++slot) file += Record("old " + std::to_string(slot));
    Put(machine, file);

    EXPECT_EQ(WriteLogFile(u"last slot"), 1);
    std::string after = File();
    EXPECT_EQ(after.size(), 1000000u);
    EXPECT_EQ(Slot(after, 4999), Record("last slot"));
    EXPECT_EQ(Slot(after, 0), Header(kOld, 1));

    EXPECT_EQ(WriteLogFile(u"wrapped"), 1);
    after = File();
    EXPECT_EQ(after.size(), 1000000u) << "the ring never grows";
    EXPECT_EQ(Slot(after, 0), Header(kOld, 2));
    EXPECT_EQ(Slot(after, 1), Record("wrapped"));
    EXPECT_EQ(Slot(after, 2), Record("old 2"));
}

TEST_F(LogFileTest, ADamagedHeaderIsRenewedAndTheOlderSlotsKept)
{
    const std::string records = Record("old one") + Record("old two") + Record("old three");
    struct Case {
        const char* what;
        std::string before;
        std::string after;
    } cases[] = {
        {"marker in small letters", Header(kOld, 3, "px71log") + records,
         Header(kNowText, 2) + Record("new") + Record("old two") + Record("old three")},
        {"marker without its zero", Header(kOld, 3, "PX71LOGX") + records,
         Header(kNowText, 2) + Record("new") + Record("old two") + Record("old three")},
        {"NextSlot 5000", Header(kOld, 5000) + records,
         Header(kNowText, 2) + Record("new") + Record("old two") + Record("old three")},
        {"NextSlot all ones", Header(kOld, 0xFFFFFFFF) + records,
         Header(kNowText, 2) + Record("new") + Record("old two") + Record("old three")},
        {"NextSlot 0, which would put the record under the header", Header(kOld, 0) + records,
         Header(kNowText, 2) + Record("new") + Record("old two") + Record("old three")},
        {"a file shorter than a header", std::string(100, 'z'), Header(kNowText, 2) + Record("new")},
        {"an empty file", std::string(), Header(kNowText, 2) + Record("new")},
        {"a file that is not a log", std::string(1234, '\x7f'),
         Header(kNowText, 2) + Record("new") + std::string(1234 - 400, '\x7f')},
    };
    for (const auto& c : cases) {
        Put(machine, c.before);
        EXPECT_EQ(WriteLogFile(u"new"), 1) << c.what;
        EXPECT_EQ(File(), c.after) << c.what;
    }
}

TEST_F(LogFileTest, ANullTextOnlyMakesTheHeaderValid)
{
    struct Case {
        const char* what;
        std::optional<std::string> before;
        std::string after;
        std::size_t writes;
    } cases[] = {
        {"no file", std::nullopt, Header(kNowText, 1), 1},
        {"valid header", Header(kOld, 7) + Record("kept"), Header(kOld, 7) + Record("kept"), 0},
        {"damaged header", Header(kOld, 9000) + Record("kept"), Header(kNowText, 1) + Record("kept"), 1},
    };
    for (const auto& c : cases) {
        machine.files().Delete(kLog);
        if (c.before) Put(machine, *c.before);
        machine.ClearCalls();
        EXPECT_NE(WriteLogFile(nullptr), 0) << c.what;
        EXPECT_EQ(File(), c.after) << c.what;
        EXPECT_EQ(machine.CallCount("WriteFile"), c.writes) << c.what;
    }
}

TEST_F(LogFileTest, AReadOnlyFolderGetsNothing)
{
    machine.files().SetReadOnly(u"C:\\Program Files\\PX71");
    EXPECT_EQ(WriteLogFile(u"text"), 0);
    EXPECT_EQ(WriteLogFile(nullptr), 0);
    EXPECT_FALSE(Exists());

    const std::string before = Header(kOld, 2) + Record("there before");
    Put(machine, before);
    EXPECT_EQ(WriteLogFile(u"text"), 0);
    EXPECT_EQ(File(), before);
}

TEST_F(LogFileTest, TextsAreConvertedToAnsiAndCutAtByte200)
{
    struct Case {
        const char* what;
        std::u16string text;
        std::string stored;  // the record's bytes before the zeros
    } cases[] = {
        {"empty text: a record of zeros", u"", ""},
        {"199 bytes", std::u16string(199, u'a'), std::string(199, 'a')},
        {"200 bytes: no terminating zero", std::u16string(200, u'b'), std::string(200, 'b')},
        {"201 bytes", std::u16string(201, u'c'), std::string(200, 'c')},
        {"450 bytes", std::u16string(250, u'd') + std::u16string(200, u'e'), std::string(200, 'd')},
        {"Windows-1252 letters", u"Caf\u00e9 \u20ac5 \u00fc\u2019", "Caf\xe9 \x80" "5 \xfc\x92"},
        {"characters outside the code page", u"\u6f22\u5b57 !", "?? !"},
        {"line breaks are kept as given", u"\r\nPX71\r\n", "\r\nPX71\r\n"},
        {"a long text with non-ASCII at the cut", std::u16string(199, u'f') + u"\u00e9\u00e9\u00e9",
         std::string(199, 'f') + "\xe9"},
        // A character beyond the BMP: a '?' for each half in this code page, and a pair
        // across the end of the converted piece is converted whole.
        {"a surrogate pair across the first piece's end", std::u16string(199, u'g') + u"\U0001F600h",
         std::string(199, 'g') + "?"},
        {"a surrogate pair just before it", std::u16string(198, u'h') + u"\U0001F600i",
         std::string(198, 'h') + "??"},
        {"half a pair at the end", u"ab\xD83D", "ab?"},
    };
    DWORD slot = 1;
    for (const auto& c : cases) {
        EXPECT_EQ(WriteLogFile(c.text.c_str()), 1) << c.what;
        EXPECT_EQ(Slot(File(), slot), Record(c.stored)) << c.what;
        ++slot;
    }
    EXPECT_EQ(px71test::NextSlot(File()), slot);
}

// Every call of the export failed in turn, on a log that holds two records.
TEST(LogFileFaults, AFailedCallLosesNothingAndTellsSo)
{
    const std::string before = Header(kOld, 3) + Record("one") + Record("two");
    auto build = [&](sim::Machine& m) {
        m.local_time = kNow;
        Put(m, before);
    };
    int faults = px71test::SweepFaults<int>(
        build, [] { return WriteLogFile(u"three"); },
        [&](int result, sim::Machine& m, std::size_t n) {
            std::string failed;
            for (const auto& c : m.calls())
                if (c.failed) failed = c.function;
            const std::string file = FileOf(m);
            // Releases failing, or the module handle (NULL names the program too), change
            // nothing, nor can the tick count fail; a lock call that fails other than by a
            // lock violation is a file system without locks, and the record goes in without one.
            const bool harmless = failed == "CloseHandle" || failed == "UnlockFileEx" ||
                                  failed == "GetModuleHandleW" || failed == "GetTickCount64" ||
                                  failed == "LockFileEx";
            EXPECT_EQ(result, harmless ? 1 : 0) << "call " << n << ", " << failed;
            if (result) {
                EXPECT_EQ(file, Header(kOld, 4) + Record("one") + Record("two") + Record("three")) << failed;
                return;
            }
            EXPECT_EQ(px71test::NextSlot(file), 3u) << "NextSlot not advanced when " << failed << " failed";
            EXPECT_EQ(file.substr(0, 600), before) << failed;
            // The record went in before the header write failed; the slot is used again next time.
            if (file.size() > 600) {
                EXPECT_EQ(Slot(file, 3), Record("three")) << failed;
            }
        });
    EXPECT_GT(faults, 8);
}

TEST(LogFileFaults, ANewHeaderThatCannotBeWrittenStopsTheCall)
{
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    machine.local_time = kNow;
    machine.ArmFault({"WriteFile", 1, ERROR_DISK_FULL});
    EXPECT_EQ(WriteLogFile(u"text"), 0);
    EXPECT_EQ(FileOf(machine), "") << "created empty, nothing written";
    EXPECT_EQ(machine.CallCount("WriteFile"), 1u);
    EXPECT_TRUE(px71test::NothingOpen(machine));
}

TEST_F(LogFileTest, ManyWritersAtOnceLoseNoRecord)
{
    machine.set_logging(false);
    machine.interleave_calls = true;
    // What counts here is that no record is lost, not how fast this host lets a writer
    // in: with the clock stopped, no writer's bounded wait for the lock runs out.
    machine.StopClock();
    constexpr int kThreads = 8;
    constexpr int kEach = 60;
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::u16string text = sim::Widen("writer " + std::to_string(t) + " record " + std::to_string(i));
                if (WriteLogFile(text.c_str()) != 1) ++failures;
            }
        });
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(failures.load(), 0);

    const std::string file = File();
    EXPECT_EQ(px71test::NextSlot(file), static_cast<std::uint32_t>(kThreads * kEach + 1));
    std::multiset<std::string> found;
    for (int slot = 1; slot <= kThreads * kEach; ++slot) found.insert(px71test::RecordText(Slot(file, slot)));
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i) {
            const std::string text = "writer " + std::to_string(t) + " record " + std::to_string(i);
            EXPECT_EQ(found.count(text), 1u) << text;
        }
}

// Some file systems keep no byte-range locks: the record is written without one.
TEST_F(LogFileTest, AFileSystemWithoutLocksStillTakesTheRecord)
{
    Put(machine, Header(kOld, 2) + Record("one"));
    machine.no_byte_range_locks = true;
    EXPECT_EQ(WriteLogFile(u"two"), 1);
    EXPECT_EQ(File(), Header(kOld, 3) + Record("one") + Record("two"));
}

TEST_F(LogFileTest, AWriterThatCannotGetTheHeaderGivesUp)
{
    const std::string before = Header(kOld, 2) + Record("one");
    Put(machine, before);
    HANDLE other = CreateFileW(kLog, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OVERLAPPED at{};
    ASSERT_TRUE(LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 200, 0, &at));

    const auto start = std::chrono::steady_clock::now();
    machine.ClearCalls();
    EXPECT_EQ(WriteLogFile(u"two"), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(400)) << "it waited for the other writer";
    // Each Sleep(1) lasts a timer tick (15.625 ms, as on Windows): the wait is bounded by
    // the clock, so it holds at most 600 ms of them, not 500 sleeps (7.8 s).
    EXPECT_LE(static_cast<double>(machine.CallCount("Sleep")) * machine.timer_tick_ms, 600.0);
    EXPECT_EQ(File(), before);

    // Once the other writer lets go, the next call goes through.
    EXPECT_TRUE(UnlockFileEx(other, 0, 200, 0, &at));
    EXPECT_EQ(WriteLogFile(u"two"), 1);
    EXPECT_TRUE(LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 200, 0, &at))
        << "the export released its lock";
    CloseHandle(other);
    EXPECT_EQ(File(), Header(kOld, 3) + Record("one") + Record("two"));
}

} // namespace
