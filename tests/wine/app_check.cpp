// The installed main program as a person meets it: the Control Panel item's CPL_DBLCLK
// starts it, its window comes up on the settings page with the values of the filter
// driver's key, and each page is photographed and checked to be neither blank nor an
// error box. The pictures are written as PNG files into the folder given. Then the
// program's own starts: a wrong argument, the logon start (-t) and a second start (-c)
// that hands over to the first.
// With --dpi, the program alone on a display of 144 DPI: its window and layout scale.
// usage: app_check.exe APPLET OUTDIR PROGRAM
//        app_check.exe --dpi PROGRAM OUTDIR
#include "platform/win32.h"

#include <commctrl.h>
#include <wincodec.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

using AppletProc = LONG(APIENTRY*)(HWND, UINT, LPARAM, LPARAM);
constexpr UINT kMsgShow = WM_APP + 2;  // the program's own "show this page"
// The window's controls, by the identifiers the program gives them.
constexpr int kStore = 107, kCheck = 111, kCheckText = 112, kTitle = 113, kReport = 114, kLog = 115;
constexpr int kFirstSetting = 200, kOz888 = 201, kUsb = 205;
constexpr DWORD kPatienceMs = 60000;   // a cold Wine prefix starts slowly
int failures = 0;

void Fail(const char* what)
{
    std::printf("FAIL: %s\n", what);
    ++failures;
}

// The Control Panel's call: it returns when the program it started ends.
DWORD WINAPI DoubleClick(void* entry)
{
    const auto applet = reinterpret_cast<AppletProc>(entry);
    applet(nullptr, CPL_INIT, 0, 0);
    applet(nullptr, CPL_DBLCLK, 0, 0);
    applet(nullptr, CPL_EXIT, 0, 0);
    return 0;
}


struct Picture {
    int width = 0, height = 0;
    std::vector<DWORD> pixels;  // top-down BGRA
};

// What the screen shows where the window is.
Picture Capture(HWND window)
{
    Picture picture;
    // The client area: without a window manager, the frame is not drawn.
    RECT frame{};
    GetClientRect(window, &frame);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&frame), 2);
    picture.width = frame.right - frame.left;
    picture.height = frame.bottom - frame.top;
    if (picture.width <= 0 || picture.height <= 0) return picture;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = -picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, picture.width, picture.height, screen, frame.left, frame.top, SRCCOPY);
        GdiFlush();
        const auto* data = static_cast<const DWORD*>(bits);
        picture.pixels.assign(data, data + picture.width * picture.height);
        SelectObject(memory, old);
    }
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return picture;
}

std::size_t Colours(const Picture& picture)
{
    std::set<DWORD> seen;
    for (DWORD p : picture.pixels) {
        seen.insert(p & 0xFFFFFF);
        if (seen.size() > 1000) break;
    }
    return seen.size();
}

bool SavePng(const Picture& picture, const std::wstring& path)
{
    IWICImagingFactory* factory = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory))))
        return false;
    IWICStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    bool saved = false;
    if (SUCCEEDED(factory->CreateStream(&stream)) && SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
        SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
        SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
        SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
        SUCCEEDED(frame->SetSize(picture.width, picture.height))) {
        WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
        saved = SUCCEEDED(frame->SetPixelFormat(&format)) && format == GUID_WICPixelFormat32bppBGR &&
                SUCCEEDED(frame->WritePixels(picture.height, picture.width * 4, picture.width * picture.height * 4,
                                             reinterpret_cast<BYTE*>(const_cast<DWORD*>(picture.pixels.data())))) &&
                SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
    }
    if (frame) frame->Release();
    if (encoder) encoder->Release();
    if (stream) stream->Release();
    factory->Release();
    return saved;
}

