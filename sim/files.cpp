#include "sim/files.h"

#include "sim/api.h"
#include "sim/devices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace sim {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Characters Windows refuses in a file or folder name.
bool ValidName(std::u16string_view name)
{
    for (char16_t c : name)
        if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*')
            return false;
    return true;
}

// "X:\a\b" -> {"X:", "a", "b"}; nullopt for anything else.
std::optional<std::vector<std::u16string>> Components(std::u16string_view path)
{
    if (path.size() < 3 || !IsSeparator(path[2]) || path[1] != u':') return std::nullopt;
    char16_t drive = path[0];
    if (drive >= u'a' && drive <= u'z') drive = static_cast<char16_t>(drive - 32);
    if (drive < u'A' || drive > u'Z') return std::nullopt;
    std::vector<std::u16string> parts{std::u16string{drive, u':'}};
    std::size_t start = 3;
    for (std::size_t i = 3; i <= path.size(); ++i) {
        if (i < path.size() && !IsSeparator(path[i])) continue;
        std::u16string_view part = path.substr(start, i - start);
        start = i + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            if (parts.size() > 1) parts.pop_back();  // never above the drive
            continue;
        }
        if (!ValidName(part)) return std::nullopt;
        parts.emplace_back(part);
    }
    return parts;
}

std::u16string Join(const std::vector<std::u16string>& parts, std::size_t count)
{
    std::u16string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += parts[i];
        if (i + 1 < count || count == 1) out += u'\\';
    }
    return out;
}

bool Conflicts(const FileObject& existing, DWORD access, DWORD share)
{
    const bool reads = access & (GENERIC_READ | GENERIC_ALL);
    const bool writes = access & (GENERIC_WRITE | GENERIC_ALL);
    const bool had_reads = existing.access() & (GENERIC_READ | GENERIC_ALL);
    const bool had_writes = existing.access() & (GENERIC_WRITE | GENERIC_ALL);
    if (reads && !(existing.share() & FILE_SHARE_READ)) return true;
    if (writes && !(existing.share() & FILE_SHARE_WRITE)) return true;
    if (had_reads && !(share & FILE_SHARE_READ)) return true;
    if (had_writes && !(share & FILE_SHARE_WRITE)) return true;
    return false;
}

bool Overlap(std::uint64_t a, std::uint64_t a_len, std::uint64_t b, std::uint64_t b_len)
{
    return a_len != 0 && b_len != 0 && a < b + b_len && b < a + a_len;
}

} // namespace

// ---------------------------------------------------------------- Files
Files::~Files()
{
    if (own_root_ && !root_.empty()) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
}

const fs::path& Files::root()
{
    holds_saved_ = 0;
    if (root_.empty()) {
        std::string pattern = (fs::temp_directory_path() / "px71sim-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::fprintf(stderr, "sim: cannot make a folder for the machine's files: %s\n", std::strerror(errno));
            std::abort();
        }
        root_ = pattern;
        own_root_ = true;
        MakeFolder(ProgramFolder());
    }
    return root_;
}

void Files::SetRoot(fs::path host_folder)
{
    if (own_root_ && !root_.empty()) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    root_ = std::move(host_folder);
    own_root_ = false;
    fs::create_directories(root_);
    MakeFolder(ProgramFolder());
}

Files::Saved Files::Save() const
{
    static std::atomic<std::uint64_t> next_id{1};
    Saved saved{root_, own_root_, program_path_, read_only_, {}, next_id++};
    holds_saved_ = saved.id;
    if (root_.empty()) return saved;
    // Parents come before what they hold, so Restore can make them in this order.
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
        fs::path relative = entry.path().lexically_relative(root_);
        if (entry.is_directory()) {
            saved.entries.emplace_back(std::move(relative), std::nullopt);
            continue;
        }
        Bytes content(static_cast<std::size_t>(entry.file_size()));
        std::FILE* f = std::fopen(entry.path().c_str(), "rb");
        if (!f || (!content.empty() && std::fread(content.data(), 1, content.size(), f) != content.size())) {
            std::fprintf(stderr, "sim: cannot keep %s\n", entry.path().c_str());
            std::abort();
        }
        std::fclose(f);
        saved.entries.emplace_back(std::move(relative), std::move(content));
    }
    return saved;
}

