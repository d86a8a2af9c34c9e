// The dump-driver table (tests/support/dump_driver_cases.h) against the real PX71.dll,
// through Wine's I/O manager to the kernel-mode stand-in xudump.sys that
// dump_driver_wine.sh starts and stops.
// usage: dump_driver_check running|stopped   (the rows for the driver in that state)
//        dump_driver_check opens             (how often the stand-in was opened before)
#include "support/dump_driver_cases.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    namespace dd = px71test::dump_driver;
    if (argc == 2 && std::strcmp(argv[1], "opens") == 0) {
        constexpr DWORD kCountBus = 0xFD;  // xudump.c answers its count of opens there
        DWORD count = 0;
        if (!XU_ReadPCI(kCountBus, 0, &count) || count == 0) {
            std::printf("the stand-in's count cannot be read\n");
            return 1;
        }
        std::printf("opens before this one: %lu\n", static_cast<unsigned long>(count - 1));
        return 0;
    }
    if (argc != 2 || (std::strcmp(argv[1], "running") != 0 && std::strcmp(argv[1], "stopped") != 0)) {
        std::printf("usage: dump_driver_check running|stopped|opens\n");
        return 2;
    }
    const auto driver = std::strcmp(argv[1], "running") == 0 ? dd::Driver::Running : dd::Driver::Stopped;
    int passed = 0, failed = 0;
    for (const auto& c : dd::kCases) {
        if (c.driver != driver) continue;
        const std::string wrong = dd::Run(c);
        std::printf("%s %s%s%s\n", wrong.empty() ? "ok  " : "FAIL", c.name, wrong.empty() ? "" : ": ", wrong.c_str());
        (wrong.empty() ? passed : failed) += 1;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
