// MatchMultiSz with arbitrary data, sizes and patterns: it must never read outside
// the DataBytes it was given (the data sits in a block of exactly that size).
#include "library/device_tree.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) return 0;
    // First byte: pattern length in characters (pattern follows), the rest is the data.
    std::size_t pattern_units = data[0] % 16;
    const bool null_pattern = data[1] & 1;
    data += 2;
    size -= 2;
    if (pattern_units * 2 > size) return 0;
    std::vector<char16_t> pattern(pattern_units + 1, 0);
    std::memcpy(pattern.data(), data, pattern_units * 2);
    for (auto& c : pattern)
        if (c == 0) c = u'A';
    pattern[pattern_units] = 0;
    data += pattern_units * 2;
    size -= pattern_units * 2;

    auto* block = static_cast<char16_t*>(::operator new(size ? size : 1));
    std::memcpy(block, data, size);
    px71::MatchMultiSz(null_pattern ? nullptr : pattern.data(), size ? block : nullptr, static_cast<DWORD>(size));
    px71::MatchProperty(null_pattern ? nullptr : pattern.data(), REG_MULTI_SZ, reinterpret_cast<BYTE*>(block),
                        static_cast<DWORD>(size));
    ::operator delete(block);
    return 0;
}
