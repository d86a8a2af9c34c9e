#include "app/settings.h"

#include "platform/handles.h"
#include "platform/text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace px71app {
namespace {

constexpr std::uint32_t kMiB = 0x100000;
constexpr std::uint32_t kMostMiB = 0xFFFFFFFFu / kMiB;  // 4095: the largest whole MiB in 32 bits
constexpr std::size_t kStartAt = 6;  // the range's start, named when the range is wrong
static_assert(kSettings[kStartAt].field == &PipeRequest::StartAdrs, "StartAdrs at its place");

std::optional<std::uint32_t> ReadDword(HKEY key, const char* name)
{
    WCHAR wide[32] = {};
    for (std::size_t i = 0; name[i] && i + 1 < 32; ++i) wide[i] = static_cast<WCHAR>(name[i]);
    DWORD value = 0, type = 0, size = sizeof value;
    if (RegQueryValueExW(key, wide, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return std::nullopt;
    return value;
}

std::string Hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// Digits only (decimal, or hex after 0x), spaces around them allowed; at most 32 bits.
std::optional<std::uint32_t> ParseNumber(const std::string& text, bool hex_allowed)
{
    std::size_t begin = text.find_first_not_of(' '), end = text.find_last_not_of(' ');
    if (begin == std::string::npos) return std::nullopt;
    std::string digits = text.substr(begin, end - begin + 1);
    int base = 10;
    if (hex_allowed && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2), base = 16;
    if (digits.empty() || digits.size() > 10) return std::nullopt;
    for (char c : digits)
        if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
            return std::nullopt;
    const unsigned long long n = std::strtoull(digits.c_str(), nullptr, base);
    if (n > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(n);
}

// The value of one text in its unit, or why it is none.
std::optional<std::uint32_t> Parse(const Setting& s, const std::string& text, std::string& reason)
{
    const std::string quoted = "\"" + text + "\"";
    const std::string head = std::string(s.name) + ": ";
    if (text.find_first_not_of(' ') == std::string::npos) {
        reason = head + "a value is needed";
        return std::nullopt;
    }
    switch (s.unit) {
    case Unit::kMiB: {
        const auto n = ParseNumber(text, false);
        if (!n || *n > kMostMiB) {
            reason = head + "a window length is a whole number of MiB from 0 to " + std::to_string(kMostMiB) +
                     ", not " + quoted;
            return std::nullopt;
        }
        return *n * kMiB;
    }
    case Unit::kAddress: {
        const auto n = ParseNumber(text, true);
        if (!n) reason = head + "an address is a number from 0 to 0xFFFFFFFF, not " + quoted;
        return n;
    }
    case Unit::kPayload: {
        const auto n = ParseNumber(text, true);
        if (!n || *n < 128 || *n > 4096 || (*n & (*n - 1))) {
            reason = head + "the payload size is 128, 256, 512, 1024, 2048 or 4096 bytes, not " + quoted;
            return std::nullopt;
        }
        return n;
    }
    case Unit::kSwitch: {
        const auto n = ParseNumber(text, false);
        if (!n || *n > 1) {
            reason = head + "0 (off) or 1 (on), not " + quoted;
            return std::nullopt;
        }
        return n;
    }
    }
    return std::nullopt;
}

} // namespace

StoredSettings ReadSettings()
{
    StoredSettings stored;
    HKEY raw = nullptr;
    const LSTATUS opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, W16("SYSTEM\\CurrentControlSet\\Services\\PX711"), 0, KEY_READ, &raw);
    if (opened != ERROR_SUCCESS) {
        stored.problem = opened == ERROR_FILE_NOT_FOUND
                             ? "the filter driver PX711 is not installed: its key "
                               "HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711 is missing"
                             : "the key HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX711 cannot be read (error " +
                                   std::to_string(opened) + ")";
        return stored;
    }
    const px71::UniqueRegKey key(raw);
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        stored.values[i] = ReadDword(key.get(), kSettings[i].name);
        if (kSettings[i].default_name) stored.defaults[i] = ReadDword(key.get(), kSettings[i].default_name);
    }
    return stored;
}

std::string ShowSetting(const Setting& setting, std::optional<std::uint32_t> value)
{
    if (!value) return "";
    switch (setting.unit) {
    case Unit::kMiB:
        // A length that is no whole MiB is shown in bytes, so that the check names it.
        return *value % kMiB ? Hex(*value) : std::to_string(*value / kMiB);
    case Unit::kAddress: return Hex(*value);
    case Unit::kPayload:
    case Unit::kSwitch: return std::to_string(*value);
    }
    return "";
}

SettingTexts ShowSettings(const StoredSettings& stored)
{
    SettingTexts texts;
    for (std::size_t i = 0; i < kSettingCount; ++i) texts[i] = ShowSetting(kSettings[i], stored.values[i]);
    return texts;
}

CheckedSettings CheckSettings(const SettingTexts& texts, bool defaults)
{
    CheckedSettings checked;
    checked.request.Command = PX71_CMD_SET_SIZES;
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        const Setting& s = kSettings[i];
        if (defaults && !s.default_name) continue;
        const auto value = Parse(s, texts[i], checked.reason);
        if (!value) {
            checked.at_fault = i;
            return checked;
        }
        checked.request.*s.field = *value;
    }
    if (defaults) return checked;  // EndAdrs 0: stored as the defaults
    if (checked.request.StartAdrs >= checked.request.EndAdrs) {
        checked.at_fault = kStartAt;
        checked.reason = "StartAdrs " + Hex(checked.request.StartAdrs) + " is not below EndAdrs " +
                         Hex(checked.request.EndAdrs) + ": the range starts below its end";
    }
    return checked;
}

Notification StoreSettings(const Ask& ask, const CheckedSettings& checked)
{
    if (!checked.reason.empty()) return {false, "nothing was sent: " + checked.reason};
    Notification done = Send(ask, checked.request);
    if (done.ok) done.text += "; the filter driver reads them at the next start of Windows";
    return done;
}

Notification InstallFilters(const Ask& ask)
{
    PipeRequest request{};
    request.Command = PX71_CMD_ADD_FILTER;
    return Send(ask, request);
}

} // namespace px71app
