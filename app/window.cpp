#include "app/window.h"

#include "app/text.h"
#include "platform/handles.h"

#include <commctrl.h>
#include <dbt.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace px71app {
namespace {

constexpr UINT kMsgFinish = WM_APP + 1;  // a worker's finish in lParam
constexpr UINT kMsgTray = WM_APP + 3;    // the notification-area icon's callback
constexpr UINT kMsgBusy = WM_APP + 4;    // wParam: the try that begins, lParam: of how many
constexpr UINT_PTR kRefreshTimer = 1;
// Windows announces a device change several times in a row; one listing after the
// last of them is enough.
constexpr UINT kRefreshDelayMs = 500;
constexpr DWORD kWaitPerTryMs = 5000;
constexpr int kTries = 3;

// The controls' identifiers stay as they are: the Wine test drives the window by them.
enum Id : int {
    kTab = 100, kStatus = 101, kLinkOn = 102, kLinkOff = 103, kRefresh = 104, kCards = 105, kEject = 106,
    kStore = 107, kStoreDefaults = 108, kReload = 109, kFilters = 110, kCheck = 111, kCheckText = 112, kTitle = 113,
    kReport = 114, kLog = 115, kReadLog = 116, kEditFirst = 200,  // one edit a setting, in the page's order
};

// The page of each setting's label, by the setting's place.
constexpr Say kSettingWords[kSettingCount] = {Say::kSettingPort,  Say::kSettingOz888,   Say::kSettingSxs,
                                              Say::kSettingA3132, Say::kSettingB3132,   Say::kSettingUsb,
                                              Say::kSettingStart, Say::kSettingEnd,     Say::kSettingPayload,
                                              Say::kSettingSsc};

Say UnitWords(Unit unit)
{
    switch (unit) {
    case Unit::kMiB: return Say::kUnitMiB;
    case Unit::kAddress: return Say::kUnitAddress;
    case Unit::kPayload: return Say::kUnitBytes;
    case Unit::kSwitch: return Say::kUnitSwitch;
    }
    return Say::kUnitMiB;
}

// Edit controls want CR LF between lines.
std::wstring Lines(const std::string& text)
{
    std::wstring wide = Wide(text), out;
    for (wchar_t c : wide) {
        if (c == L'\n') out += L'\r';
        out += c;
    }
    return out;
}

std::wstring TextOf(HWND control)
{
    const int n = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(n > 0 ? n : 0) + 1, L'\0');
    GetWindowTextW(control, text.data(), n + 1);
    text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return text;
}

UINT DpiOf(HWND hwnd)
{
    // GetDpiForWindow came with Windows 10 1607; before it, the system's DPI holds.
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto get = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (get && hwnd) {
        if (const UINT dpi = get(hwnd)) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The folder of PX71Service.exe as the service manager has it, with its closing
// backslash; failing that, the folder above this program's, where the installation puts it.
std::wstring ServiceFolder()
{
    std::wstring image;
    const px71::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const px71::UniqueServiceHandle service(
        manager ? OpenServiceW(manager.get(), L"PX71Service", SERVICE_QUERY_CONFIG) : nullptr);
    DWORD needed = 0;
    if (service && !QueryServiceConfigW(service.get(), nullptr, 0, &needed) && needed) {
        std::vector<BYTE> buffer(needed);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(service.get(), config, needed, &needed) && config->lpBinaryPathName)
            image = config->lpBinaryPathName;
    }
    // The image path may be quoted and followed by arguments.
    if (!image.empty() && image[0] == L'"') {
        const auto close = image.find(L'"', 1);
        image = image.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    }
    auto cut = image.find_last_of(L"\\/");
    if (cut != std::wstring::npos) return image.substr(0, cut + 1);

    wchar_t self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n < MAX_PATH ? n : 0);
    for (int up = 0; up < 2; ++up) {
        cut = path.find_last_of(L"\\/");
        if (cut == std::wstring::npos) return L"";
        path.resize(cut);
    }
    return path + L"\\";
}

} // namespace

MainWindow::MainWindow(HINSTANCE instance) : instance_(instance)
{
    taskbar_created_ = RegisterWindowMessageW(L"TaskbarCreated");
}

MainWindow::~MainWindow()
{
    tray_.reset();
    worker_.reset();
    if (font_) DeleteObject(font_);
    if (icon_) DestroyIcon(icon_);
    if (small_icon_) DestroyIcon(small_icon_);
}

