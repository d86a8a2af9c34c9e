// The library's entry point: PX71 keeps no global state, so there is nothing to set
// up or tear down for any reason.
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
