// The log file's bytes as the tests build and take apart: 200-byte slots, the
// header in slot 0. Plain C++, so the Windows check programs use it too.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace px71test {

constexpr std::size_t kSlotBytes = 200;
constexpr std::size_t kSlots = 5000;

// A header: the marker, Created (19 characters), NextSlot, zeros.
inline std::string Header(const std::string& created, std::uint32_t next_slot, const char* marker = "PX71LOG")
{
    std::string header(kSlotBytes, '\0');
    std::memcpy(&header[0], marker, std::strlen(marker) < 8 ? std::strlen(marker) : 8);
    std::memcpy(&header[8], created.data(), created.size() < 19 ? created.size() : 19);
    for (int i = 0; i < 4; ++i) header[28 + i] = static_cast<char>((next_slot >> (8 * i)) & 0xFF);
    return header;
}

// A record: the ANSI text cut at 200 bytes, zeros after it.
inline std::string Record(const std::string& ansi)
{
    std::string record = ansi.substr(0, kSlotBytes);
    record.resize(kSlotBytes, '\0');
    return record;
}

inline std::string Slot(const std::string& file, std::size_t slot)
{
    if (file.size() <= slot * kSlotBytes) return std::string();
    return file.substr(slot * kSlotBytes, kSlotBytes);
}

inline std::string Marker(const std::string& file) { return file.substr(0, 8); }
inline std::string Created(const std::string& file) { return file.size() >= 28 ? file.substr(8, 19) : ""; }
inline std::uint32_t NextSlot(const std::string& file)
{
    if (file.size() < 32) return 0;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(file[28 + i]);
    return v;
}

// The text of a record, up to its first zero byte.
inline std::string RecordText(const std::string& slot) { return slot.substr(0, slot.find('\0')); }

} // namespace px71test