void Files::Restore(const Saved& saved)
{
    const bool unchanged = holds_saved_ == saved.id && root_ == saved.root;
    holds_saved_ = saved.id;
    std::error_code ignored;
    if (own_root_ && !root_.empty() && root_ != saved.root) fs::remove_all(root_, ignored);
    root_ = saved.root;
    own_root_ = saved.own_root;
    program_path_ = saved.program_path;
    read_only_ = saved.read_only;
    states_.clear();
    if (root_.empty() || unchanged) return;  // an empty root is made afresh on first use, as by a new machine
    fs::create_directories(root_);
    for (const auto& entry : fs::directory_iterator(root_)) fs::remove_all(entry.path(), ignored);
    for (const auto& [relative, content] : saved.entries) {
        const fs::path host = root_ / relative;
        if (!content) {
            fs::create_directory(host);
            continue;
        }
        std::FILE* f = std::fopen(host.c_str(), "wb");
        if (!f || (!content->empty() && std::fwrite(content->data(), 1, content->size(), f) != content->size())) {
            std::fprintf(stderr, "sim: cannot put back %s\n", host.c_str());
            std::abort();
        }
        std::fclose(f);
    }
}

void Files::SetProgramPath(std::u16string windows_path)
{
    program_path_ = std::move(windows_path);
    if (!root_.empty()) MakeFolder(ProgramFolder());
}

std::u16string Files::ProgramFolder() const
{
    auto slash = program_path_.find_last_of(u"\\/");
    return slash == std::u16string::npos ? std::u16string() : program_path_.substr(0, slash + 1);
}

std::u16string Files::Canonical(std::u16string_view windows_path)
{
    auto parts = Components(windows_path);
    if (!parts) return {};
    return Join(*parts, parts->size());
}

fs::path Files::HostPath(std::u16string_view windows_path)
{
    auto parts = Components(windows_path);
    if (!parts) return {};
    fs::path host = root() / Narrow((*parts)[0].substr(0, 1));
    for (std::size_t i = 1; i < parts->size(); ++i) {
        const std::u16string& part = (*parts)[i];
        fs::path next = host / Narrow(part);
        std::error_code ec;
        if (!fs::exists(next, ec) && fs::is_directory(host, ec)) {
            // Windows names ignore letter case: take the entry that is there.
            for (const auto& entry : fs::directory_iterator(host, ec)) {
                if (EqualNoCase(Widen(entry.path().filename().string()), part)) {
                    next = entry.path();
                    break;
                }
            }
        }
        host = next;
    }
    return host;
}

void Files::MakeFolder(std::u16string_view windows_folder)
{
    fs::path host = HostPath(windows_folder);
    if (host.empty()) {
        std::fprintf(stderr, "sim: not a folder path: %s\n", Narrow(windows_folder).c_str());
        std::abort();
    }
    fs::create_directories(host);
}

void Files::SetReadOnly(std::u16string_view windows_folder, bool read_only)
{
    std::u16string key = Lower(Canonical(windows_folder));
    if (read_only)
        read_only_.insert(key);
    else
        read_only_.erase(key);
}

bool Files::IsReadOnlyFolder(std::u16string_view windows_folder) const
{
    return read_only_.count(Lower(Canonical(windows_folder))) != 0;
}

std::optional<Bytes> Files::Read(std::u16string_view windows_path)
{
    fs::path host = HostPath(windows_path);
    std::error_code ec;
    if (host.empty() || !fs::is_regular_file(host, ec)) return std::nullopt;
    Bytes content(static_cast<std::size_t>(fs::file_size(host, ec)));
    std::FILE* f = std::fopen(host.c_str(), "rb");
    if (!f) return std::nullopt;
    std::size_t got = content.empty() ? 0 : std::fread(content.data(), 1, content.size(), f);
    std::fclose(f);
    content.resize(got);
    return content;
}

