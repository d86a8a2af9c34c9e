// Files as the log uses them: the program's own path, CreateFileW with OPEN_ALWAYS
// and the sharing modes, SetFilePointer, ReadFile, WriteFile, byte-range locks, and
// the ANSI conversion of its texts.
#include "platform/win32.h"
#include "tests/conformance/check.h"

#include <cstring>
#include <string>

namespace {

// A file beside the program, removed before and after each case.
struct TestFile {
    WCHAR path[MAX_PATH] = {};
    TestFile()
    {
        DWORD n = GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH);
        CHECK(n > 0 && n < MAX_PATH);
        DWORD folder = 0;
        for (DWORD i = 0; i < n; ++i)
            if (path[i] == '\\') folder = i + 1;
        const WCHAR name[] = W16("PX71CONF.TMP");
        for (DWORD i = 0; i < sizeof name / sizeof name[0]; ++i) path[folder + i] = name[i];
        DeleteFileW(path);
    }
    ~TestFile() { DeleteFileW(path); }
    HANDLE Open(DWORD access, DWORD share, DWORD disposition)
    {
        return CreateFileW(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;

} // namespace

CONFORMANCE_CASE(FilesTheProgramsPathAndACutOne)
{
    WCHAR path[MAX_PATH];
    SetLastError(12345);
    const DWORD n = GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH);
    CHECK(n > 3 && n < MAX_PATH);
    CHECK_EQ(path[n], 0);
    CHECK(path[1] == ':' && path[2] == '\\');
    WCHAR same[MAX_PATH];
    CHECK_EQ(GetModuleFileNameW(nullptr, same, MAX_PATH), n);
    CHECK(std::memcmp(path, same, n * sizeof(WCHAR)) == 0);
    // Too small a buffer: cut, the size returned and the shortage told. (Whether the
    // last unit is the terminator differs between Windows versions; callers must not
    // rely on the cut path.)
    WCHAR small[5];
    CHECK_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    CHECK(std::memcmp(small, path, 4 * sizeof(WCHAR)) == 0);
}

CONFORMANCE_CASE(FilesOpenAlwaysCreatesOnceAndSaysSo)
{
    TestFile test;
    HANDLE first = test.Open(kReadWrite, kShareBoth, OPEN_ALWAYS);
    CHECK(first != INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CHECK_EQ(GetFileSize(first, nullptr), 0u);
    CloseHandle(first);
    HANDLE again = test.Open(kReadWrite, kShareBoth, OPEN_ALWAYS);
    CHECK(again != INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(again);
    CHECK(test.Open(kReadWrite, kShareBoth, CREATE_NEW) == INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    CHECK(DeleteFileW(test.path));
    CHECK(test.Open(GENERIC_READ, kShareBoth, OPEN_EXISTING) == INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CHECK(!DeleteFileW(test.path));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A folder that does not exist.
    WCHAR missing[MAX_PATH + 16];
    std::memcpy(missing, test.path, sizeof test.path);
    DWORD end = 0;
    while (missing[end]) ++end;
    const WCHAR tail[] = W16("\\NoSuchFolder\\x.log");
    for (DWORD i = 0; i < sizeof tail / sizeof tail[0]; ++i) missing[end + i] = tail[i];
    CHECK(CreateFileW(missing, kReadWrite, kShareBoth, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr) ==
          INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

CONFORMANCE_CASE(FilesSharingModes)
{
    TestFile test;
    HANDLE shared = test.Open(kReadWrite, kShareBoth, OPEN_ALWAYS);
    CHECK(shared != INVALID_HANDLE_VALUE);
    HANDLE second = test.Open(kReadWrite, kShareBoth, OPEN_ALWAYS);
    CHECK(second != INVALID_HANDLE_VALUE);
    CloseHandle(second);
    // A writer that does not share writing, against one that writes.
    CHECK(test.Open(kReadWrite, FILE_SHARE_READ, OPEN_ALWAYS) == INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(shared);
    HANDLE exclusive = test.Open(kReadWrite, 0, OPEN_ALWAYS);
    CHECK(exclusive != INVALID_HANDLE_VALUE);
    CHECK(test.Open(GENERIC_READ, kShareBoth, OPEN_EXISTING) == INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CHECK(!DeleteFileW(test.path));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(exclusive);
}

CONFORMANCE_CASE(FilesSlotsReadAndWrittenByPosition)
{
    TestFile test;
    HANDLE file = test.Open(kReadWrite, kShareBoth, OPEN_ALWAYS);
    CHECK(file != INVALID_HANDLE_VALUE);
    BYTE slot[200];
    std::memset(slot, 'r', sizeof slot);
    DWORD count = 12345;
    // A new file reads nothing, and says it succeeded.
    CHECK(ReadFile(file, slot, 200, &count, nullptr));
    CHECK_EQ(count, 0u);
    // A write past the end fills the gap with zeros.
    CHECK_EQ(SetFilePointer(file, 600, nullptr, FILE_BEGIN), 600u);
    CHECK(WriteFile(file, slot, 200, &count, nullptr));
    CHECK_EQ(count, 200u);
    CHECK_EQ(GetFileSize(file, nullptr), 800u);
    CHECK_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 800u);
    CHECK_EQ(SetFilePointer(file, 200, nullptr, FILE_BEGIN), 200u);
    BYTE back[200];
    CHECK(ReadFile(file, back, 200, &count, nullptr));
    CHECK_EQ(count, 200u);
    bool zeros = true;
    for (BYTE b : back) zeros = zeros && b == 0;
    CHECK(zeros);
    // A read across the end returns what is there.
    CHECK_EQ(SetFilePointer(file, -100, nullptr, FILE_END), 700u);
    CHECK(ReadFile(file, back, 200, &count, nullptr));
    CHECK_EQ(count, 100u);
    CHECK_EQ(back[99], 'r');
    // Before the start is refused, and the position stays.
    CHECK_EQ(SetFilePointer(file, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    CHECK_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 800u);
    // Each handle has its own position; both see the same bytes.
    HANDLE other = test.Open(GENERIC_READ, kShareBoth, OPEN_EXISTING);
    CHECK(other != INVALID_HANDLE_VALUE);
    CHECK_EQ(SetFilePointer(other, 0, nullptr, FILE_CURRENT), 0u);
    CHECK_EQ(SetFilePointer(other, 600, nullptr, FILE_BEGIN), 600u);
    CHECK(ReadFile(other, back, 200, &count, nullptr));
    CHECK(count == 200 && back[0] == 'r');
    // No writing through a handle opened for reading.
    CHECK(!WriteFile(other, slot, 200, &count, nullptr));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(other);
    CloseHandle(file);
}

CONFORMANCE_CASE(FilesByteRangeLocks)
{
    TestFile test;
    HANDLE a = test.Open(kReadWrite, kShareBoth, OPEN_ALWAYS);
    HANDLE b = test.Open(kReadWrite, kShareBoth, OPEN_ALWAYS);
    CHECK(a != INVALID_HANDLE_VALUE && b != INVALID_HANDLE_VALUE);
    const DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    OVERLAPPED header{};
    OVERLAPPED slot1{};
    slot1.Offset = 200;
    CHECK(LockFileEx(a, now, 0, 200, 0, &header));
    // Another handle of the same file cannot have the header's slot, but another slot.
    CHECK(!LockFileEx(b, now, 0, 200, 0, &header));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    CHECK(LockFileEx(b, now, 0, 200, 0, &slot1));
    CHECK(UnlockFileEx(b, 0, 200, 0, &slot1));
    // Not even the same handle twice.
    CHECK(!LockFileEx(a, now, 0, 200, 0, &header));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    CHECK(UnlockFileEx(a, 0, 200, 0, &header));
    CHECK(!UnlockFileEx(a, 0, 200, 0, &header));  // nothing left to unlock
    CHECK(LockFileEx(b, now, 0, 200, 0, &header));
    // Closing a handle gives its locks up.
    CloseHandle(b);
    CHECK(LockFileEx(a, now, 0, 200, 0, &header));
    CHECK(UnlockFileEx(a, 0, 200, 0, &header));
    // Shared locks go together, but not with an exclusive one.
    CHECK(LockFileEx(a, LOCKFILE_FAIL_IMMEDIATELY, 0, 200, 0, &header));
    HANDLE c = test.Open(kReadWrite, kShareBoth, OPEN_EXISTING);
    CHECK(LockFileEx(c, LOCKFILE_FAIL_IMMEDIATELY, 0, 200, 0, &header));
    CHECK(!LockFileEx(c, now, 0, 100, 0, &header));
    CloseHandle(c);
    CloseHandle(a);
}

CONFORMANCE_CASE(FilesTextInTheAnsiCodePage)
{
    CHECK_EQ(GetACP(), 1252u);
    const WCHAR text[] = {'C', 'a', 'f', 0xE9, ' ', 0x20AC, ' ', 0x6F22, 0};
    char out[16] = {};
    CHECK_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr), 9);
    CHECK_EQ(std::string(out), std::string("Caf\xE9 \x80 ?"));
    // Too small a buffer fails and says so.
    char small[3];
    CHECK_EQ(WideCharToMultiByte(CP_ACP, 0, text, 8, small, sizeof small, nullptr, nullptr), 0);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    WCHAR wide[16] = {};
    CHECK_EQ(MultiByteToWideChar(CP_ACP, 0, "Caf\xE9 \x80", -1, wide, 16), 7);
    CHECK(std::memcmp(wide, text, 6 * sizeof(WCHAR)) == 0);
}

CONFORMANCE_CASE(FilesLocalTimeIsADate)
{
    SYSTEMTIME t{};
    GetLocalTime(&t);
    CHECK(t.wYear >= 2020 && t.wYear < 10000);
    CHECK(t.wMonth >= 1 && t.wMonth <= 12);
    CHECK(t.wDay >= 1 && t.wDay <= 31);
    CHECK(t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60);
}

// kernel32 gives SetDefaultDllDirectories by name; it takes the loader's documented flags
// and refuses none, or one it does not know.
CONFORMANCE_CASE(FilesDllDirectoriesAreSetThroughKernel32ByName)
{
    constexpr DWORD kDefaultDirs = 0x00001000;  // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS: the rest of the run is unchanged
    const HMODULE kernel32 = GetModuleHandleW(W16("kernel32.dll"));
    CHECK(kernel32 != nullptr);
    using Set = BOOL(WINAPI*)(DWORD);
    const auto set =
        reinterpret_cast<Set>(reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    CHECK(set != nullptr);
    CHECK(!set(0));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CHECK(!set(0x1));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CHECK(set(kDefaultDirs));
    CHECK(GetProcAddress(kernel32, "NoSuchExportAnywhere") == nullptr);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
}
