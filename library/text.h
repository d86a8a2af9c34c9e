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

// A text built into a caller's fixed buffer, the printf formats the library uses
// written out once. Appends stop at the buffer's end; the text stays terminated.
template <typename Char>
class FixedText {
public:
    FixedText(Char* buffer, std::size_t capacity) noexcept : buffer_(buffer), capacity_(capacity)
    {
        if (capacity_) buffer_[0] = 0;
    }

    const Char* text() const noexcept { return buffer_; }
    std::size_t length() const noexcept { return length_; }

    FixedText& Put(Char c) noexcept
    {
        if (length_ + 1 < capacity_) {
            buffer_[length_++] = c;
            buffer_[length_] = 0;
        }
        return *this;
    }

    // "%s"; a null text adds nothing.
    FixedText& Append(const Char* text) noexcept
    {
        if (text)
            for (std::size_t i = 0; text[i] != 0; ++i) Put(text[i]);
        return *this;
    }

    // "%0<width>d" of an unsigned number.
    FixedText& Decimal(unsigned long value, std::size_t width) noexcept
    {
        char digits[24];
        std::size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (std::size_t i = n; i < width; ++i) Put(static_cast<Char>('0'));
        while (n > 0) Put(static_cast<Char>(digits[--n]));
        return *this;
    }

    // "%#0<width>x" (or "X" when Upper): a nonzero value gets the prefix "0x" ("0X"),
    // zeros pad the whole to Width after the prefix; zero prints as Width zeros and no
    // prefix at all, as printf does.
    FixedText& Hex(unsigned long value, std::size_t width, bool upper = false) noexcept
    {
        const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char digits[24];
        std::size_t n = 0;
        const bool prefix = value != 0;
        do {
            digits[n++] = alphabet[value % 16];
            value /= 16;
        } while (value != 0);
        if (prefix) {
            Put(static_cast<Char>('0'));
            Put(static_cast<Char>(upper ? 'X' : 'x'));
        }
        for (std::size_t i = n + (prefix ? 2 : 0); i < width; ++i) Put(static_cast<Char>('0'));
        while (n > 0) Put(static_cast<Char>(digits[--n]));
        return *this;
    }

private:
    Char* buffer_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

// "%04d/%02d/%02d %02d:%02d:%02d": the date and time as the log writes them.
template <typename Char>
FixedText<Char>& AppendDateTime(FixedText<Char>& out, const SYSTEMTIME& t) noexcept
{
    out.Decimal(t.wYear, 4).Put('/').Decimal(t.wMonth, 2).Put('/').Decimal(t.wDay, 2).Put(' ');
    return out.Decimal(t.wHour, 2).Put(':').Decimal(t.wMinute, 2).Put(':').Decimal(t.wSecond, 2);
}

} // namespace px71
