// The notification-area icon: its menu lists the cards with an eject each, and an
// eject's outcome comes back as a notification.
#pragma once

#include "platform/win32.h"
#include <shellapi.h>

#include <string>
#include <vector>

namespace px71app {

class Tray {
public:
    // Menu commands: kEjectFirst + the card's place in the list, and the three fixed ones.
    enum Command : UINT { kOpen = 40001, kSettings, kExit, kStopCard, kEjectFirst = 41000, kEjectLast = 41999 };

    Tray(HWND window, UINT callback, HICON icon);
    ~Tray();  // the icon goes with the program
    Tray(const Tray&) = delete;
    Tray& operator=(const Tray&) = delete;

    // Again, after Explorer restarted: its new taskbar knows no icon.
    void Add();
    // The menu at the cursor: a line per card, "Stop the ExpressCard" (grey while the slot
    // holds no card Windows knows), then Open, Settings and Exit. Returns the command
    // chosen, 0 for none.
    UINT Menu(const std::vector<std::wstring>& cards, bool can_stop);
    void Notify(const std::wstring& title, const std::wstring& text, bool warning);

private:
    NOTIFYICONDATAW data_{};
    bool added_ = false;
};

} // namespace px71app
