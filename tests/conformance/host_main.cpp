// The conformance suite on the host: every case runs on a fresh simulated machine.
#include "sim/machine.h"

#include <cstdio>
#include "tests/conformance/check.h"

int main(int argc, char** argv)
{
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    int result = conformance::RunAll(argc > 1 ? argv[1] : nullptr);
    sim::Accounting left = machine.Outstanding();
    if (!(left == sim::Accounting{})) {
        std::printf("left behind: %s\n", sim::Describe(left).c_str());
        return 1;
    }
    return result;
}
