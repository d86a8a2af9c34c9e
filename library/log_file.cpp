// The ring-buffer log "PX71.LOG" beside the calling program: a 200-byte header and
// 4999 slots of 200 bytes, one text per slot, the oldest overwritten once full.
#include "library/px71.h"
#include "library/text.h"

#include <cstddef>
#include <cstring>

namespace px71 {
namespace {

constexpr DWORD kSlotBytes = 200;
constexpr DWORD kSlots = 5000;  // slot 0 is the header
constexpr char kMarker[8] = {'P', 'X', '7', '1', 'L', 'O', 'G', 0};
constexpr std::size_t kCreatedOffset = 8;
constexpr std::size_t kCreatedBytes = 20;
constexpr std::size_t kNextSlotOffset = 28;

// How long a writer waits for another one to finish with the header. The wait is
// bounded by the clock, not by a count of Sleep(1): each of those lasts a timer tick
// (15.6 ms by default on Windows), which would make 500 of them almost 8 s.
constexpr ULONGLONG kLockWaitMs = 500;

// The path "<program's drive and folder>PX71.LOG". False when the program's path
// does not fit MAX_PATH, since a cut path would name some other folder.
bool BuildLogPath(WCHAR (&path)[MAX_PATH]) noexcept
{
    WCHAR program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::size_t folder = 0;  // GetModuleFileNameW gives a full path: a folder always ends in one
    for (std::size_t i = 0; i < length; ++i)
        if (program[i] == '\\' || program[i] == '/') folder = i + 1;
    const WCHAR name[] = W16("PX71.LOG");
    if (folder + sizeof name / sizeof name[0] > MAX_PATH) return false;
    FixedText<WCHAR> out(path, MAX_PATH);
    for (std::size_t i = 0; i < folder; ++i) out.Put(program[i]);
    out.Append(name);
    return true;
}

// An exclusive lock on the header's slot, held from the header read to the header
// write so that two writers never take the same slot. On a file system that keeps no
// byte-range locks (the call fails with anything but a lock violation) the record is
// written without one, as a writer without the lock always did: that loses nothing
// but the guard against a second writer at the same instant.
class HeaderSlotLock {
public:
    explicit HeaderSlotLock(HANDLE file) noexcept : file_(file)
    {
        const ULONGLONG deadline = GetTickCount64() + kLockWaitMs;
        for (;;) {
            OVERLAPPED at{};
            if (LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, kSlotBytes, 0, &at)) {
                state_ = State::kHeld;
                return;
            }
            if (GetLastError() != ERROR_LOCK_VIOLATION) {
                state_ = State::kNoLocks;
                return;
            }
            if (GetTickCount64() >= deadline) return;
            Sleep(1);
        }
    }
    ~HeaderSlotLock()
    {
        if (state_ != State::kHeld) return;
        OVERLAPPED at{};
        UnlockFileEx(file_, 0, kSlotBytes, 0, &at);
    }
    HeaderSlotLock(const HeaderSlotLock&) = delete;
    HeaderSlotLock& operator=(const HeaderSlotLock&) = delete;

    // The header may be worked on: the lock is held, or the file system has none.
    bool may_write() const noexcept { return state_ != State::kBusy; }

private:
    enum class State { kBusy, kHeld, kNoLocks };
    HANDLE file_;
    State state_ = State::kBusy;
};

bool WriteSlot(HANDLE file, DWORD slot, const BYTE (&data)[kSlotBytes]) noexcept
{
    if (SetFilePointer(file, static_cast<LONG>(slot * kSlotBytes), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    DWORD written = 0;
    return WriteFile(file, data, kSlotBytes, &written, nullptr) && written == kSlotBytes;
}

bool ReadHeader(HANDLE file, BYTE (&header)[kSlotBytes]) noexcept
{
    std::memset(header, 0, sizeof header);
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
    DWORD read = 0;
    return ReadFile(file, header, kSlotBytes, &read, nullptr) != FALSE;  // a new file reads 0 bytes
}

DWORD NextSlot(const BYTE (&header)[kSlotBytes]) noexcept
{
    DWORD slot;
    std::memcpy(&slot, header + kNextSlotOffset, sizeof slot);
    return slot;
}

void SetNextSlot(BYTE (&header)[kSlotBytes], DWORD slot) noexcept
{
    std::memcpy(header + kNextSlotOffset, &slot, sizeof slot);
}

// Slot 0 would put the record under the header, so it does not count as valid.
bool HeaderValid(const BYTE (&header)[kSlotBytes]) noexcept
{
    const DWORD slot = NextSlot(header);
    return std::memcmp(header, kMarker, sizeof kMarker) == 0 && slot >= 1 && slot < kSlots;
}

void RenewHeader(BYTE (&header)[kSlotBytes]) noexcept
{
    std::memset(header, 0, sizeof header);
    std::memcpy(header, kMarker, sizeof kMarker);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    FixedText<char> created(reinterpret_cast<char*>(header + kCreatedOffset), kCreatedBytes);
    AppendDateTime(created, now);
    SetNextSlot(header, 1);
}

// The text in the ANSI code page, cut at byte 200 even inside a double-byte
// character; the rest of the record stays zero. Converted a piece at a time so no
// buffer has to hold the whole of a long text.
bool ConvertRecord(LPCWSTR text, BYTE (&record)[kSlotBytes]) noexcept
{
    std::memset(record, 0, sizeof record);
    const std::size_t length = Length(text);
    // Any code page turns one UTF-16 unit into at most 3 bytes (UTF-8 as the ANSI code
    // page); a piece is at most kSlotBytes + 1 units.
    char converted[(kSlotBytes + 1) * 3];
    std::size_t stored = 0;
    for (std::size_t done = 0; done < length && stored < kSlotBytes;) {
        std::size_t piece = length - done < kSlotBytes ? length - done : kSlotBytes;
        const WCHAR last = text[done + piece - 1];
        if (last >= 0xD800 && last < 0xDC00 && done + piece < length) ++piece;  // keep a surrogate pair whole
        const int bytes = WideCharToMultiByte(CP_ACP, 0, text + done, static_cast<int>(piece), converted,
                                              static_cast<int>(sizeof converted), nullptr, nullptr);
        if (bytes <= 0) return false;
        const std::size_t take = static_cast<std::size_t>(bytes) < kSlotBytes - stored
                                     ? static_cast<std::size_t>(bytes)
                                     : kSlotBytes - stored;
        std::memcpy(record + stored, converted, take);
        stored += take;
        done += piece;
    }
    return true;
}

} // namespace
} // namespace px71

using namespace px71;

extern "C" int PX71API WriteLogFile(LPCWSTR Text) noexcept
{
    WCHAR path[MAX_PATH];
    if (!BuildLogPath(path)) return 0;
    UniqueFile file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    const HeaderSlotLock lock(file.get());
    if (!lock.may_write()) return 0;

    BYTE header[kSlotBytes];
    if (!ReadHeader(file.get(), header)) return 0;
    if (!HeaderValid(header)) {
        RenewHeader(header);
        if (!WriteSlot(file.get(), 0, header)) return 0;
    }
    if (!Text) return 1;

    BYTE record[kSlotBytes];
    if (!ConvertRecord(Text, record)) return 0;
    const DWORD slot = NextSlot(header);
    if (!WriteSlot(file.get(), slot, record)) return 0;
    SetNextSlot(header, slot + 1 == kSlots ? 1 : slot + 1);
    return WriteSlot(file.get(), 0, header) ? 1 : 0;
}
