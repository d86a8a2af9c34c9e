// The service's command table with arbitrary requests of 0 to 1000 bytes (a record
// zero-filled past the bytes given, the rest ignored) on the default machine as built:
// nothing crashes, nothing is left open, and only Result and CardName change. The
// machine is built once and restored from its snapshot before each input, which costs
// a fraction of building it and leaves nothing of one input to the next.
#include "service/command_dispatch.h"
#include "sim/default_machine.h"
#include "sim/files.h"
#include "sim/machine.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

// The machine's files, in memory where the host offers it (/dev/shm): the log file that
// many requests write is deleted again by every restore, and on a disk mounted with
// discard that deletion alone takes longer than the rest of the input. A run that
// libFuzzer interrupts ends without destructors; the next run clears the folders of
// processes that are gone.
class FilesFolder {
public:
    FilesFolder()
    {
        std::error_code ec;
        const std::filesystem::path parent =
            std::filesystem::is_directory("/dev/shm", ec) ? std::filesystem::path("/dev/shm")
                                                          : std::filesystem::temp_directory_path();
        const std::string prefix = "px71fuzz-";
        for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) != 0) continue;
            const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
            if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                std::filesystem::remove_all(entry.path(), ec);
        }
        path_ = parent / (prefix + std::to_string(getpid()));
        std::filesystem::remove_all(path_, ec);
        if (!std::filesystem::create_directory(path_, ec)) {
            std::fprintf(stderr, "cannot make %s\n", path_.c_str());
            std::abort();
        }
    }
    ~FilesFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    FilesFolder(const FilesFolder&) = delete;
    FilesFolder& operator=(const FilesFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

bool SameBytes(const PipeRequest& a, const PipeRequest& b, std::size_t from, std::size_t to)
{
    return std::memcmp(reinterpret_cast<const char*>(&a) + from, reinterpret_cast<const char*>(&b) + from,
                       to - from) == 0;
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 1000) return -1;  // outside the request sizes this target explores
    PipeRequest request;
    std::memset(&request, 0, sizeof request);
    std::memcpy(&request, data, size < sizeof request ? size : sizeof request);
    const PipeRequest sent = request;

    static const FilesFolder folder;
    static sim::Machine machine;
    static const auto built = [] {
        machine.files().SetRoot(folder.path());
        machine.set_logging(false);
        machine.SetVirtualTime(true);  // the commands run on this one thread
        sim::BuildDefaultMachine(machine);
        return machine.Snapshot();
    }();
    machine.Restore(*built);
    {
        sim::ActiveMachine active(machine);
        // Both callers: the Reserved bytes, which the service never reads, choose.
        bool administrator = (request.Reserved[0] & 1) != 0;
        px71service::Caller caller([](void* context, bool& yes) noexcept -> DWORD {
            yes = *static_cast<const bool*>(context);
            return NO_ERROR;
        }, &administrator);
        px71service::RunCommand(request, caller);
    }
    if (!(machine.Outstanding() == sim::Accounting{})) {
        std::fprintf(stderr, "left behind: %s\n", sim::Describe(machine.Outstanding()).c_str());
        std::abort();
    }
    // Command, LastError and every input field come back as sent; only Result (at 4)
    // and CardName (256 to 384) are the service's to write, and for the slot command the
    // fields its reply lists, its description terminated within the field.
    PipeRequest owned = sent;
    if (request.Command == PX71_CMD_GET_SLOT) {
        std::memcpy(owned.SetStatusArgs, request.SetStatusArgs, sizeof owned.SetStatusArgs);
        owned.StartAdrs = request.StartAdrs;
        owned.EndAdrs = request.EndAdrs;
        owned.CardIndex = request.CardIndex;
        owned.CardNameSize = request.CardNameSize;
        if (request.CardName[PX71_CARD_NAME_UNITS - 1] != 0) Fail("the slot's description is not terminated");
    }
    if (!SameBytes(request, owned, 0, offsetof(PipeRequest, Result)) ||
        !SameBytes(request, owned, offsetof(PipeRequest, LastError), offsetof(PipeRequest, CardName)) ||
        !SameBytes(request, owned, offsetof(PipeRequest, CardNameSize), sizeof request))
        Fail("a field the command does not own changed");
    // The name commands write no further into CardName than the size they are given
    // (characters, capped at the field's 64) and always zero its first character.
    const bool names = request.Command >= 10 && request.Command <= 13;
    if (request.Command == PX71_CMD_GET_SLOT) return 0;
    const std::size_t given = 2 * static_cast<std::size_t>(sent.CardNameSize < 64 ? sent.CardNameSize : 64);
    const std::size_t allowed = names ? (given > 2 ? given : 2) : 0;
    if (!SameBytes(request, sent, offsetof(PipeRequest, CardName) + allowed, offsetof(PipeRequest, CardNameSize)))
        Fail("CardName written past the size given");
    return 0;
}
