// The machine description loader with arbitrary text: it refuses or builds, and never
// crashes; what it builds can be written back out.
#include "sim/machine_json.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    sim::Machine machine;
    std::string error;
    if (sim::LoadMachine(machine, std::string(reinterpret_cast<const char*>(data), size), error)) {
        sim::DumpMachine(machine);
    } else if (error.empty()) {
        std::abort();  // a refusal always says why
    }
    return 0;
}
