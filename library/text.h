// The few text helpers the library needs, written once for WCHAR and ANSI text.
#pragma once

#include "platform/win32.h"

#include <cstddef>

namespace px71 {

template <typename Char>
constexpr Char FoldCase(Char c) noexcept
{
    return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - ('a' - 'A')) : c;
}

template <typename Char>
std::size_t Length(const Char* text) noexcept
{
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// The first `count` characters of `text` equal those of `prefix`, letter case
// ignored (ASCII letters, as device IDs and service names use). Stops at the first
// difference, so a shorter text never reads past its terminator.
template <typename Char>
bool PrefixEqualNoCase(const Char* text, const Char* prefix, std::size_t count) noexcept
{
    for (std::size_t i = 0; i < count; ++i) {
        if (FoldCase(text[i]) != FoldCase(prefix[i])) return false;
        if (text[i] == 0) return true;
    }
    return true;
}

} // namespace px71
