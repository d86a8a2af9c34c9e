// The machine's named devices and files, as CreateFile reaches them.
#pragma once

#include "sim/machine.h"

namespace sim {

struct OpenRequest {
    DWORD access = 0;
    DWORD share = 0;
    DWORD disposition = 0;
    DWORD flags = 0;
};

// Opens a path of the machine ("\\.\XUDUMP", ...): a new handle, or
// INVALID_HANDLE_VALUE with the last error set.
HANDLE OpenPath(Machine& machine, std::u16string_view path, const OpenRequest& request);

// The dump driver's control codes.
constexpr DWORD kIoctlReadConfig = 0x9C40243C;
constexpr DWORD kIoctlWriteConfig = 0x9C402440;

} // namespace sim
