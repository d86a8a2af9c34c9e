// The Control Panel applet on the simulated machine: its answers to the Control Panel,
// which program a double click starts, and that it waits for that program.
#include "sim/files.h"
#include "sim/processes.h"
#include "support/machine_test.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>

extern "C" LONG APIENTRY CPlApplet(HWND window, UINT message, LPARAM param1, LPARAM param2) noexcept;

namespace {

using px71test::MachineTest;

constexpr char kDefaultPath[] = "C:\\Program Files\\PX71\\PX71 HotPlug Tool\\PX71.exe";
constexpr char16_t kDefaultFolder[] = u"C:\\Program Files\\PX71\\PX71 HotPlug Tool";
constexpr char kOwnPath[] = "C:\\Tools\\Main.exe";

sim::Bytes AnsiBytes(const std::string& text) { return sim::Bytes(text.begin(), text.end()); }
sim::Bytes Utf16Bytes(const std::string& text)  // ASCII text, as UTF-16LE
{
    sim::Bytes bytes;
    for (char c : text) bytes.push_back(static_cast<std::uint8_t>(c)), bytes.push_back(0);
    return bytes;
}

class AppletTest : public MachineTest {
protected:
    void SetUp() override
    {
        machine.files().MakeFolder(kDefaultFolder);
        machine.files().Write(sim::Widen(kDefaultPath), {});
        machine.files().MakeFolder(u"C:\\Tools");
        machine.files().Write(sim::Widen(kOwnPath), {});
        machine.registry.CreateKey(sim::kServiceKey);
    }
    LONG DoubleClick() { return CPlApplet(nullptr, CPL_DBLCLK, 0, 0); }
};

TEST_F(AppletTest, AnswersTheControlPanelsMessages)
{
    struct Case {
        UINT message;
        LONG result;
    } cases[] = {
        {CPL_INIT, 1}, {CPL_GETCOUNT, 1}, {CPL_SELECT, 0}, {CPL_STOP, 0}, {CPL_EXIT, 0}, {CPL_NEWINQUIRE, 0},
        {0, 0},        {9, 0},            {0xFFFF, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        // A message that fills nothing leaves what its parameter points to alone.
        unsigned char untouched[64];
        std::memset(untouched, 0xA5, sizeof untouched);
        machine.ClearCalls();
        EXPECT_EQ(CPlApplet(nullptr, c.message, 0, reinterpret_cast<LPARAM>(untouched)), c.result);
        for (unsigned char b : untouched) ASSERT_EQ(b, 0xA5);
        EXPECT_EQ(machine.TotalCalls(), 0u);
        EXPECT_TRUE(sim::Launches(machine).empty());
    }
    CPLINFO info;
    std::memset(&info, 0xA5, sizeof info);
    EXPECT_EQ(CPlApplet(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(info.idIcon, 6000);
    EXPECT_EQ(info.idName, 6001);
    EXPECT_EQ(info.idInfo, 6002);
    EXPECT_EQ(info.lData, 0);
    EXPECT_EQ(CPlApplet(nullptr, CPL_INQUIRE, 0, 0), 0) << "no CPLINFO to fill";
}

// Which program a double click starts. A value the buffer cannot hold whole, with its
// terminator, is not a path: the default is started instead.
TEST_F(AppletTest, DoubleClickStartsFilePathNameOrTheDefault)
{
    const std::string fits(260, 'x');  // 260 characters and the terminator: 261 bytes
    struct Case {
        const char* what;
        bool key;
        std::optional<sim::RegValue> value;
        sim::Fault fault;
        std::string started;  // empty: nothing is started
        std::u16string program_files = u"C:\\Program Files";
    } cases[] = {
        {"a REG_SZ path", true, sim::RegValue{u"FilePathName", REG_SZ, Utf16Bytes(std::string(kOwnPath) + '\0')}, {},
         kOwnPath},
        {"no key", false, std::nullopt, {}, kDefaultPath},
        {"no value", true, std::nullopt, {}, kDefaultPath},
        {"another value only", true, sim::RegValue{u"FilePath", REG_SZ, Utf16Bytes(std::string(kOwnPath) + '\0')},
         {}, kDefaultPath},
        {"the type is not checked", true, sim::RegValue{u"FilePathName", REG_BINARY, AnsiBytes(std::string(kOwnPath) + '\0')},
         {}, kOwnPath},
        {"environment strings are not expanded", true,
         sim::RegValue{u"FilePathName", REG_EXPAND_SZ, Utf16Bytes(std::string("%ProgramFiles%\\PX71.exe") + '\0')}, {},
         "%ProgramFiles%\\PX71.exe"},
        {"260 characters and the terminator fill the buffer", true,
         sim::RegValue{u"FilePathName", REG_SZ, Utf16Bytes(fits + '\0')}, {}, fits},
        {"261 characters and the terminator do not fit", true,
         sim::RegValue{u"FilePathName", REG_SZ, Utf16Bytes(fits + "x" + '\0')}, {}, kDefaultPath},
        // Obvious fault guarded: these fill the buffer or end without a NUL; read as a
        // path they would run on past the text.
        {"261 bytes with no terminator", true, sim::RegValue{u"FilePathName", REG_SZ, Utf16Bytes(fits + "x")}, {},
         kDefaultPath},
        {"binary without a trailing NUL", true, sim::RegValue{u"FilePathName", REG_BINARY, AnsiBytes(kOwnPath)}, {},
         kDefaultPath},
        {"an empty value", true, sim::RegValue{u"FilePathName", REG_BINARY, {}}, {}, kDefaultPath},
        {"261 binary bytes and no NUL among them", true,
         sim::RegValue{u"FilePathName", REG_BINARY, AnsiBytes(fits + "x")}, {}, kDefaultPath},
        {"a DWORD", true, sim::RegValue{u"FilePathName", REG_DWORD, sim::DwordBytes(0x41424344)}, {}, kDefaultPath},
        {"the key cannot be opened", true, sim::RegValue{u"FilePathName", REG_SZ, Utf16Bytes(std::string(kOwnPath) + '\0')},
         {"RegOpenKeyExA", 1, ERROR_ACCESS_DENIED}, kDefaultPath},
        {"the value cannot be read", true, sim::RegValue{u"FilePathName", REG_SZ, Utf16Bytes(std::string(kOwnPath) + '\0')},
         {"RegQueryValueExA", 1, ERROR_ACCESS_DENIED}, kDefaultPath},
        // Program Files is where Windows says, never on a literal drive.
        {"Windows installed on D:", false, std::nullopt, {}, "D:\\Program Files\\PX71\\PX71 HotPlug Tool\\PX71.exe",
         u"D:\\Program Files"},
        {"Windows cannot say where Program Files is", false, std::nullopt,
         {"SHGetKnownFolderPath", 1, ERROR_FILE_NOT_FOUND}, ""},
        {"a Program Files the ANSI code page cannot name", false, std::nullopt, {}, "", u"D:\\Programme \u0444"},
        {"a Program Files too long for the path", false, std::nullopt, {}, "",
         u"C:\\" + std::u16string(230, u'p')},
        {"a Program Files longer than a path", false, std::nullopt, {}, "", u"C:\\" + std::u16string(300, u'p')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine fresh;
        sim::ActiveMachine active(fresh);
        fresh.files().MakeFolder(kDefaultFolder);
        fresh.files().Write(sim::Widen(kDefaultPath), {});
        if (c.key) fresh.registry.CreateKey(sim::kServiceKey);
        if (c.value) fresh.registry.SetValue(sim::kServiceKey, c.value->name, c.value->type, c.value->data);
        if (!c.fault.function.empty()) fresh.ArmFault(c.fault);

        fresh.program_files = c.program_files;

        EXPECT_EQ(CPlApplet(nullptr, CPL_DBLCLK, 0, 0), 0);
        auto launches = sim::Launches(fresh);
        EXPECT_TRUE(px71test::NothingOpen(fresh));
        if (c.started.empty()) {
            EXPECT_TRUE(launches.empty());
            continue;
        }
        ASSERT_EQ(launches.size(), 1u);
        const auto& launch = launches[0];
        EXPECT_EQ(launch.application, c.started);
        EXPECT_EQ(launch.command_line, std::optional<std::string>("-c")) << "no program name before it";
        EXPECT_EQ(launch.startup_size, sizeof(STARTUPINFOA));
        EXPECT_TRUE(launch.startup_rest_zero);
        EXPECT_FALSE(launch.process_attributes);
        EXPECT_FALSE(launch.thread_attributes);
        EXPECT_EQ(launch.inherit_handles, FALSE);
        EXPECT_EQ(launch.creation_flags, 0u);
        EXPECT_FALSE(launch.environment);
        EXPECT_FALSE(launch.current_directory);
        EXPECT_TRUE(px71test::NothingOpen(fresh));
        // The key is read with KEY_READ and never created.
        for (const auto& call : fresh.calls())
            if (call.function == "RegOpenKeyExA") {
                EXPECT_EQ(call.args[2], static_cast<std::uint64_t>(KEY_READ));
            }
        EXPECT_EQ(fresh.registry.Key(sim::kServiceKey) != nullptr, c.key);
    }
}

TEST_F(AppletTest, DoubleClickReturnsOnlyOnceTheProgramHasEnded)
{
    machine.registry.SetValue(sim::kServiceKey, u"FilePathName", REG_SZ, Utf16Bytes(std::string(kOwnPath) + '\0'));
    machine.processes().programs_keep_running = true;
    std::atomic<bool> returned{false};
    std::atomic<LONG> result{-1};
    std::thread control_panel([&] {
        result = DoubleClick();
        returned = true;
    });
    ASSERT_TRUE(sim::WaitForLaunches(machine, 1, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned) << "the applet holds the caller while the program runs";
    sim::EndProcess(machine, 0, 0);
    control_panel.join();
    EXPECT_EQ(result, 0);
    auto launches = sim::Launches(machine);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].application, std::optional<std::string>(kOwnPath));
    // It waited on the process handle, with no time-out, and gave both handles back.
    std::size_t waits = 0;
    for (const auto& call : machine.calls())
        if (call.function == "WaitForSingleObject") {
            ++waits;
            EXPECT_EQ(call.args[1], static_cast<std::uint64_t>(INFINITE));
        }
    EXPECT_EQ(waits, 1u);
}

TEST_F(AppletTest, AProgramThatCannotBeStartedIsNotWaitedFor)
{
    struct Case {
        const char* what;
        std::function<void(sim::Machine&)> arrange;
        DWORD error;
    } cases[] = {
        {"no file at FilePathName",
         [](sim::Machine& m) {
             m.files().MakeFolder(u"C:\\Tools");
             m.registry.SetValue(sim::kServiceKey, u"FilePathName", REG_SZ,
                                 Utf16Bytes(std::string("C:\\Tools\\Gone.exe") + '\0'));
         },
         ERROR_FILE_NOT_FOUND},
        {"no folder of the default path", [](sim::Machine& m) { m.registry.DeleteKey(sim::kServiceKey); },
         ERROR_PATH_NOT_FOUND},
        {"CreateProcessA fails", [](sim::Machine& m) { m.ArmFault({"CreateProcessA", 1, ERROR_NOT_ENOUGH_MEMORY}); },
         ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine fresh;
        sim::ActiveMachine active(fresh);
        fresh.registry.CreateKey(sim::kServiceKey);
        fresh.processes().programs_keep_running = true;  // a wait would never end
        c.arrange(fresh);
        EXPECT_EQ(CPlApplet(nullptr, CPL_DBLCLK, 0, 0), 0);
        EXPECT_EQ(fresh.CallCount("CreateProcessA"), 1u);
        EXPECT_EQ(fresh.CallCount("WaitForSingleObject"), 0u);
        auto launches = sim::Launches(fresh);
        if (c.error != ERROR_SUCCESS) {
            ASSERT_EQ(launches.size(), 1u);
            EXPECT_FALSE(launches[0].started);
            EXPECT_EQ(launches[0].error, c.error);
        }
        EXPECT_TRUE(px71test::NothingOpen(fresh));
    }
}

// Whatever call fails, the double click answers 0 and leaves nothing open.
TEST(AppletFaults, EveryFailedCallStillAnswersZeroAndReleasesEverything)
{
    int injected = px71test::SweepFaults<LONG>(
        [](sim::Machine& m) {
            m.files().MakeFolder(kDefaultFolder);
            m.files().Write(sim::Widen(kDefaultPath), {});
            m.files().MakeFolder(u"C:\\Tools");
            m.files().Write(sim::Widen(kOwnPath), {});
            m.registry.SetValue(sim::kServiceKey, u"FilePathName", REG_SZ, Utf16Bytes(std::string(kOwnPath) + '\0'));
        },
        [] { return CPlApplet(nullptr, CPL_DBLCLK, 0, 0); },
        [](LONG result, sim::Machine&, std::size_t) { EXPECT_EQ(result, 0); });
    EXPECT_GE(injected, 4);  // open, query, close, create, wait and the handles' closes
}

} // namespace
