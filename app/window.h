// PX71.exe's main window: the pages Slot and cards, Settings and Diagnostics in a tab
// control, a status bar for what the last action gave, and the notification-area icon.
// Everything that asks the service runs on the worker; the window only shows answers.
#pragma once

#include "app/diagnostics.h"
#include "app/model.h"
#include "app/settings.h"
#include "app/slot.h"
#include "app/tray.h"
#include "app/worker.h"

#include "platform/win32.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace px71app {

enum class Page { kSlot, kSettings, kDiagnostics };

inline constexpr wchar_t kMainClass[] = L"PX71MainWindow";
// Sent by a second start of the program (or by a test) to the running one: wParam is
// the Page to show.
inline constexpr UINT kMsgShow = WM_APP + 2;

struct StartOptions {
    bool show_window = true;  // false: only the notification-area icon (as at logon)
    Page page = Page::kSlot;
};

class MainWindow {
public:
    explicit MainWindow(HINSTANCE instance);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    bool Create(const StartOptions& options);
    // Keyboard handling of the pages (Tab, arrows, mnemonics, Ctrl+Tab): true when taken.
    bool PreTranslate(MSG& msg);

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);

    HWND Control(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD ex_style = 0);
    void CreateControls();
    void Layout();
    void UpdateFont();
    void ShowPage(Page page);
    void Open(Page page);
    int Px(int dip) const { return MulDiv(dip, static_cast<int>(dpi_), 96); }
    void Status(const std::wstring& text);
    void Notify(const Notification& notification, bool balloon);
    Ask AskService() const;
    // Runs `act` with the service on the worker, and `then` with its notification on the
    // window's thread.
    void Act(std::function<Notification(const Ask&)> act, std::function<void(const Notification&)> then);

    void OnCommand(int id);
    void RefreshSlotAndCards();
    void ShowSlot(const SlotState& slot, const Listing& listing);
    void EjectCard(std::size_t index);
    void SwitchLinkTo(bool on);
    void StopTheCard();
    void OpenSetting(std::size_t field);
    void LoadSettings();
    void StoreSettingsFromPage(bool defaults);
    void InstallFilterDrivers();
    void CheckTheDevice();
    void WriteReportFromPage();
    void ReadLogIntoPage();

    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    UINT dpi_ = 96;
    HFONT font_ = nullptr;
    HICON icon_ = nullptr, small_icon_ = nullptr;
    bool tray_mode_ = false;
    UINT taskbar_created_ = 0;
    Page page_ = Page::kSlot;

    std::unique_ptr<Worker> worker_;
    std::unique_ptr<Tray> tray_;
    std::wstring service_folder_;  // where PX71Service.exe, PX71.dll and PX71.LOG lie

    SlotState slot_;
    Listing listing_;
    std::optional<std::size_t> balloon_setting_;  // the field a click on the shown balloon opens

    HWND tab_ = nullptr, status_ = nullptr;
    // Each page's controls, shown with it; Control() files them under `filling_`.
    std::array<std::vector<HWND>, 3> page_controls_;
    std::optional<Page> filling_;
    // Slot and cards
    HWND slot_heading_ = nullptr, slot_text_ = nullptr, link_on_ = nullptr, link_off_ = nullptr,
         refresh_ = nullptr, cards_heading_ = nullptr, cards_ = nullptr, eject_ = nullptr;
    // Settings
    HWND settings_heading_ = nullptr, note_ = nullptr, store_ = nullptr, store_defaults_ = nullptr,
         reload_ = nullptr, filters_ = nullptr;
    std::array<HWND, kSettingCount> labels_{}, edits_{}, units_{}, defaults_{};
    // Diagnostics
    HWND check_ = nullptr, check_text_ = nullptr, title_label_ = nullptr, title_ = nullptr, report_ = nullptr,
         log_heading_ = nullptr, log_ = nullptr, read_log_ = nullptr;
};

} // namespace px71app
