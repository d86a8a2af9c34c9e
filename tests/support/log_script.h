// One run of log calls that the Wine check makes with the real DLL and a host test
// makes on the simulated machine, and the file both must leave: the log's own
// conformance case. Only the two times differ from run to run; they are read back
// from the file.
#pragma once

#include "platform/win32.h"
#include "support/log_image.h"

#include <string>

namespace px71test {

inline const char* const kScriptTitle = "Wine check";

// The filter driver's key as the script fills it: "Oz888Len" and "USBLen" only.
inline LSTATUS WriteScriptSettings()
{
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, W16("SYSTEM\\CurrentControlSet\\Services\\PX711"), 0, nullptr,
                                     0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    const DWORD oz888 = 0x00400000, usb = 0x00100000;
    status = RegSetValueExW(key, W16("Oz888Len"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&oz888), 4);
    if (status == ERROR_SUCCESS)
        status = RegSetValueExW(key, W16("USBLen"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&usb), 4);
    RegCloseKey(key);
    return status;
}

// The calls, in order. After the first one the file must be the header and slot 1
// alone (AfterFirst); BeforeReport runs just before XU_WriteLog.
template <typename Write, typename Report, typename AfterFirst, typename BeforeReport>
void RunLogScript(Write write_log, Report write_report, AfterFirst after_first, BeforeReport before_report)
{
    write_log(W16("PX71 log check"));
    after_first();
    write_log(nullptr);
    const WCHAR letters[] = {'C', 'a', 'f', 0xE9, ' ', 0x20AC, ' ', 0xFC, 0};
    write_log(letters);
    write_log(W16(""));
    WCHAR longer[251];
    for (int i = 0; i < 250; ++i) longer[i] = static_cast<WCHAR>(i < 199 ? 'L' : 'M');
    longer[250] = 0;
    write_log(longer);
    WriteScriptSettings();
    before_report();
    write_report(kScriptTitle);
}

// What the file holds after the script, given its creation time and the report's.
inline std::string ScriptImage(const std::string& created, const std::string& report_time)
{
    return Header(created, 7) + Record("PX71 log check") + Record("Caf\xE9 \x80 \xFC") + Record("") +
           Record(std::string(199, 'L') + std::string(51, 'M')) +
           Record(std::string("\r\n\r\n") + kScriptTitle + "\r\n" + report_time) +
           Record("\r\nRegistry\r\nOz888Len:0x400000\r\nUSBLen:0x100000");
}

inline std::string ScriptFirstImage(const std::string& created)
{
    return Header(created, 2) + Record("PX71 log check");
}

// The report's time as the script's file holds it: the heading's last 19 characters.
inline std::string ScriptReportTime(const std::string& file)
{
    const std::string heading = RecordText(Slot(file, 5));
    return heading.size() >= 19 ? heading.substr(heading.size() - 19) : std::string();
}

} // namespace px71test
