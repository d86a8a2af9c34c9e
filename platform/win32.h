// The one seam between PX71 and the Win32 API.
//
// Every source file of the library, the service and the applet takes the API from
// here. On Windows the includes below resolve to the SDK headers; on any other host
// the build puts sim/include/ first on the include path, whose headers of the same
// names declare the subset PX71 uses over the simulated machine. Either way the
// code calls the API by its own names, types and constants.
#pragma once

#include <windows.h>

#include <setupapi.h>
#include <cfgmgr32.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <aclapi.h>
#include <cpl.h>
#include <shlobj.h>

#include "platform/text.h"
#include "platform/handles.h"