void Files::Write(std::u16string_view windows_path, const Bytes& content)
{
    fs::path host = HostPath(windows_path);
    std::FILE* f = host.empty() ? nullptr : std::fopen(host.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "sim: cannot write %s\n", Narrow(windows_path).c_str());
        std::abort();
    }
    if (!content.empty()) std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

std::shared_ptr<FileState> Files::State(const std::string& host_path)
{
    auto& slot = states_[host_path];
    auto state = slot.lock();
    if (!state) {
        state = std::make_shared<FileState>();
        slot = state;
    }
    return state;
}

namespace {
std::u16string ParentFolder(std::u16string_view canonical)
{
    auto slash = canonical.find_last_of(u'\\');
    return std::u16string(canonical.substr(0, slash + 1));
}
} // namespace

HANDLE Files::Open(Machine& machine, std::u16string_view windows_path, const OpenRequest& request)
{
    const std::u16string canonical = Canonical(windows_path);
    if (canonical.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if (request.disposition < CREATE_NEW || request.disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (IsSeparator(windows_path.back())) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    const fs::path host = HostPath(canonical);
    std::error_code ec;
    if (fs::is_directory(host, ec)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!fs::is_directory(host.parent_path(), ec)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool exists = fs::exists(host, ec);
    const DWORD d = request.disposition;
    if (!exists && (d == OPEN_EXISTING || d == TRUNCATE_EXISTING)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (exists && d == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    const bool writes = request.access & (GENERIC_WRITE | GENERIC_ALL);
    const bool truncates = exists && (d == CREATE_ALWAYS || d == TRUNCATE_EXISTING);
    if (d == TRUNCATE_EXISTING && !writes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (IsReadOnlyFolder(ParentFolder(canonical)) && (writes || !exists || truncates)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    auto state = State(host.string());
    for (const FileObject* open : state->opens) {
        if (Conflicts(*open, request.access, request.share)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    }
    int flags = O_RDWR | O_CLOEXEC | (exists ? 0 : O_CREAT) | (truncates ? O_TRUNC : 0);
    int fd = ::open(host.c_str(), flags, 0644);
    if (fd < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = machine.AddHandle(std::make_shared<FileObject>(fd, request.access, request.share, state));
    // OPEN_ALWAYS and CREATE_ALWAYS tell whether the file was there already.
    SetLastError(exists && (d == OPEN_ALWAYS || d == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL Files::Delete(std::u16string_view windows_path)
{
    const std::u16string canonical = Canonical(windows_path);
    if (canonical.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    const fs::path host = HostPath(canonical);
    std::error_code ec;
    if (!fs::is_directory(host.parent_path(), ec)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (!fs::exists(host, ec)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (fs::is_directory(host, ec) || IsReadOnlyFolder(ParentFolder(canonical))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto it = states_.find(host.string());
    if (it != states_.end()) {
        if (auto state = it->second.lock()) {
            for (const FileObject* open : state->opens) {
                if (!(open->share() & FILE_SHARE_DELETE)) {
                    SetLastError(ERROR_SHARING_VIOLATION);
                    return FALSE;
                }
            }
        }
    }
    fs::remove(host, ec);
    return TRUE;
}

// ---------------------------------------------------------------- FileObject
FileObject::FileObject(int fd, DWORD access, DWORD share, std::shared_ptr<FileState> state)
    : fd_(fd), access_(access), share_(share), state_(std::move(state))
{
    state_->opens.push_back(this);
}

FileObject::~FileObject()
{
    // Closing the handle gives up its locks.
    auto& locks = state_->locks;
    std::erase_if(locks, [this](const FileState::Lock& lock) { return lock.owner == this; });
    std::erase(state_->opens, this);
    ::close(fd_);
}

bool FileObject::Blocked(std::uint64_t offset, std::uint64_t size, bool write) const
{
    for (const auto& lock : state_->locks) {
        if (!Overlap(offset, size, lock.offset, lock.length)) continue;
        if (lock.exclusive && lock.owner != this) return true;
        if (!lock.exclusive && write) return true;
    }
    return false;
}

BOOL FileObject::Read(Machine&, std::unique_lock<std::recursive_mutex>&, void* buffer, DWORD size, DWORD* read, OVERLAPPED* ov)
{
    if (!(access_ & (GENERIC_READ | GENERIC_ALL))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::uint64_t offset = ov ? (std::uint64_t{ov->OffsetHigh} << 32 | ov->Offset) : pointer_;
    if (Blocked(offset, size, false)) {
        SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
    }
    if (size && !buffer) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    ssize_t got = size ? ::pread(fd_, buffer, size, static_cast<off_t>(offset)) : 0;
    if (got < 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    pointer_ = offset + static_cast<std::uint64_t>(got);
    *read = static_cast<DWORD>(got);
    return TRUE;  // at the end of the file a synchronous read succeeds with 0 bytes
}

BOOL FileObject::Write(Machine&, std::unique_lock<std::recursive_mutex>&, const void* buffer, DWORD size, DWORD* written, OVERLAPPED* ov)
{
    if (!(access_ & (GENERIC_WRITE | GENERIC_ALL))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::uint64_t offset = ov ? (std::uint64_t{ov->OffsetHigh} << 32 | ov->Offset) : pointer_;
    if (Blocked(offset, size, true)) {
        SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
    }
    if (size && !buffer) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    ssize_t put = size ? ::pwrite(fd_, buffer, size, static_cast<off_t>(offset)) : 0;
    if (put < 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    pointer_ = offset + static_cast<std::uint64_t>(put);
    *written = static_cast<DWORD>(put);
    return TRUE;
}

BOOL FileObject::Flush(Machine&, std::unique_lock<std::recursive_mutex>&)
{
    if (!(access_ & (GENERIC_WRITE | GENERIC_ALL))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

DWORD FileObject::SetPointer(LONG distance, LONG* distance_high, DWORD method)
{
    std::int64_t move = distance_high ? static_cast<std::int64_t>(static_cast<std::uint64_t>(
                                            static_cast<DWORD>(*distance_high)) << 32 | static_cast<DWORD>(distance))
                                      : distance;
    std::int64_t base = 0;
    switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = static_cast<std::int64_t>(pointer_); break;
    case FILE_END: base = static_cast<std::int64_t>(Size()); break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
    }
    std::int64_t target = base + move;
    if (target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    pointer_ = static_cast<std::uint64_t>(target);
    if (distance_high) *distance_high = static_cast<LONG>(pointer_ >> 32);
    DWORD low = static_cast<DWORD>(pointer_);
    // A position whose low part reads like the failure value is told apart by the last error.
    if (low == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
    return low;
}

BOOL FileObject::Lock(std::uint64_t offset, std::uint64_t length, bool exclusive, bool)
{
    for (const auto& lock : state_->locks) {
        if (!Overlap(offset, length, lock.offset, lock.length)) continue;
        // Shared locks go together; anything with an exclusive lock does not, even
        // through the same handle.
        if (exclusive || lock.exclusive) {
            SetLastError(ERROR_LOCK_VIOLATION);
            return FALSE;
        }
    }
    state_->locks.push_back({offset, length, exclusive, this});
    return TRUE;
}

BOOL FileObject::Unlock(std::uint64_t offset, std::uint64_t length)
{
    auto& locks = state_->locks;
    for (auto it = locks.begin(); it != locks.end(); ++it) {
        if (it->owner == this && it->offset == offset && it->length == length) {
            locks.erase(it);
            return TRUE;
        }
    }
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
}

std::uint64_t FileObject::Size() const
{
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

} // namespace sim
