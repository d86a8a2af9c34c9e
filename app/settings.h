// The Settings page's model: the root-port filter driver's resource-window values as
// its service key holds them, shown in their units, checked before anything is sent,
// and stored through the service (command 3); and the filters' installation (command 1).
#pragma once

#include "app/model.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace px71app {

enum class Unit {
    kMiB,      // a window length: bytes in the registry, a whole number of MiB on the page
    kAddress,  // an address of the range, 0x hex
    kPayload,  // bytes, a power of two from 128 to 4096 (the PCI Express payload sizes)
    kSwitch,   // 0 off, 1 on
};

struct Setting {
    const char* name;         // the registry value, as the filter driver reads it
    Unit unit;
    std::uint32_t PipeRequest::*field;
    const char* default_name;  // the value that holds its default; null when it has none
};

// The ten values of a set request, in the page's order.
inline constexpr std::size_t kSettingCount = 10;
inline constexpr Setting kSettings[kSettingCount] = {
    {"PortLen", Unit::kMiB, &PipeRequest::PortLen, nullptr},
    {"Oz888Len", Unit::kMiB, &PipeRequest::Oz888Len, "Oz888LenDef"},
    {"SxsLen", Unit::kMiB, &PipeRequest::SxsLen, "SxsLenDef"},
    {"A3132Len", Unit::kMiB, &PipeRequest::A3132Len, "A3132LenDef"},
    {"B3132Len", Unit::kMiB, &PipeRequest::B3132Len, "B3132LenDef"},
    {"USBLen", Unit::kMiB, &PipeRequest::USBLen, "USBLenDef"},
    {"StartAdrs", Unit::kAddress, &PipeRequest::StartAdrs, nullptr},
    {"EndAdrs", Unit::kAddress, &PipeRequest::EndAdrs, nullptr},
    {"PayloadSize", Unit::kPayload, &PipeRequest::PayloadSize, nullptr},
    {"SataSSC", Unit::kSwitch, &PipeRequest::SataSSC, nullptr},
};

using SettingTexts = std::array<std::string, kSettingCount>;

struct StoredSettings {
    std::array<std::optional<std::uint32_t>, kSettingCount> values;
    std::array<std::optional<std::uint32_t>, kSettingCount> defaults;
    std::string problem;  // why nothing could be read; empty when the key was read
};

// The values as the filter driver's key holds them (read access only).
StoredSettings ReadSettings();
// A stored value as the page shows it in its unit; empty when there is none.
std::string ShowSetting(const Setting& setting, std::optional<std::uint32_t> value);
// The page's texts for what the key holds.
SettingTexts ShowSettings(const StoredSettings& stored);

struct CheckedSettings {
    PipeRequest request{};  // command 3, ready to send when `reason` is empty
    std::string reason;     // why the page's values cannot be sent
    std::size_t at_fault = kSettingCount;  // the setting the reason names first
};
// Checks the page's texts: every value in its unit and bounds, and the range's start
// below its end. `defaults` checks only the five lengths that have a default and asks
// for them to be stored as the defaults (EndAdrs 0).
CheckedSettings CheckSettings(const SettingTexts& texts, bool defaults);

// Sends checked settings; nothing is sent while `checked.reason` says why not.
Notification StoreSettings(const Ask& ask, const CheckedSettings& checked);
// Has the service put the filter drivers on the adapter (command 1).
Notification InstallFilters(const Ask& ask);

} // namespace px71app
