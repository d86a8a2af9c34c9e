// The dump driver's one request, shared by the exports and the diagnostic report.
#pragma once

#include "platform/win32.h"

namespace px71 {

// Opens "\\.\XUDUMP", sends one read of a 32-bit configuration register on Bus,
// closes the device. The driver writes the value straight into *Value.
BOOL ReadConfigRegister(BYTE bus, BYTE reg, DWORD* value) noexcept;

} // namespace px71
