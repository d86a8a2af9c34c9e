#include "sim/devices.h"

#include "sim/api.h"
#include "sim/storage.h"
#include "sim/named_pipe.h"
#include "sim/files.h"

#include <cstring>

namespace sim {
namespace {

// "\\.\XUDUMP": reads and writes one configuration register per request. The
// driver is exclusive: a second open while one handle is held fails, which is how
// the real control device behaves when it is opened with share mode 0.
class DumpDevice : public KernelObject {
public:
    explicit DumpDevice(Machine& machine) : machine_(machine) { ++machine_.dump.open_handles; }
    ~DumpDevice() override { --machine_.dump.open_handles; }
    const char* kind() const override { return "dump device"; }

    BOOL Ioctl(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) override
    {
        if (code != kIoctlReadConfig && code != kIoctlWriteConfig) {
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
        }
        DWORD need_out = code == kIoctlReadConfig ? 4 : 1;
        if (!in || in_size < 8 || !out || out_size < need_out) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (machine_.dump.fail_requests) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        auto* request = static_cast<const std::uint8_t*>(in);
        std::uint8_t bus = request[0];
        // A driver fails a bus it does not know as a bad parameter (STATUS_INVALID_PARAMETER).
        if (machine_.dump.refused_buses.count(bus)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::uint8_t reg = request[1];
        if (code == kIoctlReadConfig) {
            std::uint32_t value = machine_.dump.Read(bus, reg);
            std::memcpy(out, &value, 4);
            *returned = 4;
        } else {
            std::uint32_t value;
            std::memcpy(&value, request + 4, 4);
            machine_.dump.Write(bus, reg, value);
            *static_cast<std::uint8_t*>(out) = 1;
            *returned = 1;
        }
        return TRUE;
    }

private:
    Machine& machine_;
};

} // namespace

HANDLE OpenPath(Machine& machine, std::u16string_view path, const OpenRequest& request)
{
    if (api::PathEquals(path, u"\\\\.\\XUDUMP")) {
        if (!machine.dump.installed) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (machine.dump.open_handles > 0) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        (void)request;
        return machine.AddHandle(std::make_shared<DumpDevice>(machine));
    }
    HANDLE storage = INVALID_HANDLE_VALUE;
    if (OpenStoragePath(machine, path, request.access, &storage)) return storage;
    constexpr std::u16string_view kPipePrefix = u"\\\\.\\pipe\\";
    if (path.size() > kPipePrefix.size() && api::PathEquals(path.substr(0, kPipePrefix.size()), kPipePrefix))
        return OpenPipeClient(machine, path, request.flags);
    // Ordinary files: "X:\folder\name".
    if (path.size() >= 3 && path[1] == u':') return machine.files().Open(machine, path, request);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

} // namespace sim
