#include "app/tray.h"

#include "app/text.h"

#include <algorithm>
#include <cwchar>

namespace px71app {
namespace {

void Copy(wchar_t* to, std::size_t size, const std::wstring& text)
{
    const std::size_t n = std::min(text.size(), size - 1);
    std::wmemcpy(to, text.data(), n);
    to[n] = 0;
    // A cut text says it was cut.
    if (n < text.size() && n >= 3) std::wmemcpy(to + n - 3, L"...", 3);
}

} // namespace

Tray::Tray(HWND window, UINT callback, HICON icon)
{
    data_.cbSize = sizeof data_;
    data_.hWnd = window;
    data_.uID = 1;
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data_.uCallbackMessage = callback;
    data_.hIcon = icon;
    Copy(data_.szTip, sizeof data_.szTip / sizeof data_.szTip[0], Words(Say::kTrayTip));
    Add();
}

Tray::~Tray()
{
    if (added_) Shell_NotifyIconW(NIM_DELETE, &data_);
}

void Tray::Add()
{
    NOTIFYICONDATAW add = data_;
    add.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    added_ = Shell_NotifyIconW(NIM_ADD, &add) != FALSE;
}

UINT Tray::Menu(const std::vector<std::wstring>& cards, bool can_stop)
{
    HMENU menu = CreatePopupMenu();
    if (!menu) return 0;
    if (cards.empty()) AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, Words(Say::kNoCardsMenu));
    for (std::size_t i = 0; i < cards.size() && kEjectFirst + i <= kEjectLast; ++i)
        AppendMenuW(menu, MF_STRING, kEjectFirst + i, cards[i].c_str());
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | (can_stop ? 0u : MF_GRAYED), kStopCard, Words(Say::kStopCard));
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kOpen, Words(Say::kOpen));
    AppendMenuW(menu, MF_STRING, kSettings, Words(Say::kSettingsMenu));
    AppendMenuW(menu, MF_STRING, kExit, Words(Say::kExit));
    SetMenuDefaultItem(menu, kOpen, FALSE);
    POINT at{};
    GetCursorPos(&at);
    // The menu closes when the user clicks elsewhere only while its window is in front.
    SetForegroundWindow(data_.hWnd);
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y, 0, data_.hWnd, nullptr));
    PostMessageW(data_.hWnd, WM_NULL, 0, 0);
    DestroyMenu(menu);
    return chosen;
}

void Tray::Notify(const std::wstring& title, const std::wstring& text, bool warning)
{
    if (!added_) return;
    NOTIFYICONDATAW info = data_;
    info.uFlags = NIF_INFO;
    Copy(info.szInfoTitle, sizeof info.szInfoTitle / sizeof info.szInfoTitle[0], title);
    Copy(info.szInfo, sizeof info.szInfo / sizeof info.szInfo[0], text);
    info.dwInfoFlags = warning ? NIIF_WARNING : NIIF_INFO;
    Shell_NotifyIconW(NIM_MODIFY, &info);
}

} // namespace px71app
