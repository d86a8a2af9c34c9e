#include "app/text.h"

namespace px71app {
namespace {

struct Pair {
    Say id;
    const wchar_t* english;
    const wchar_t* japanese;
};

// One row a text, in the order of Say; the build checks the order.
constexpr Pair kWords[] = {
    {Say::kTitle, L"PX71 HotPlug Tool", L"PX71 HotPlug Tool"},
    {Say::kTabSlot, L"&Slot and cards", L"スロットとカード(&S)"},
    {Say::kTabSettings, L"Se&ttings", L"設定(&T)"},
    {Say::kTabDiagnostics, L"&Diagnostics", L"診断(&D)"},
    {Say::kSlotHeading, L"ExpressCard slot", L"ExpressCard スロット"},
    {Say::kLinkOn, L"Link &on", L"リンク オン(&O)"},
    {Say::kLinkOff, L"Link o&ff (after the volume check)", L"リンク オフ(&F) (ボリューム確認の後)"},
    {Say::kRefresh, L"&Refresh", L"更新(&R)"},
    {Say::kCardsHeading, L"Cards below the adapter's controllers", L"アダプターのコントローラーの下のカード"},
    {Say::kColumnKind, L"Controller", L"コントローラー"},
    {Say::kColumnPlace, L"Card", L"カード"},
    {Say::kColumnName, L"Name and state", L"名前と状態"},
    {Say::kEject, L"&Eject", L"取り出し(&E)"},
    {Say::kNoCards, L"No card is listed.", L"カードはありません。"},
    {Say::kSettingsHeading, L"Resource windows of the root-port filter driver PX711",
     L"ルート ポート フィルター ドライバー PX711 のリソース ウィンドウ"},
    {Say::kUnitMiB, L"MiB", L"MiB"},
    {Say::kUnitAddress, L"address (0x hex)", L"アドレス (0x 16 進)"},
    {Say::kUnitBytes, L"bytes", L"バイト"},
    {Say::kUnitSwitch, L"0 off, 1 on", L"0 オフ、1 オン"},
    {Say::kDefaultIs, L"default", L"既定"},
    {Say::kNextStart, L"The filter driver reads these values at the next start of Windows.",
     L"フィルター ドライバーは次回の Windows 起動時にこれらの値を読み込みます。"},
    {Say::kStore, L"St&ore", L"保存(&O)"},
    {Say::kStoreDefaults, L"Store lengths as de&faults", L"長さを既定値として保存(&F)"},
    {Say::kReload, L"Re&load", L"再読み込み(&L)"},
    {Say::kInstallFilters, L"&Install filter drivers...", L"フィルター ドライバーのインストール(&I)..."},
    {Say::kConfirmFilters,
     L"PX71Service will delete the filter lists of earlier runs and put the filter drivers on the adapter's "
     L"root port and on the nodes below it. The devices use them from their next start, at the latest after a "
     L"restart of Windows.\n\nInstall the filter drivers now?",
     L"PX71Service は以前の実行のフィルター リストを削除し、アダプターのルート ポートとその下のノードにフィルター "
     L"ドライバーを設定します。デバイスは次回の開始時 (遅くとも Windows の再起動後) から使用します。\n\n"
     L"フィルター ドライバーを今インストールしますか?"},
    {Say::kRefusedTitle, L"Not sent", L"送信されませんでした"},
    {Say::kCheckDevice, L"&Check the device", L"デバイスの確認(&C)"},
    {Say::kReportTitle, L"Report title:", L"レポートのタイトル:"},
    {Say::kWriteReport, L"&Write report", L"レポートの書き込み(&W)"},
    {Say::kLogHeading, L"PX71.LOG, oldest record first", L"PX71.LOG (古い記録から順に)"},
    {Say::kReadLog, L"Read the lo&g", L"ログの読み込み(&G)"},
    {Say::kWorking, L"Waiting for PX71Service...", L"PX71Service を待っています..."},
    {Say::kBusyRetry, L"PX71Service is busy with other programs; still waiting (try %d of %d)...",
     L"PX71Service は他のプログラムを処理中です。待機を続けています (%d / %d 回目)..."},
    {Say::kOpen, L"&Open PX71 HotPlug Tool", L"PX71 HotPlug Tool を開く(&O)"},
    {Say::kSettingsMenu, L"&Settings...", L"設定(&S)..."},
    {Say::kExit, L"E&xit", L"終了(&X)"},
    {Say::kTrayTip, L"PX71 HotPlug Tool: eject a card safely", L"PX71 HotPlug Tool: カードを安全に取り出す"},
    {Say::kNoCardsMenu, L"No card to eject", L"取り出すカードはありません"},
    {Say::kUsage,
     L"Usage: PX71.exe [-c | -t]\n\n(none)\tthe main window\n-c\tthe main window on its settings page\n"
     L"-t\tonly the notification-area icon (as started at logon)",
     L"使い方: PX71.exe [-c | -t]\n\n(なし)\tメイン ウィンドウ\n-c\t設定ページでメイン ウィンドウを開く\n"
     L"-t\t通知領域のアイコンのみ (ログオン時の起動)"},
    {Say::kSettingPort, L"Port window", L"ポート ウィンドウ"},
    {Say::kSettingOz888, L"OZ888 window", L"OZ888 ウィンドウ"},
    {Say::kSettingSxs, L"SxS window", L"SxS ウィンドウ"},
    {Say::kSettingA3132, L"SATA controller A window", L"SATA コントローラー A ウィンドウ"},
    {Say::kSettingB3132, L"SATA controller B window", L"SATA コントローラー B ウィンドウ"},
    {Say::kSettingUsb, L"USB window", L"USB ウィンドウ"},
    {Say::kSettingStart, L"Range start", L"範囲の開始"},
    {Say::kSettingEnd, L"Range end", L"範囲の終了"},
    {Say::kSettingPayload, L"Payload size", L"ペイロード サイズ"},
    {Say::kSettingSsc, L"SATA spread spectrum", L"SATA スペクトラム拡散"},
    {Say::kTitleCodePage, L"The title holds characters that the system's code page cannot write into PX71.LOG.",
     L"タイトルに、システムのコード ページで PX71.LOG に書き込めない文字が含まれています。"},
    {Say::kReady, L"Ready.", L"準備完了。"},
    {Say::kStopCard, L"Stop the &ExpressCard", L"ExpressCard の停止(&E)"},
};
static_assert(sizeof kWords / sizeof kWords[0] == static_cast<std::size_t>(Say::kCount), "a row for every text");

constexpr bool OrderHolds()
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(Say::kCount); ++i)
        if (kWords[i].id != static_cast<Say>(i)) return false;
    return true;
}
static_assert(OrderHolds(), "the rows in the order of Say");

} // namespace

bool Japanese()
{
    static const bool japanese = [] {
        wchar_t chosen[8] = {};
        if (GetEnvironmentVariableW(L"PX71_LANGUAGE", chosen, 8) == 2) return chosen[0] == L'j' && chosen[1] == L'a';
        return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE;
    }();
    return japanese;
}

const wchar_t* Words(Say what)
{
    const auto i = static_cast<std::size_t>(what);
    if (i >= static_cast<std::size_t>(Say::kCount)) return L"?";
    return Japanese() ? kWords[i].japanese : kWords[i].english;
}

std::wstring Wide(const std::string& utf8)
{
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const std::wstring& wide)
{
    if (wide.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

} // namespace px71app
