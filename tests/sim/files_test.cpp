// The machine's files where the conformance suite cannot reach them under Wine: the
// mapping below the host folder, read-only folders, locks that block reads and
// writes, a clock the test sets.
#include "sim/files.h"
#include "support/machine_test.h"

#include <chrono>
#include <thread>

using px71test::MachineTest;

namespace {

HANDLE Open(const char16_t* path, DWORD access, DWORD disposition, DWORD share = 3)
{
    return CreateFileW(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST_F(MachineTest, WindowsPathsLieBelowTheMachinesFolder)
{
    sim::Files& files = machine.files();
    EXPECT_TRUE(std::filesystem::is_directory(files.root() / "C" / "Program Files" / "PX71"))
        << "the program's folder exists";
    HANDLE file = Open(u"C:\\Program Files\\PX71\\Notes.txt", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "abc", 3, &written, nullptr));
    CloseHandle(file);
    EXPECT_EQ(files.Read(u"C:\\Program Files\\PX71\\Notes.txt"), (sim::Bytes{'a', 'b', 'c'}));

    struct Case {
        const char16_t* path;
        DWORD error;  // 0: opens the same file
    } cases[] = {
        {u"c:\\PROGRAM FILES\\px71\\notes.TXT", 0},
        {u"C:/Program Files/PX71/Notes.txt", 0},
        {u"C:\\Program Files\\.\\Other\\..\\PX71\\Notes.txt", 0},
        {u"C:\\..\\..\\Program Files\\PX71\\Notes.txt", 0},  // never above the drive
        {u"C:\\Program Files\\PX71\\No?tes.txt", ERROR_INVALID_NAME},
        {u"C:\\Program Files\\PX71", ERROR_ACCESS_DENIED},  // a folder
        {u"E:\\Notes.txt", ERROR_PATH_NOT_FOUND},
        {u"Notes.txt", ERROR_FILE_NOT_FOUND},  // no drive: not a path of this machine
    };
    for (const auto& c : cases) {
        HANDLE h = Open(c.path, GENERIC_READ, OPEN_EXISTING);
        if (c.error == 0) {
            EXPECT_NE(h, INVALID_HANDLE_VALUE) << sim::Narrow(c.path);
            char text[4] = {};
            DWORD read = 0;
            EXPECT_TRUE(ReadFile(h, text, 3, &read, nullptr));
            EXPECT_STREQ(text, "abc") << sim::Narrow(c.path);
            CloseHandle(h);
        } else {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE) << sim::Narrow(c.path);
            EXPECT_EQ(GetLastError(), c.error) << sim::Narrow(c.path);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(files.root().parent_path() / "Program Files"));
}

TEST_F(MachineTest, AReadOnlyFolderIsReadButNotWritten)
{
    const char16_t* path = u"C:\\Program Files\\PX71\\PX71.LOG";
    machine.files().Write(path, sim::Bytes(10, 'x'));
    machine.files().SetReadOnly(u"c:\\program files\\px71\\");
    struct Case {
        DWORD access;
        DWORD disposition;
        bool opens;
    } cases[] = {
        {GENERIC_READ, OPEN_EXISTING, true},
        {GENERIC_READ, OPEN_ALWAYS, true},
        {GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, false},
        {GENERIC_WRITE, OPEN_EXISTING, false},
        {GENERIC_READ, CREATE_ALWAYS, false},
    };
    for (const auto& c : cases) {
        HANDLE h = Open(path, c.access, c.disposition);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << c.access << " " << c.disposition;
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
    }
    EXPECT_EQ(Open(u"C:\\Program Files\\PX71\\New.log", GENERIC_READ, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileW(path));
    EXPECT_EQ(machine.files().Read(path), sim::Bytes(10, 'x'));
    machine.files().SetReadOnly(u"C:\\Program Files\\PX71", false);
    EXPECT_TRUE(DeleteFileW(path));
}

TEST_F(MachineTest, LockedRangesBlockReadsAndWritesOfOtherHandles)
{
    const char16_t* path = u"C:\\Program Files\\PX71\\PX71.LOG";
    machine.files().Write(path, sim::Bytes(600, 'x'));
    HANDLE owner = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    HANDLE other = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    OVERLAPPED header{};
    ASSERT_TRUE(LockFileEx(owner, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 200, 0, &header));
    char buffer[200];
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(owner, buffer, 200, &count, nullptr)) << "the owner reads";
    EXPECT_FALSE(ReadFile(other, buffer, 10, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    SetFilePointer(other, 200, nullptr, FILE_BEGIN);
    EXPECT_TRUE(WriteFile(other, buffer, 200, &count, nullptr)) << "outside the range";
    EXPECT_TRUE(UnlockFileEx(owner, 0, 200, 0, &header));

    // A shared lock stops every writer, the owner too.
    ASSERT_TRUE(LockFileEx(other, LOCKFILE_FAIL_IMMEDIATELY, 0, 200, 0, &header));
    SetFilePointer(owner, 0, nullptr, FILE_BEGIN);
    EXPECT_FALSE(WriteFile(owner, buffer, 1, &count, nullptr));
    SetFilePointer(other, 0, nullptr, FILE_BEGIN);
    EXPECT_FALSE(WriteFile(other, buffer, 1, &count, nullptr));
    EXPECT_TRUE(ReadFile(owner, buffer, 200, &count, nullptr));

    // Without LOCKFILE_FAIL_IMMEDIATELY the call waits for the range to be free.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        UnlockFileEx(other, 0, 200, 0, &header);
    });
    EXPECT_TRUE(LockFileEx(owner, LOCKFILE_EXCLUSIVE_LOCK, 0, 200, 0, &header));
    release.join();
    CloseHandle(owner);
    CloseHandle(other);
}

TEST_F(MachineTest, TheProgramAndTheClockAreTheMachines)
{
    machine.files().SetProgramPath(u"D:\\Service\\PX71Service.exe");
    EXPECT_TRUE(std::filesystem::is_directory(machine.files().root() / "D" / "Service"));
    WCHAR path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH), 26u);
    EXPECT_EQ(std::u16string(path), u"D:\\Service\\PX71Service.exe");
    EXPECT_EQ(GetModuleHandleW(u"px71service"), GetModuleHandleW(nullptr));
    EXPECT_EQ(GetModuleHandleW(u"other.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    machine.local_time = SYSTEMTIME{2030, 2, 4, 28, 23, 59, 58, 999};
    SYSTEMTIME now{};
    GetLocalTime(&now);
    EXPECT_EQ(now.wYear, 2030);
    EXPECT_EQ(now.wDay, 28);
    EXPECT_EQ(now.wSecond, 58);
}

TEST(Files, TheMachinesFolderGoesWithTheMachine)
{
    std::filesystem::path root;
    {
        sim::Machine machine;
        root = machine.files().root();
        machine.files().Write(u"C:\\Program Files\\PX71\\a.txt", sim::Bytes{1});
        EXPECT_TRUE(std::filesystem::exists(root));
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

} // namespace