bool MainWindow::Create(const StartOptions& options)
{
    tray_mode_ = !options.show_window;
    icon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                          GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    small_icon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                LR_DEFAULTCOLOR));
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = Proc;
    cls.hInstance = instance_;
    cls.hIcon = icon_;
    cls.hIconSm = small_icon_;
    cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = kMainClass;
    if (!RegisterClassExW(&cls)) return false;
    hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kMainClass, Words(Say::kTitle), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_,
                            this);
    if (!hwnd_) return false;
    dpi_ = DpiOf(hwnd_);
    worker_ = std::make_unique<Worker>(hwnd_, kMsgFinish);
    tray_ = std::make_unique<Tray>(hwnd_, kMsgTray, small_icon_);
    CreateControls();
    UpdateFont();
    RECT frame{0, 0, Px(660), Px(560)};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_CONTROLPARENT);
    SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    // Where the service lies, its library and its log lie too; the installation puts this
    // program one folder below.
    service_folder_ = ServiceFolder();
    Status(Words(Say::kReady));
    ShowPage(options.page);
    RefreshSlotAndCards();
    LoadSettings();
    ReadLogIntoPage();
    if (options.show_window) Open(options.page);
    return true;
}

bool MainWindow::PreTranslate(MSG& msg)
{
    if (!hwnd_ || (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd))) return false;
    if (msg.message == WM_KEYDOWN && (GetKeyState(VK_CONTROL) & 0x8000) &&
        (msg.wParam == VK_TAB || msg.wParam == VK_PRIOR || msg.wParam == VK_NEXT)) {
        const bool back = msg.wParam == VK_PRIOR || (msg.wParam == VK_TAB && (GetKeyState(VK_SHIFT) & 0x8000));
        const int next = (static_cast<int>(page_) + (back ? 2 : 1)) % 3;
        ShowPage(static_cast<Page>(next));
        return true;
    }
    return IsDialogMessageW(hwnd_, &msg) != FALSE;
}

LRESULT CALLBACK MainWindow::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_NCCREATE) {
        auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self ? self->Handle(message, wparam, lparam) : DefWindowProcW(hwnd, message, wparam, lparam);
}

LRESULT MainWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == taskbar_created_ && tray_) {
        tray_->Add();
        return 0;
    }
    switch (message) {
    case kMsgFinish: Worker::Run(lparam); return 0;
    case kMsgBusy: {
        wchar_t text[256];
        std::swprintf(text, 256, Words(Say::kBusyRetry), static_cast<int>(wparam), static_cast<int>(lparam));
        Status(text);
        return 0;
    }
    case kMsgShow:
        Open(wparam <= static_cast<WPARAM>(Page::kDiagnostics) ? static_cast<Page>(wparam) : Page::kSlot);
        return 0;
    case kMsgTray:
        switch (LOWORD(lparam)) {
        case WM_LBUTTONDBLCLK: Open(page_); break;
        case NIN_BALLOONUSERCLICK:
            if (balloon_setting_) OpenSetting(*balloon_setting_);
            balloon_setting_.reset();
            break;
        case NIN_BALLOONTIMEOUT: balloon_setting_.reset(); break;
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU: {
            std::vector<std::wstring> lines;
            for (const Card& card : listing_.cards)
                lines.push_back(Words(Say::kEject) + std::wstring(L": ") + Wide(card.kind->name) + L" " +
                                std::to_wstring(card.controller) + L"/" + std::to_wstring(card.index) + L"  " +
                                Wide(card.name));
            for (auto& line : lines) line.erase(std::remove(line.begin(), line.end(), L'&'), line.end());
            const UINT chosen = tray_->Menu(lines, slot_.found && slot_.card_node);
            if (chosen >= Tray::kEjectFirst && chosen <= Tray::kEjectLast) EjectCard(chosen - Tray::kEjectFirst);
            else if (chosen) OnCommand(static_cast<int>(chosen));
            break;
        }
        default: break;
        }
        return 0;
    case WM_DEVICECHANGE:
        // The list follows the hardware, and nothing is asked while nothing changes.
        if (wparam == DBT_DEVNODES_CHANGED) SetTimer(hwnd_, kRefreshTimer, kRefreshDelayMs, nullptr);
        return TRUE;
    case WM_TIMER:
        if (wparam == kRefreshTimer) {
            KillTimer(hwnd_, kRefreshTimer);
            RefreshSlotAndCards();
        }
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDCANCEL) {  // Esc: as the close box
            SendMessageW(hwnd_, WM_CLOSE, 0, 0);
            return 0;
        }
        OnCommand(LOWORD(wparam));
        return 0;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lparam);
        if (header->hwndFrom == tab_ && header->code == TCN_SELCHANGE)
            ShowPage(static_cast<Page>(SendMessageW(tab_, TCM_GETCURSEL, 0, 0)));
        if (header->hwndFrom == cards_ && header->code == LVN_ITEMCHANGED)
            EnableWindow(eject_, SendMessageW(cards_, LVM_GETSELECTEDCOUNT, 0, 0) > 0);
        return 0;
    }
    case WM_SIZE:
        SendMessageW(status_, WM_SIZE, 0, 0);
        Layout();
        return 0;
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
        info->ptMinTrackSize = {Px(560), Px(520)};
        return 0;
    }
    case WM_DPICHANGED: {
        dpi_ = HIWORD(wparam);
        const auto* suggested = reinterpret_cast<const RECT*>(lparam);
        UpdateFont();
        SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case WM_CLOSE:
        // Started for the notification area, the program stays there; started for its
        // window (from the Control Panel item), it ends with it.
        if (tray_mode_) ShowWindow(hwnd_, SW_HIDE);
        else DestroyWindow(hwnd_);
        return 0;
    case WM_DESTROY:
        KillTimer(hwnd_, kRefreshTimer);
        worker_.reset();  // no finish may come for a window that is gone
        tray_.reset();
        PostQuitMessage(0);
        return 0;
    default: break;
    }
    return DefWindowProcW(hwnd_, message, wparam, lparam);
}