std::wstring TextOf(HWND control)
{
    wchar_t text[256] = {};
    SendMessageTimeoutW(control, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
    return text;
}

// The page holds what it should once its check passes; a page is given time to fill.
template <typename Check>
bool WaitFor(Check check)
{
    for (DWORD waited = 0; waited < kPatienceMs; waited += 200) {
        if (check()) return true;
        Sleep(200);
    }
    return false;
}

// The text of the program's visible dialog box, and the box; empty when there is none.
std::wstring BoxText(DWORD process, HWND& box)
{
    struct Search {
        DWORD process;
        HWND box;
        std::wstring text;
    } search{process, nullptr, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            wchar_t cls[64] = {};
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            GetClassNameW(window, cls, 64);
            if (owner != s->process || !IsWindowVisible(window) || wcscmp(cls, L"#32770")) return TRUE;
            s->box = window;
            EnumChildWindows(
                window,
                [](HWND child, LPARAM param) -> BOOL {
                    auto* s = reinterpret_cast<Search*>(param);
                    // A window of another process gives its caption without a message.
                    wchar_t text[512] = {};
                    GetWindowTextW(child, text, 512);
                    s->text += std::wstring(text) + L"|";
                    return TRUE;
                },
                param);
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    box = search.box;
    return search.text;
}

// StartAdrs as the filter driver's key holds it; 0 when it holds none.
DWORD StartAdrs()
{
    DWORD value = 0, size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\PX711", L"StartAdrs", RRF_RT_REG_DWORD,
                 nullptr, &value, &size);
    return value;
}

struct Started {
    HANDLE process = nullptr;
    DWORD id = 0;
};

Started Launch(const wchar_t* program, const wchar_t* argument)
{
    std::wstring line = std::wstring(L"\"") + program + L"\" " + argument;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return {};
    CloseHandle(info.hThread);
    return {info.hProcess, info.dwProcessId};
}

DWORD ExitCode(const Started& started)
{
    DWORD code = STILL_ACTIVE;
    if (started.process && WaitForSingleObject(started.process, kPatienceMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(started.process, &code);
    return code;
}

void Starts(const wchar_t* program)
{
    // A wrong argument: the usage in a box, then exit code 2.
    Started wrong = Launch(program, L"--tray");
    HWND box = nullptr;
    std::wstring said;
    if (!WaitFor([&] { return !(said = BoxText(wrong.id, box)).empty(); }) ||
        said.find(L"Usage: PX71.exe [-c | -t]") == std::wstring::npos)
        Fail("a wrong argument did not show the usage");
    if (box) PostMessageW(box, WM_COMMAND, IDOK, 0);
    if (ExitCode(wrong) != 2) Fail("a wrong argument did not end the program with exit code 2");
    else std::printf("PX71.exe --tray: the usage shown, exit code 2\n");
    if (wrong.process) CloseHandle(wrong.process);

    // The logon start: the icon only, no window shown.
    Started logon = Launch(program, L"-t");
    HWND window = nullptr;
    if (!WaitFor([&] { return (window = FindWindowW(L"PX71MainWindow", nullptr)) != nullptr; }) ||
        IsWindowVisible(window))
        Fail("PX71.exe -t did not start hidden behind its icon");
    // A second start hands over: the first shows its settings page, the second ends.
    Started second = Launch(program, L"-c");
    if (ExitCode(second) != 0) Fail("a second start did not end with exit code 0");
    HWND tab = window ? FindWindowExW(window, nullptr, WC_TABCONTROLW, nullptr) : nullptr;
    if (!WaitFor([&] { return window && IsWindowVisible(window) && SendMessageW(tab, TCM_GETCURSEL, 0, 0) == 1; }))
        Fail("the running program did not show its settings page for the second start");
    else
        std::printf("PX71.exe -t, then -c: one program, its window on the settings page\n");
    // Its window closes into the icon; the icon's Exit ends it.
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (!WaitFor([&] { return !IsWindowVisible(window); }) || WaitForSingleObject(logon.process, 0) != WAIT_TIMEOUT)
        Fail("closing the window of the logon start did not keep the icon");
    PostMessageW(window, WM_COMMAND, 40003, 0);  // the icon's Exit
    if (ExitCode(logon) != 0) Fail("the icon's Exit did not end the program");
    else std::printf("window closed into the icon; Exit ended the program\n");
    for (HANDLE h : {second.process, logon.process})
        if (h) CloseHandle(h);
}

// At 144 DPI the client area is half as large again as at 96, and the page is drawn.
void Scales(const wchar_t* program, const wchar_t* out)
{
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    if (dpi != 144) {
        Fail("the display is not at 144 DPI");
        return;
    }
    Started started = Launch(program, L"-c");
    HWND window = nullptr;
    RECT client{};
    const int width = MulDiv(660, dpi, 96), height = MulDiv(560, dpi, 96);
    if (!WaitFor([&] {
            window = FindWindowW(L"PX71MainWindow", nullptr);
            return window && IsWindowVisible(window) && GetClientRect(window, &client) && client.right == width &&
                   client.bottom == height;
        })) {
        char what[96];
        std::snprintf(what, sizeof what, "at %d DPI the client area is %ldx%ld, not %dx%d", dpi, client.right,
                      client.bottom, width, height);
        Fail(what);
    } else
        std::printf("at %d DPI: client area %dx%d\n", dpi, width, height);
    // The first setting's edit box grows with the DPI as well.
    RECT edit{};
    GetWindowRect(GetDlgItem(window, kFirstSetting), &edit);
    if (edit.bottom - edit.top != MulDiv(22, dpi, 96)) Fail("the page's controls did not scale with the DPI");
    Picture picture;
    if (!WaitFor([&] { return Colours(picture = Capture(window)) >= 16; })) Fail("the page is blank at 144 DPI");
    else if (!SavePng(picture, std::wstring(out) + L"\\settings-144dpi.png")) Fail("a picture could not be written");
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (ExitCode(started) != 0) Fail("the program did not end with its window");
    if (started.process) CloseHandle(started.process);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    // Measures in the display's own pixels, as the program does.
    SetProcessDPIAware();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (argc == 4 && !wcscmp(argv[1], L"--dpi")) {
        Scales(argv[2], argv[3]);
        std::printf(failures ? "app_check: %d failures\n" : "app_check: passed\n", failures);
        return failures ? 1 : 0;
    }
    if (argc != 4) {
        std::printf("usage: app_check.exe APPLET OUTDIR PROGRAM\n       app_check.exe --dpi PROGRAM OUTDIR\n");
        return 2;
    }
    HMODULE applet = LoadLibraryW(argv[1]);
    auto entry = applet ? reinterpret_cast<void*>(GetProcAddress(applet, "CPlApplet")) : nullptr;
    if (!entry) {
        Fail("the Control Panel item cannot be loaded");
        return 1;
    }
    HANDLE clicked = CreateThread(nullptr, 0, DoubleClick, entry, 0, nullptr);
    HWND window = nullptr;
    if (!WaitFor([&] {
            window = FindWindowW(L"PX71MainWindow", nullptr);
            return window && IsWindowVisible(window);
        })) {
        Fail("no window of class PX71MainWindow came up");
        return 1;
    }
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    if (wcscmp(title, L"PX71 HotPlug Tool")) Fail("the window's title is not \"PX71 HotPlug Tool\"");
    HWND tab = FindWindowExW(window, nullptr, WC_TABCONTROLW, nullptr);
    if (!tab || SendMessageW(tab, TCM_GETCURSEL, 0, 0) != 1) Fail("the window did not open on its settings page");
    // Oz888Len and USBLen as the test wrote them into the filter driver's key: 4 and 1 MiB.
    HWND oz888 = GetDlgItem(window, kOz888), usb = GetDlgItem(window, kUsb);
    if (!WaitFor([&] { return TextOf(oz888) == L"4" && TextOf(usb) == L"1"; }))
        Fail("the settings page does not show the stored window lengths (Oz888Len 4, USBLen 1 MiB)");
    else
        std::printf("settings page: Oz888Len 4 MiB, USBLen 1 MiB, as stored\n");

    // A length that is no whole number of MiB is refused before anything is sent, and
    // the box says why; corrected, the values go through the service into the key.
    const wchar_t* const typed[] = {L"2", L"1.5", L"8", L"16", L"16", L"1", L"0xC0000000", L"0xDFFFFFFF", L"256", L"1"};
    for (int i = 0; i < 10; ++i)
        SendMessageTimeoutW(GetDlgItem(window, kFirstSetting + i), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed[i]),
                            SMTO_ABORTIFHUNG, 5000, nullptr);
    PostMessageW(window, WM_COMMAND, kStore, 0);
    HWND box = nullptr;
    std::wstring said;
    if (!WaitFor([&] { return !(said = BoxText(process, box)).empty(); }) ||
        said.find(L"Oz888Len: a window length is a whole number of MiB from 0 to 4095, not \"1.5\"") ==
            std::wstring::npos) {
        Fail("a length of 1.5 MiB was not refused with its reason");
        std::printf("the box said: %ls\n", said.c_str());
    } else {
        std::printf("settings page: 1.5 MiB refused before sending, with the reason\n");
    }
    if (StartAdrs() != 0) Fail("something was stored although the values were refused");
    if (box) PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return BoxText(process, box).empty(); });
    SendMessageTimeoutW(oz888, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"4"), SMTO_ABORTIFHUNG, 5000, nullptr);
    PostMessageW(window, WM_COMMAND, kStore, 0);
    if (!WaitFor([] { return StartAdrs() == 0xC0000000; })) Fail("the corrected values did not reach the key");
    else std::printf("settings page: stored through PX71Service, StartAdrs 0xC0000000\n");

    // The diagnostics through the installed service: the device check and a report,
    // whose records the page then reads from PX71.LOG.
    SendMessageTimeoutW(GetDlgItem(window, kTitle), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"after installing"),
                        SMTO_ABORTIFHUNG, 5000, nullptr);
    PostMessageW(window, WM_COMMAND, kCheck, 0);
    PostMessageW(window, WM_COMMAND, kReport, 0);
    HWND check = GetDlgItem(window, kCheckText), log = GetDlgItem(window, kLog);
    auto begins = [](HWND control, const wchar_t* head) {
        const std::wstring text = TextOf(control);
        return wcsncmp(text.c_str(), head, wcslen(head)) == 0;
    };
    if (!WaitFor([&] { return begins(check, L"device check 0x"); }))
        Fail("the device check was not answered through PX71Service");
    if (!WaitFor([&] { return begins(log, L"PX71 log "); }))
        Fail("the report's records were not read back from PX71.LOG");
    else
        std::printf("diagnostics page: device check answered, report written and read back\n");

    const struct {
        int page;
        const wchar_t* name;
    } pages[] = {{1, L"settings"}, {0, L"slot"}, {2, L"diagnostics"}};
    for (const auto& page : pages) {
        PostMessageW(window, kMsgShow, page.page, 0);
        if (!WaitFor([&] { return SendMessageW(tab, TCM_GETCURSEL, 0, 0) == page.page; })) Fail("a page did not come");
        // Wine paints asynchronously: a picture is taken until it shows the page drawn.
        Picture picture;
        const bool drawn = WaitFor([&] {
            RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
            picture = Capture(window);
            return Colours(picture) >= 16;
        });
        const std::size_t colours = Colours(picture);
        std::printf("%ls page: %dx%d, %zu colours%s\n", page.name, picture.width, picture.height, colours,
                    colours > 1000 ? " or more" : "");
        if (!drawn) Fail("a page's picture is blank");
        if (HWND any = nullptr; !BoxText(process, any).empty()) Fail("the program shows a dialog box");
        const std::wstring path = std::wstring(argv[2]) + L"\\" + page.name + L".png";
        if (!SavePng(picture, path)) Fail("a picture could not be written");
    }

    PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(clicked, kPatienceMs) != WAIT_OBJECT_0) Fail("the program did not end with its window");
    CloseHandle(clicked);
    Starts(argv[3]);
    CoUninitialize();
    std::printf(failures ? "app_check: %d failures\n" : "app_check: passed\n", failures);
    return failures ? 1 : 0;
}
