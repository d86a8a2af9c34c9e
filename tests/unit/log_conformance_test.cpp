// The Wine check's run of log calls, on the simulated machine: the file must be the
// one the real DLL leaves under Wine, byte for byte, for the same two times.
#include "library/px71.h"
#include "sim/files.h"
#include "support/log_script.h"
#include "support/machine_test.h"

using px71test::MachineTest;

namespace {

TEST_F(MachineTest, TheWineChecksRunWritesTheSameBytes)
{
    // The machine Wine offers: no adapter, no dump driver, the program's folder writable.
    machine.dump.installed = false;
    machine.files().SetProgramPath(u"C:\\px71\\build\\bin\\px71_log_check.exe");
    const char16_t* log = u"C:\\px71\\build\\bin\\PX71.LOG";
    auto file = [&] {
        auto bytes = machine.files().Read(log);
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    };
    machine.local_time = SYSTEMTIME{2026, 12, 2, 8, 21, 4, 51, 0};
    int failures = 0;
    int report = -1;
    px71test::RunLogScript([&](const WCHAR* text) { failures += WriteLogFile(text) == 0; },
                           [&](const char* title) { report = XU_WriteLog(title); },
                           [&] { EXPECT_EQ(file(), px71test::ScriptFirstImage("2026/12/08 21:04:51")); },
                           [&] { machine.local_time = SYSTEMTIME{2026, 12, 2, 8, 21, 4, 52, 0}; });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(report, 1);
    EXPECT_EQ(file(), px71test::ScriptImage("2026/12/08 21:04:51", "2026/12/08 21:04:52"));
    EXPECT_EQ(px71test::ScriptReportTime(file()), "2026/12/08 21:04:52");
}

} // namespace
