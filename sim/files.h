// The machine's files: Windows paths ("C:\Program Files\PX71\PX71.LOG") mapped below
// one host folder per machine, the program whose path GetModuleFileNameW reports,
// folders a program may not write into, and what CreateFile, ReadFile, WriteFile,
// SetFilePointer and LockFileEx need to share between the handles of one file.
#pragma once

#include "sim/machine.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

struct OpenRequest;
class FileObject;

// What the open handles of one file share: who has it open how, and its byte-range locks.
struct FileState {
    struct Lock {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        bool exclusive = false;
        const FileObject* owner = nullptr;
    };
    std::vector<FileObject*> opens;
    std::vector<Lock> locks;
};

class Files {
public:
    Files() = default;
    ~Files();  // removes the temporary host folder it made, if any
    Files(const Files&) = delete;
    Files& operator=(const Files&) = delete;

    // The host folder that holds the machine's drives ("C:\" is <root>/C). Made on
    // first use, a fresh temporary folder unless SetRoot named one.
    const std::filesystem::path& root();
    // Maps the drives below a host folder the caller keeps (it is not removed).
    void SetRoot(std::filesystem::path host_folder);

    // The executable of the process that runs on this machine; its folder exists.
    const std::u16string& program_path() const { return program_path_; }
    void SetProgramPath(std::u16string windows_path);
    std::u16string ProgramFolder() const;  // with its closing backslash

    // The host path of a Windows path: letter case ignored against what exists,
    // "." and ".." resolved, never above the drive. Empty for a path that is not
    // "X:\..." or holds a character Windows does not allow in a name.
    std::filesystem::path HostPath(std::u16string_view windows_path);
    // The Windows path in a canonical form (drive letter upper case, backslashes,
    // no "." or ".."), for comparing folders. Empty when HostPath would be.
    static std::u16string Canonical(std::u16string_view windows_path);

    void MakeFolder(std::u16string_view windows_folder);
    // A folder whose files a program may read but not create, write or delete.
    void SetReadOnly(std::u16string_view windows_folder, bool read_only = true);
    bool IsReadOnlyFolder(std::u16string_view windows_folder) const;

    // For tests and tools: a file's content, or nullopt when it does not exist.
    std::optional<Bytes> Read(std::u16string_view windows_path);
    void Write(std::u16string_view windows_path, const Bytes& content);

    // What a machine snapshot keeps of the files: the settings, and every folder and
    // file below the host folder (by path relative to it; folders carry no bytes).
    struct Saved {
        std::filesystem::path root;
        bool own_root = false;
        std::u16string program_path;
        std::set<std::u16string> read_only;
        std::vector<std::pair<std::filesystem::path, std::optional<Bytes>>> entries;
        std::uint64_t id = 0;  // tells Restore whether the host folder still holds it
    };
    Saved Save() const;
    // Called with no file open: the host folder holds again exactly what was saved.
    void Restore(const Saved& saved);

    // ---- used by the Win32 implementation
    HANDLE Open(Machine& machine, std::u16string_view windows_path, const OpenRequest& request);
    BOOL Delete(std::u16string_view windows_path);
    std::shared_ptr<FileState> State(const std::string& host_path);

private:
    std::filesystem::path root_;
    bool own_root_ = false;
    std::u16string program_path_ = u"C:\\Program Files\\PX71\\PX71.exe";
    std::set<std::u16string> read_only_;  // canonical, lower case
    std::map<std::string, std::weak_ptr<FileState>> states_;
    // The saved state the host folder holds unchanged (0: none). Every way into the
    // folder passes root(), which clears it.
    mutable std::uint64_t holds_saved_ = 0;
};

// A handle to an ordinary file. Each handle has its own file pointer and its own
// host descriptor; the locks and the sharing live in the file's FileState.
class FileObject : public KernelObject {
public:
    FileObject(int fd, DWORD access, DWORD share, std::shared_ptr<FileState> state);
    ~FileObject() override;
    const char* kind() const override { return "file"; }

    BOOL Read(Machine& machine, std::unique_lock<std::recursive_mutex>& lock, void* buffer, DWORD size, DWORD* read,
              OVERLAPPED* ov) override;
    BOOL Write(Machine& machine, std::unique_lock<std::recursive_mutex>& lock, const void* buffer, DWORD size,
               DWORD* written, OVERLAPPED* ov) override;
    BOOL Flush(Machine& machine, std::unique_lock<std::recursive_mutex>& lock) override;
    DWORD SetPointer(LONG distance, LONG* distance_high, DWORD method) override;

    BOOL Lock(std::uint64_t offset, std::uint64_t length, bool exclusive, bool fail_immediately);
    BOOL Unlock(std::uint64_t offset, std::uint64_t length);
    std::uint64_t Size() const;

    DWORD access() const { return access_; }
    DWORD share() const { return share_; }

private:
    // Whether a read or write of [offset, offset + size) through this handle runs
    // into a lock: an exclusive lock of another handle, or, for a write, any shared lock.
    bool Blocked(std::uint64_t offset, std::uint64_t size, bool write) const;

    int fd_;
    DWORD access_;
    DWORD share_;
    std::uint64_t pointer_ = 0;
    std::shared_ptr<FileState> state_;
};

} // namespace sim
