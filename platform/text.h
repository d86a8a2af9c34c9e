// Wide literals. WCHAR is wchar_t on Windows and char16_t in the simulator, so code
// writes W16("...") and never L"..." or u"..." itself.
#pragma once

#ifdef _WIN32
#define PX71_W16_PASTE(s) L##s
#else
#define PX71_W16_PASTE(s) u##s
#endif

#define W16(s) PX71_W16_PASTE(s)
