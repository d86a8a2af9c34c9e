// Event Viewer's way to an event's text, on the built service: the message file the
// event source names (PX71Service.exe), loaded as data, and FormatMessage with the
// event's insertion string. Every ID the service reports must have its text, with %1
// filled in. Prints each text; exit 0 when every ID had one.
#include "service/event_messages.h"

#include <cstdio>
#include <cwchar>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: event_messages_check PX71Service.exe\n", stderr);
        return 2;
    }
    HMODULE file = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!file) {
        std::fprintf(stderr, "%s cannot be loaded as data (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    int missing = 0;
    for (DWORD id : px71service::kEventIds) {
        // FormatMessage reads the strings through a va_list of pointers; it writes none.
        DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(L"1300")};
        wchar_t text[512];
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, file, id, 0,
                                            text, sizeof text / sizeof text[0],
                                            reinterpret_cast<va_list*>(inserts));
        if (length == 0 || !std::wcsstr(text, L"1300")) {
            std::printf("0x%08lX: no text (error %lu)\n", id, GetLastError());
            ++missing;
            continue;
        }
        std::printf("0x%08lX: %ls\n", id, text);
    }
    FreeLibrary(file);
    return missing == 0 ? 0 : 1;
}
