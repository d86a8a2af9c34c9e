// The main program's own words, in English and in Japanese, chosen by the user's UI
// language. What the service answers is worded in px71ctl's words (client/words.h).
#pragma once

#include <string>
#include "platform/win32.h"

namespace px71app {

enum class Say {
    kTitle, kTabSlot, kTabSettings, kTabDiagnostics,
    kSlotHeading, kLinkOn, kLinkOff, kRefresh, kCardsHeading, kColumnKind, kColumnPlace, kColumnName, kEject,
    kNoCards, kSettingsHeading, kUnitMiB, kUnitAddress, kUnitBytes, kUnitSwitch, kDefaultIs, kNextStart, kStore,
    kStoreDefaults, kReload, kInstallFilters, kConfirmFilters, kRefusedTitle, kCheckDevice, kReportTitle, kWriteReport,
    kLogHeading, kReadLog, kWorking, kBusyRetry, kOpen, kSettingsMenu, kExit, kTrayTip, kNoCardsMenu, kUsage,
    kSettingPort, kSettingOz888, kSettingSxs, kSettingA3132, kSettingB3132, kSettingUsb, kSettingStart, kSettingEnd,
    kSettingPayload, kSettingSsc, kTitleCodePage, kReady, kStopCard,
    kCount
};

// Whether the words are Japanese: the user's UI language, or PX71_LANGUAGE ("en" or "ja").
bool Japanese();
const wchar_t* Words(Say what);

// UTF-8 and UTF-16, for the model's words and the window's text.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

} // namespace px71app
