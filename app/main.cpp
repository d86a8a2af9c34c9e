// PX71.exe: the notification-area icon and the main window. One runs per logged-on
// user: a second start hands its request (which page to show) to the first and ends.
#include "app/text.h"
#include "app/window.h"
#include "platform/handles.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

using px71app::Page;

struct Parsed {
    px71app::StartOptions options;
    bool usable = true;
};

Parsed ParseArguments()
{
    Parsed parsed;
    int count = 0;
    LPWSTR* raw = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!raw) return parsed;
    const px71::UniqueLocal owned(reinterpret_cast<HLOCAL>(raw));
    // The Control Panel item starts the program with "-c" as the whole command line, no
    // program name before it: an option in the first place is an option.
    int first = count > 0 && (raw[0][0] == L'-' || raw[0][0] == L'/') ? 0 : 1;
    int given = 0;
    for (int i = first; i < count; ++i, ++given) {
        const wchar_t* arg = raw[i];
        const bool option = arg[0] == L'-' || arg[0] == L'/';
        if (option && (!wcscmp(arg + 1, L"c") || !wcscmp(arg + 1, L"C"))) {
            parsed.options.page = Page::kSettings;
        } else if (option && (!wcscmp(arg + 1, L"t") || !wcscmp(arg + 1, L"T"))) {
            parsed.options.show_window = false;
        } else {
            parsed.usable = false;
        }
    }
    if (given > 1) parsed.usable = false;
    return parsed;
}

// Hands the request to the program that already runs; false when none answers.
bool HandOver(const px71app::StartOptions& options)
{
    // The first may still be making its window: it is given a moment.
    for (int tries = 0; tries < 50; ++tries) {
        if (HWND running = FindWindowW(px71app::kMainClass, nullptr)) {
            if (!options.show_window) return true;  // its icon is there already
            DWORD process = 0;
            GetWindowThreadProcessId(running, &process);
            AllowSetForegroundWindow(process);
            return PostMessageW(running, px71app::kMsgShow, static_cast<WPARAM>(options.page), 0) != FALSE;
        }
        Sleep(100);
    }
    return false;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    const Parsed parsed = ParseArguments();
    if (!parsed.usable) {
        MessageBoxW(nullptr, px71app::Words(px71app::Say::kUsage), px71app::Words(px71app::Say::kTitle),
                    MB_OK | MB_ICONINFORMATION);
        return 2;
    }
    // One program per logged-on user, whose icon and window every start shows.
    const px71::UniqueHandle once(CreateMutexW(nullptr, FALSE, L"Local\\PX71HotPlugTool"));
    if (once && GetLastError() == ERROR_ALREADY_EXISTS) return HandOver(parsed.options) ? 0 : 1;

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES |
                                                       ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    px71app::MainWindow window(instance);
    if (!window.Create(parsed.options)) return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (window.PreTranslate(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
