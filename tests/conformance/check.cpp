#include "tests/conformance/check.h"

#include <cstdio>
#include <cstring>

namespace conformance {
namespace {
int g_failures_in_case = 0;
}

std::vector<Case>& Cases()
{
    static std::vector<Case> cases;
    return cases;
}

void Fail(const char* file, int line, const std::string& what)
{
    ++g_failures_in_case;
    std::printf("    %s:%d: %s\n", file, line, what.c_str());
}

int RunAll(const char* filter)
{
    int passed = 0, failed = 0;
    for (const auto& c : Cases()) {
        if (filter && !std::strstr(c.name, filter)) continue;
        g_failures_in_case = 0;
        c.run();
        std::printf("%s %s\n", g_failures_in_case ? "FAIL" : "ok  ", c.name);
        (g_failures_in_case ? failed : passed) += 1;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 && passed > 0 ? 0 : 1;
}

} // namespace conformance