HWND MainWindow::Control(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD ex_style)
{
    HWND control = CreateWindowExW(ex_style, cls, text, WS_CHILD | style, 0, 0, 0, 0, hwnd_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (filling_ && control) page_controls_[static_cast<std::size_t>(*filling_)].push_back(control);
    return control;
}

void MainWindow::CreateControls()
{
    tab_ = Control(WC_TABCONTROLW, L"", WS_VISIBLE | WS_TABSTOP, kTab);
    const Say tabs[] = {Say::kTabSlot, Say::kTabSettings, Say::kTabDiagnostics};
    for (int i = 0; i < 3; ++i) {
        std::wstring label = Words(tabs[i]);
        // A tab shows no mnemonic; Ctrl+Tab moves between the pages.
        label.erase(std::remove(label.begin(), label.end(), L'&'), label.end());
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = label.data();
        SendMessageW(tab_, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
    }
    status_ = Control(STATUSCLASSNAMEW, L"", WS_VISIBLE | SBARS_SIZEGRIP, kStatus);

    const DWORD button = WS_TABSTOP | BS_PUSHBUTTON;
    filling_ = Page::kSlot;
    slot_heading_ = Control(WC_STATICW, Words(Say::kSlotHeading), 0, -1);
    slot_text_ = Control(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX, -1);
    link_on_ = Control(WC_BUTTONW, Words(Say::kLinkOn), button | WS_DISABLED, kLinkOn);
    link_off_ = Control(WC_BUTTONW, Words(Say::kLinkOff), button | WS_DISABLED, kLinkOff);
    refresh_ = Control(WC_BUTTONW, Words(Say::kRefresh), button, kRefresh);
    cards_heading_ = Control(WC_STATICW, Words(Say::kCardsHeading), 0, -1);
    cards_ = Control(WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, kCards,
                     WS_EX_CLIENTEDGE);
    SendMessageW(cards_, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    const Say columns[] = {Say::kColumnKind, Say::kColumnPlace, Say::kColumnName};
    for (int i = 0; i < 3; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(Words(columns[i]));
        column.iSubItem = i;
        SendMessageW(cards_, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
    eject_ = Control(WC_BUTTONW, Words(Say::kEject), button | WS_DISABLED, kEject);

    filling_ = Page::kSettings;
    settings_heading_ = Control(WC_STATICW, Words(Say::kSettingsHeading), 0, -1);
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        const std::wstring label = std::wstring(Words(kSettingWords[i])) + L" (" + Wide(kSettings[i].name) + L")";
        labels_[i] = Control(WC_STATICW, label.c_str(), SS_NOPREFIX, -1);
        edits_[i] = Control(WC_EDITW, L"", WS_TABSTOP | ES_AUTOHSCROLL, kEditFirst + static_cast<int>(i),
                            WS_EX_CLIENTEDGE);
        SendMessageW(edits_[i], EM_SETLIMITTEXT, 16, 0);
        units_[i] = Control(WC_STATICW, Words(UnitWords(kSettings[i].unit)), 0, -1);
        defaults_[i] = Control(WC_STATICW, L"", SS_NOPREFIX, -1);
    }
    note_ = Control(WC_STATICW, Words(Say::kNextStart), 0, -1);
    store_ = Control(WC_BUTTONW, Words(Say::kStore), button, kStore);
    store_defaults_ = Control(WC_BUTTONW, Words(Say::kStoreDefaults), button, kStoreDefaults);
    reload_ = Control(WC_BUTTONW, Words(Say::kReload), button, kReload);
    filters_ = Control(WC_BUTTONW, Words(Say::kInstallFilters), button, kFilters);

    filling_ = Page::kDiagnostics;
    check_ = Control(WC_BUTTONW, Words(Say::kCheckDevice), button, kCheck);
    check_text_ = Control(WC_EDITW, L"", ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_TABSTOP, kCheckText,
                          WS_EX_CLIENTEDGE);
    title_label_ = Control(WC_STATICW, Words(Say::kReportTitle), 0, -1);
    title_ = Control(WC_EDITW, L"", WS_TABSTOP | ES_AUTOHSCROLL, kTitle, WS_EX_CLIENTEDGE);
    SendMessageW(title_, EM_SETLIMITTEXT, sizeof(PipeRequest::LogTitle) - 1, 0);
    report_ = Control(WC_BUTTONW, Words(Say::kWriteReport), button, kReport);
    log_heading_ = Control(WC_STATICW, Words(Say::kLogHeading), 0, -1);
    log_ = Control(WC_EDITW, L"", ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP, kLog,
                   WS_EX_CLIENTEDGE);
    SendMessageW(log_, EM_SETLIMITTEXT, 0, 0);
    read_log_ = Control(WC_BUTTONW, Words(Say::kReadLog), button, kReadLog);
    filling_.reset();
}

void MainWindow::UpdateFont()
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    HDC screen = GetDC(nullptr);
    const int system_dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi_), system_dpi);
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    if (!font) return;
    for (HWND child = GetWindow(hwnd_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (font_) DeleteObject(font_);
    font_ = font;
    Layout();
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void MainWindow::Layout()
{
    if (!tab_) return;
    RECT client{}, status{};
    GetClientRect(hwnd_, &client);
    GetWindowRect(status_, &status);
    const int status_height = status.bottom - status.top;
    const int margin = Px(8);
    // The tab control is its strip of tabs only: the pages lie on the window's own
    // background below it, as the controls' own backgrounds are.
    RECT item{};
    SendMessageW(tab_, TCM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&item));
    const int strip = item.bottom + Px(2);
    MoveWindow(tab_, margin, margin, client.right - 2 * margin, strip, TRUE);
    const RECT area{margin * 2, margin + strip + margin, client.right - margin * 2,
                    client.bottom - status_height - margin};
    const int x = area.left, y = area.top, width = area.right - area.left, bottom = area.bottom;
    const int line = Px(18), row = Px(26), button_height = Px(25);
    auto place = [](HWND control, int left, int top, int w, int h) { MoveWindow(control, left, top, w, h, TRUE); };

    // Slot and cards
    place(slot_heading_, x, y, width, line);
    place(slot_text_, x, y + line, width, Px(34));
    place(link_on_, x, y + Px(56), Px(110), button_height);
    place(link_off_, x + Px(118), y + Px(56), Px(250), button_height);
    place(refresh_, x + Px(376), y + Px(56), Px(100), button_height);
    place(cards_heading_, x, y + Px(94), width, line);
    place(cards_, x, y + Px(114), width, bottom - button_height - Px(8) - (y + Px(114)));
    place(eject_, x, bottom - button_height, Px(110), button_height);
    SendMessageW(cards_, LVM_SETCOLUMNWIDTH, 0, Px(90));
    SendMessageW(cards_, LVM_SETCOLUMNWIDTH, 1, Px(50));
    SendMessageW(cards_, LVM_SETCOLUMNWIDTH, 2, width - Px(90 + 50 + 24));

    // Settings
    place(settings_heading_, x, y, width, line);
    const int label_width = Px(250), edit_width = Px(110), unit_width = Px(120);
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        const int top = y + Px(24) + static_cast<int>(i) * row;
        place(labels_[i], x, top + Px(3), label_width, line);
        place(edits_[i], x + label_width, top, edit_width, Px(22));
        place(units_[i], x + label_width + edit_width + Px(6), top + Px(3), unit_width, line);
        place(defaults_[i], x + label_width + edit_width + unit_width + Px(6), top + Px(3),
              width - (label_width + edit_width + unit_width + Px(6)), line);
    }
    place(note_, x, y + Px(24) + static_cast<int>(kSettingCount) * row + Px(4), width, Px(34));
    const int buttons = bottom - button_height;
    place(store_, x, buttons, Px(90), button_height);
    place(store_defaults_, x + Px(96), buttons, Px(190), button_height);
    place(reload_, x + Px(292), buttons, Px(100), button_height);
    place(filters_, x + Px(398), buttons, std::max(Px(120), width - Px(398)), button_height);

    // Diagnostics
    place(check_, x, y, Px(170), button_height);
    place(check_text_, x, y + Px(32), width, Px(104));
    place(title_label_, x, y + Px(148), Px(110), line);
    place(title_, x + Px(112), y + Px(145), width - Px(112 + 150), Px(22));
    place(report_, x + width - Px(142), y + Px(144), Px(142), button_height);
    place(log_heading_, x, y + Px(180), width, line);
    place(log_, x, y + Px(200), width, bottom - button_height - Px(8) - (y + Px(200)));
    place(read_log_, x, bottom - button_height, Px(150), button_height);
}

void MainWindow::ShowPage(Page page)
{
    page_ = page;
    SendMessageW(tab_, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
    for (std::size_t which = 0; which < page_controls_.size(); ++which)
        for (HWND control : page_controls_[which])
            ShowWindow(control, which == static_cast<std::size_t>(page) ? SW_SHOWNA : SW_HIDE);
}

void MainWindow::Open(Page page)
{
    ShowPage(page);
    ShowWindow(hwnd_, IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(hwnd_);
    HWND first = page == Page::kSettings ? edits_[0] : page == Page::kDiagnostics ? check_ : cards_;
    SetFocus(first);
}

void MainWindow::Status(const std::wstring& text)
{
    // The status bar shows one line.
    std::wstring line = text;
    for (auto& c : line)
        if (c == L'\r' || c == L'\n') c = L' ';
    SendMessageW(status_, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(line.c_str()));
    SendMessageW(status_, SB_SIMPLE, TRUE, 0);
}

void MainWindow::Notify(const Notification& notification, bool balloon)
{
    Status(Wide(notification.text));
    if (balloon && tray_) tray_->Notify(Words(Say::kTitle), Wide(notification.text), !notification.ok);
}

Ask MainWindow::AskService() const
{
    // A busy pipe is tried again, and the window says that it waits.
    HWND hwnd = hwnd_;
    return Patient(ServiceAsk(kWaitPerTryMs), kTries, [hwnd](int attempt, int tries) {
        PostMessageW(hwnd, kMsgBusy, static_cast<WPARAM>(attempt), static_cast<LPARAM>(tries));
    });
}

void MainWindow::OnCommand(int id)
{
    switch (id) {
    case kLinkOn: SwitchLinkTo(true); break;
    case kLinkOff: SwitchLinkTo(false); break;
    case kRefresh: RefreshSlotAndCards(); break;
    case kEject: {
        const LRESULT selected = SendMessageW(cards_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
        if (selected >= 0) EjectCard(static_cast<std::size_t>(selected));
        break;
    }
    case kStore: StoreSettingsFromPage(false); break;
    case kStoreDefaults: StoreSettingsFromPage(true); break;
    case kReload: LoadSettings(); break;
    case kFilters: InstallFilterDrivers(); break;
    case kCheck: CheckTheDevice(); break;
    case kReport: WriteReportFromPage(); break;
    case kReadLog: ReadLogIntoPage(); break;
    // The icon's menu; its identifiers reach the window as commands too.
    case Tray::kOpen: Open(page_); break;
    case Tray::kSettings: Open(Page::kSettings); break;
    case Tray::kStopCard: StopTheCard(); break;
    case Tray::kExit: DestroyWindow(hwnd_); break;
    default: break;
    }
}

void MainWindow::RefreshSlotAndCards()
{
    Status(Words(Say::kWorking));
    worker_->Post([this, ask = AskService()]() -> Worker::Finish {
        SlotState slot = ReadSlot(ask);
        Listing listing = ListCards(ask);
        return [this, slot = std::move(slot), listing = std::move(listing)] { ShowSlot(slot, listing); };
    });
}

void MainWindow::ShowSlot(const SlotState& slot, const Listing& listing)
{
    // What changed since the last reading: Windows sends no notice of its own for a card
    // that comes or goes in this slot.
    for (const SlotNews& news : Compare(slot_, slot)) {
        if (!tray_) break;
        tray_->Notify(Words(Say::kTitle), Wide(news.text), news.warning);
        balloon_setting_ = news.setting;
    }
    slot_ = slot;
    listing_ = listing;
    SetWindowTextW(slot_text_, Wide(slot.words).c_str());
    EnableWindow(link_on_, slot.found);
    EnableWindow(link_off_, slot.found);
    SendMessageW(cards_, LVM_DELETEALLITEMS, 0, 0);
    for (std::size_t i = 0; i < listing.cards.size(); ++i) {
        const Card& card = listing.cards[i];
        const std::wstring kind = Wide(card.kind->name) + L" " + std::to_wstring(card.controller);
        const std::wstring place = std::to_wstring(card.index);
        std::string described = card.words;
        const std::string prefix = px71client::CardPlace(*card.kind, card.controller, card.index);
        if (described.rfind(prefix, 0) == 0) described.erase(0, prefix.size());
        const std::wstring text = Wide(described);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<wchar_t*>(kind.c_str());
        const int at = static_cast<int>(SendMessageW(cards_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        item.iItem = at;
        item.iSubItem = 1;
        item.pszText = const_cast<wchar_t*>(place.c_str());
        SendMessageW(cards_, LVM_SETITEMTEXTW, at, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 2;
        item.pszText = const_cast<wchar_t*>(text.c_str());
        SendMessageW(cards_, LVM_SETITEMTEXTW, at, reinterpret_cast<LPARAM>(&item));
    }
    EnableWindow(eject_, FALSE);
    if (!listing.problem.empty()) Status(Wide(listing.problem));
    else Status(listing.cards.empty() ? Words(Say::kNoCards) : Words(Say::kReady));
}

void MainWindow::Act(std::function<Notification(const Ask&)> act, std::function<void(const Notification&)> then)
{
    Status(Words(Say::kWorking));
    worker_->Post([ask = AskService(), act = std::move(act), then = std::move(then)]() -> Worker::Finish {
        Notification done = act(ask);
        return [then, done = std::move(done)] { then(done); };
    });
}

void MainWindow::EjectCard(std::size_t index)
{
    if (index >= listing_.cards.size()) return;
    Act([card = listing_.cards[index]](const Ask& ask) { return Eject(ask, card); },
        [this](const Notification& done) {
            Notify(done, true);
            RefreshSlotAndCards();
        });
}

void MainWindow::SwitchLinkTo(bool on)
{
    if (!slot_.found) return;
    Act([bus = slot_.bus, on](const Ask& ask) { return SwitchLink(ask, bus, on); },
        [this](const Notification& done) {
            Notify(done, false);
            if (!done.ok) MessageBoxW(hwnd_, Wide(done.text).c_str(), Words(Say::kTitle), MB_OK | MB_ICONWARNING);
            RefreshSlotAndCards();
        });
}

void MainWindow::StopTheCard()
{
    if (!slot_.found) return;
    const std::wstring log = service_folder_ + L"PX71.LOG";
    Act([bus = slot_.bus, log](const Ask& ask) { return StopCard(ask, bus, log.c_str()); },
        [this](const Notification& done) {
            Notify(done, true);
            balloon_setting_.reset();
            RefreshSlotAndCards();
        });
}

void MainWindow::OpenSetting(std::size_t field)
{
    if (field >= kSettingCount) return;
    Open(Page::kSettings);
    SetFocus(edits_[field]);
    SendMessageW(edits_[field], EM_SETSEL, 0, -1);
}

void MainWindow::LoadSettings()
{
    worker_->Post([this]() -> Worker::Finish {
        StoredSettings stored = ReadSettings();
        return [this, stored = std::move(stored)] {
            const SettingTexts texts = ShowSettings(stored);
            for (std::size_t i = 0; i < kSettingCount; ++i) {
                SetWindowTextW(edits_[i], Wide(texts[i]).c_str());
                const std::string shown = ShowSetting(kSettings[i], stored.defaults[i]);
                const std::wstring line = shown.empty() ? L""
                                                        : std::wstring(Words(Say::kDefaultIs)) + L" " + Wide(shown) +
                                                              L" " + Words(UnitWords(kSettings[i].unit));
                SetWindowTextW(defaults_[i], line.c_str());
            }
            if (!stored.problem.empty()) Status(Wide(stored.problem));
        };
    });
}

void MainWindow::StoreSettingsFromPage(bool defaults)
{
    SettingTexts texts;
    for (std::size_t i = 0; i < kSettingCount; ++i) texts[i] = Utf8(TextOf(edits_[i]));
    const CheckedSettings checked = CheckSettings(texts, defaults);
    if (!checked.reason.empty()) {
        // Refused here, before anything is sent; the value at fault gets the focus.
        Status(Wide("nothing was sent: " + checked.reason));
        if (checked.at_fault < kSettingCount) {
            SetFocus(edits_[checked.at_fault]);
            SendMessageW(edits_[checked.at_fault], EM_SETSEL, 0, -1);
        }
        MessageBoxW(hwnd_, Wide(checked.reason).c_str(), Words(Say::kRefusedTitle), MB_OK | MB_ICONWARNING);
        return;
    }
    Act([checked](const Ask& ask) { return StoreSettings(ask, checked); },
        [this](const Notification& done) {
            Notify(done, false);
            LoadSettings();
        });
}

void MainWindow::InstallFilterDrivers()
{
    if (MessageBoxW(hwnd_, Words(Say::kConfirmFilters), Words(Say::kTitle), MB_OKCANCEL | MB_ICONQUESTION |
                                                                               MB_DEFBUTTON2) != IDOK)
        return;
    Act(InstallFilters, [this](const Notification& done) { Notify(done, false); });
}

void MainWindow::CheckTheDevice()
{
    Act(CheckDevice, [this](const Notification& done) {
        SetWindowTextW(check_text_, Lines(done.text).c_str());
        Status(done.ok ? Words(Say::kReady) : Wide(done.text));
    });
}

void MainWindow::WriteReportFromPage()
{
    // The report's title is written into the log in the system's code page.
    const std::wstring wide = TextOf(title_);
    BOOL lost = FALSE;
    std::string title;
    if (!wide.empty()) {
        const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                          nullptr, 0, nullptr, &lost);
        title.resize(static_cast<std::size_t>(n > 0 ? n : 0));
        if (n > 0)
            WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), title.data(),
                                n, nullptr, &lost);
    }
    if (lost) {
        MessageBoxW(hwnd_, Words(Say::kTitleCodePage), Words(Say::kRefusedTitle), MB_OK | MB_ICONWARNING);
        return;
    }
    Act([title](const Ask& ask) { return WriteReport(ask, title); },
        [this](const Notification& done) {
            Notify(done, false);
            ReadLogIntoPage();
        });
}

void MainWindow::ReadLogIntoPage()
{
    const std::wstring path = service_folder_ + L"PX71.LOG";
    worker_->Post([this, path]() -> Worker::Finish {
        LogView view = ReadLog(path.c_str());
        return [this, view = std::move(view)] {
            std::string text;
            for (const auto& line : view.lines) text += line + "\n";
            if (!view.problem.empty()) text += "[" + view.problem + "]\n";
            SetWindowTextW(log_, Lines(text).c_str());
            // The newest record is the one a person looks for.
            const int end = GetWindowTextLengthW(log_);
            SendMessageW(log_, EM_SETSEL, end, end);
            SendMessageW(log_, EM_SCROLLCARET, 0, 0);
        };
    });
}

} // namespace px71app
