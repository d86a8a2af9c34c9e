// Machines described in JSON, for the tools and for users' own set-ups, and the
// machine's state written back as JSON so that two runs can be compared.
#pragma once

#include "sim/machine.h"

#include <string>

namespace sim {

// Builds Machine from a JSON description (the format is documented in
// docs/machine-format.md). Returns false with a message that names the place (line
// and column for malformed JSON, the path of the element for a wrong value).
bool LoadMachine(Machine& machine, const std::string& text, std::string& error);

// The machine's state: device tree, filter lists, registry values, registers.
std::string DumpMachine(const Machine& machine);

} // namespace sim
