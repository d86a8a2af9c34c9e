// The storage floor: disks, volumes and drive letters, and the calls that reach them.
#include "sim/storage.h"

#include "sim/api.h"
#include "sim/slot.h"

#include <cstring>

namespace sim {

PhysicalDisk* Storage::disk(DWORD number)
{
    auto it = disks.find(number);
    return it == disks.end() ? nullptr : &it->second;
}

std::u16string Volume::Name() const
{
    if (letter == 0) return mount;
    return std::u16string(1, static_cast<char16_t>(letter)) + u":";
}

bool Storage::DiskPresent(const Machine& machine, const PhysicalDisk& d) const
{
    if (d.node == 0) return true;
    const DevNode* n = machine.tree.find(d.node);
    return n && n->present;
}

bool Storage::DiskAnswers(const Machine& machine, const PhysicalDisk& d) const
{
    return DiskPresent(machine, d) && (d.node == 0 || !OnSilentCard(machine, d.node));
}

Volume* Storage::LiveVolume(const Machine& machine, char letter)
{
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
    auto it = volumes.find(letter);
    if (it == volumes.end()) return nullptr;
    PhysicalDisk* d = disk(it->second.disk);
    if (d && !DiskPresent(machine, *d)) return nullptr;
    return &it->second;
}

DWORD Storage::LogicalDrives(const Machine& machine)
{
    DWORD mask = 0;
    for (auto& [letter, volume] : volumes)
        if (letter >= 'A' && letter <= 'Z' && LiveVolume(machine, letter)) mask |= 1u << (letter - 'A');
    return mask;
}

PhysicalDisk& AddDisk(Machine& machine, DEVINST node, DWORD number, std::u16string interface_path)
{
    PhysicalDisk& d = machine.storage.disks[number];
    d.number = number;
    d.node = node;
    d.interface_path = interface_path;
    if (node != 0) machine.tree.node(node).interfaces.push_back({kInterfaceDisk, std::move(interface_path)});
    return d;
}

Volume& AddMountedVolume(Machine& machine, std::u16string mount, DWORD disk, ULONGLONG total_bytes)
{
    Volume& v = machine.storage.unlettered.emplace_back();
    v.letter = 0;
    v.mount = std::move(mount);
    v.disk = disk;
    v.total_bytes = total_bytes;
    v.free_bytes = total_bytes / 2;
    return v;
}

Volume& AddVolume(Machine& machine, char letter, DWORD disk, ULONGLONG total_bytes, UINT drive_type)
{
    Volume& v = machine.storage.volumes[letter];
    v.letter = letter;
    v.disk = disk;
    v.drive_type = drive_type;
    v.total_bytes = total_bytes;
    v.free_bytes = total_bytes / 2;
    return v;
}

namespace {

using api::Fail;

BOOL ReplyDeviceNumber(DWORD number, DWORD partition, void* out, DWORD out_size, DWORD* returned,
                       DWORD type = FILE_DEVICE_DISK)
{
    if (!out || out_size < sizeof(STORAGE_DEVICE_NUMBER)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    STORAGE_DEVICE_NUMBER reply{type, number, partition};
    std::memcpy(out, &reply, sizeof reply);
    *returned = sizeof reply;
    return TRUE;
}

// A handle on a disk or a volume is bound to the disk it was opened on: once the disk
// has left (a surprise removal), it fails, even when the disk is back; and a disk whose
// hardware no longer answers fails every request.
bool DiskGoneUnder(Machine& machine, DWORD number, std::uint32_t generation)
{
    const PhysicalDisk* d = machine.storage.disk(number);
    return d && (d->generation != generation || !machine.storage.DiskAnswers(machine, *d));
}

std::uint32_t GenerationOf(Machine& machine, DWORD number)
{
    const PhysicalDisk* d = machine.storage.disk(number);
    return d ? d->generation : 0;
}

// "\\.\X:": the volume behind a drive letter.
class VolumeHandle : public KernelObject {
public:
    VolumeHandle(Machine& machine, char letter, DWORD access, DWORD disk)
        : machine_(machine), letter_(letter), access_(access), disk_(disk), generation_(GenerationOf(machine, disk))
    {
    }
    ~VolumeHandle() override
    {
        // Closing the handle that holds the lock lets the volume go.
        auto it = machine_.storage.volumes.find(letter_);
        if (it != machine_.storage.volumes.end() && it->second.locked_by == this) it->second.locked_by = nullptr;
    }
    const char* kind() const override { return "volume"; }
    std::optional<DWORD> Disk() const override { return disk_; }

    BOOL Ioctl(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) override
    {
        if (DiskGoneUnder(machine_, disk_, generation_)) return Fail(ERROR_DEV_NOT_EXIST);
        Volume* v = machine_.storage.LiveVolume(machine_, letter_);
        if (!v) return Fail(ERROR_NOT_READY);
        PhysicalDisk* d = machine_.storage.disk(v->disk);
        switch (code) {
        case IOCTL_STORAGE_GET_DEVICE_NUMBER:
            // Device numbers count per type: a CD-ROM drive's 1 is no disk's 1. A network
            // drive's redirector knows no storage requests at all.
            if (v->drive_type == DRIVE_REMOTE) return Fail(ERROR_INVALID_FUNCTION);
            if (v->drive_type == DRIVE_CDROM)
                return ReplyDeviceNumber(v->disk, static_cast<DWORD>(-1), out, out_size, returned, FILE_DEVICE_CD_ROM);
            return ReplyDeviceNumber(v->disk, v->partition, out, out_size, returned);
        case FSCTL_LOCK_VOLUME:
            if ((access_ & (GENERIC_READ | GENERIC_WRITE)) == 0) return Fail(ERROR_ACCESS_DENIED);
            if (d && !d->medium) return Fail(ERROR_NOT_READY);
            if (v->locked_by == this) return TRUE;
            if (v->locked_by || v->InUse(machine_.Now())) return Fail(ERROR_ACCESS_DENIED);
            v->locked_by = this;
            return TRUE;
        case FSCTL_UNLOCK_VOLUME:
            if (v->locked_by != this) return Fail(ERROR_NOT_LOCKED);
            v->locked_by = nullptr;
            return TRUE;
        case FSCTL_DISMOUNT_VOLUME:
            // Reference: FSCTL_DISMOUNT_VOLUME: it dismounts "regardless of whether or not the
            // volume is currently in use", and a dismounted volume has no open files; only a
            // lock held through another handle refuses it.
            if (v->locked_by && v->locked_by != this) return Fail(ERROR_ACCESS_DENIED);
            v->open_files = 0;
            v->transient_holder_until = {};
            v->dismounted = true;
            *returned = 0;
            return TRUE;
        case IOCTL_STORAGE_MEDIA_REMOVAL:
            // Reference: IOCTL_STORAGE_MEDIA_REMOVAL: one lock count per physical device;
            // an unlock is ignored only when the count is already zero.
            if (!in || in_size < sizeof(PREVENT_MEDIA_REMOVAL)) return Fail(ERROR_INVALID_PARAMETER);
            if (!d || !d->removable) return Fail(ERROR_INVALID_FUNCTION);
            if (static_cast<const PREVENT_MEDIA_REMOVAL*>(in)->PreventMediaRemoval)
                ++d->removal_locks;
            else if (d->removal_locks > 0)
                --d->removal_locks;
            *returned = 0;
            return TRUE;
        case IOCTL_STORAGE_EJECT_MEDIA:
            if (!d || !d->removable || !d->eject_supported) return Fail(ERROR_INVALID_FUNCTION);
            if (v->locked_by && v->locked_by != this) return Fail(ERROR_ACCESS_DENIED);
            if (d->removal_locks > 0) return Fail(ERROR_ACCESS_DENIED);
            if (!d->medium) return Fail(ERROR_NOT_READY);
            d->medium = false;
            *returned = 0;
            return TRUE;
        default:
            return Fail(ERROR_INVALID_FUNCTION);
        }
    }

private:
    Machine& machine_;
    char letter_;
    DWORD access_;
    DWORD disk_;
    std::uint32_t generation_;
};

// SCSI status and sense data of the two commands the disks answer.
constexpr UCHAR kStatusGood = 0x00;
constexpr UCHAR kStatusCheckCondition = 0x02;

void Sense(SCSI_PASS_THROUGH_DIRECT& spt, DWORD record_size, UCHAR key, UCHAR asc)
{
    spt.ScsiStatus = kStatusCheckCondition;
    spt.DataTransferLength = 0;
    if (spt.SenseInfoLength < 18 || spt.SenseInfoOffset + 18u > record_size) return;
    auto* sense = reinterpret_cast<UCHAR*>(&spt) + spt.SenseInfoOffset;
    std::memset(sense, 0, 18);
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
}

void Padded(UCHAR* out, const std::string& text, std::size_t width)
{
    std::memset(out, ' ', width);
    std::memcpy(out, text.data(), std::min(text.size(), width));
}

// One command with a data-in phase, answered from what the disk is.
BOOL PassThrough(PhysicalDisk& d, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned)
{
    if (d.fail_pass_through) return Fail(ERROR_IO_DEVICE);
    if (!in || in != out || in_size < sizeof(SCSI_PASS_THROUGH_DIRECT) || out_size < sizeof(SCSI_PASS_THROUGH_DIRECT))
        return Fail(ERROR_INVALID_PARAMETER);
    auto& spt = *static_cast<SCSI_PASS_THROUGH_DIRECT*>(in);
    d.last_pass_through = spt;
    d.last_pass_through_bytes = in_size;
    // What the port driver refuses (reference: IOCTL_SCSI_PASS_THROUGH_DIRECT): a record
    // of another size, no command, data without a buffer, sense data that would land
    // outside the caller's buffer.
    if (spt.Length != sizeof(SCSI_PASS_THROUGH_DIRECT) || spt.CdbLength == 0 || spt.CdbLength > 16)
        return Fail(ERROR_INVALID_PARAMETER);
    if (spt.DataTransferLength && !spt.DataBuffer) return Fail(ERROR_INVALID_PARAMETER);
    if (spt.SenseInfoLength &&
        (spt.SenseInfoOffset < sizeof(SCSI_PASS_THROUGH_DIRECT) ||
         std::uint64_t{spt.SenseInfoOffset} + spt.SenseInfoLength > std::min(in_size, out_size)))
        return Fail(ERROR_INVALID_PARAMETER);
    // INQUIRY and READ CAPACITY bring data in: a request that says it sends data out
    // fails on the bus, as with a real disk.
    if ((spt.Cdb[0] == 0x12 || spt.Cdb[0] == 0x25) && spt.DataTransferLength && spt.DataIn != SCSI_IOCTL_DATA_IN)
        return Fail(ERROR_IO_DEVICE);
    *returned = sizeof(SCSI_PASS_THROUGH_DIRECT);
    auto* data = static_cast<UCHAR*>(spt.DataBuffer);
    spt.ScsiStatus = kStatusGood;
    switch (spt.Cdb[0]) {
    case 0x12: {  // INQUIRY, standard data
        UCHAR reply[36] = {};
        reply[1] = d.removable ? 0x80 : 0x00;
        reply[2] = 0x02;
        reply[3] = 0x02;
        reply[4] = sizeof reply - 5;
        Padded(reply + 8, d.vendor_id, 8);
        Padded(reply + 16, d.product_id, 16);
        Padded(reply + 32, d.revision, 4);
        const DWORD length = std::min<DWORD>({spt.DataTransferLength, spt.Cdb[4], sizeof reply});
        std::memcpy(data, reply, length);
        spt.DataTransferLength = length;
        return TRUE;
    }
    case 0x25: {  // READ CAPACITY (10): last block and block size, big-endian
        if (!d.medium) {
            Sense(spt, out_size, 0x02, 0x3A);  // NOT READY, MEDIUM NOT PRESENT
            return TRUE;
        }
        if (spt.DataTransferLength < 8) {
            Sense(spt, out_size, 0x05, 0x24);  // ILLEGAL REQUEST, INVALID FIELD IN CDB
            return TRUE;
        }
        const DWORD last = d.blocks ? static_cast<DWORD>(std::min<ULONGLONG>(d.blocks - 1, 0xFFFFFFFFull)) : 0;
        const DWORD fields[2] = {last, d.block_size};
        for (int f = 0; f < 2; ++f)
            for (int b = 0; b < 4; ++b) data[f * 4 + b] = static_cast<UCHAR>(fields[f] >> (24 - 8 * b));
        spt.DataTransferLength = 8;
        return TRUE;
    }
    default:
        Sense(spt, out_size, 0x05, 0x20);  // ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE
        return TRUE;
    }
}

// A physical disk, by "\\.\PHYSICALDRIVEn" or by its interface path.
class DiskHandle : public KernelObject {
public:
    DiskHandle(Machine& machine, DWORD number)
        : machine_(machine), number_(number), generation_(GenerationOf(machine, number))
    {
    }
    const char* kind() const override { return "disk"; }
    std::optional<DWORD> Disk() const override { return number_; }

    BOOL Ioctl(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) override
    {
        if (DiskGoneUnder(machine_, number_, generation_)) return Fail(ERROR_DEV_NOT_EXIST);
        PhysicalDisk* d = machine_.storage.disk(number_);
        if (!d || !machine_.storage.DiskPresent(machine_, *d)) return Fail(ERROR_NOT_READY);
        switch (code) {
        case IOCTL_STORAGE_GET_DEVICE_NUMBER:
            return ReplyDeviceNumber(number_, 0, out, out_size, returned);
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            return PassThrough(*d, const_cast<void*>(in), in_size, out, out_size, returned);
        default:
            return Fail(ERROR_INVALID_FUNCTION);
        }
    }

private:
    Machine& machine_;
    DWORD number_;
    std::uint32_t generation_;
};

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// The drive letter of "X:" or "X:\" (null: the current drive, C:), or 0.
char RootLetter(LPCWSTR root)
{
    std::u16string_view r = root ? std::u16string_view(root) : std::u16string_view(u"C:\\");
    if (r.size() < 2 || r.size() > 3 || r[1] != u':' || (r.size() == 3 && r[2] != u'\\')) return 0;
    char16_t c = r[0];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return (c >= u'A' && c <= u'Z') ? static_cast<char>(c) : 0;
}

} // namespace

bool OpenStoragePath(Machine& machine, std::u16string_view path, DWORD access, HANDLE* handle)
{
    auto fail = [handle](DWORD error) {
        SetLastError(error);
        *handle = INVALID_HANDLE_VALUE;
        return true;
    };
    const std::u16string_view device_prefix = u"\\\\.\\";
    if (path.size() == 6 && StartsWithNoCase(path, device_prefix) && path[5] == u':') {
        char16_t c = path[4];
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        if (c < u'A' || c > u'Z') return false;
        Volume* v = machine.storage.LiveVolume(machine, static_cast<char>(c));
        if (!v) return fail(ERROR_FILE_NOT_FOUND);
        if (v->deny_read_write && (access & (GENERIC_READ | GENERIC_WRITE | GENERIC_ALL))) return fail(ERROR_ACCESS_DENIED);
        if (v->failing_opens > 0) {
            --v->failing_opens;
            return fail(ERROR_SHARING_VIOLATION);
        }
        *handle = machine.AddHandle(std::make_shared<VolumeHandle>(machine, v->letter, access, v->disk));
        return true;
    }
    const std::u16string_view drive_prefix = u"\\\\.\\PHYSICALDRIVE";
    if (StartsWithNoCase(path, drive_prefix) && path.size() > drive_prefix.size() &&
        path.size() <= drive_prefix.size() + 3) {
        DWORD number = 0;
        for (char16_t c : path.substr(drive_prefix.size())) {
            if (c < u'0' || c > u'9') return false;
            number = number * 10 + (c - u'0');
        }
        PhysicalDisk* d = machine.storage.disk(number);
        if (!d || !machine.storage.DiskPresent(machine, *d)) return fail(ERROR_FILE_NOT_FOUND);
        *handle = machine.AddHandle(std::make_shared<DiskHandle>(machine, number));
        return true;
    }
    for (auto& [number, d] : machine.storage.disks) {
        if (d.interface_path.empty() || !EqualNoCase(path, d.interface_path)) continue;
        if (!machine.storage.DiskPresent(machine, d)) return fail(ERROR_FILE_NOT_FOUND);
        *handle = machine.AddHandle(std::make_shared<DiskHandle>(machine, number));
        return true;
    }
    return false;
}

} // namespace sim

using namespace sim;
using namespace sim::api;

extern "C" DWORD WINAPI GetLogicalDrives(void)
{
    Call call("GetLogicalDrives", {});
    if (call.failed()) {
        SetLastError(call.error());
        return 0;
    }
    return call.machine.storage.LogicalDrives(call.machine);
}

extern "C" UINT WINAPI GetDriveTypeA(LPCSTR root)
{
    Call call("GetDriveTypeA", {P(root)}, Text(root));
    if (call.failed()) return DRIVE_UNKNOWN;
    std::u16string wide = root ? FromAnsi(root) : std::u16string();
    char letter = RootLetter(root ? wide.c_str() : nullptr);
    Volume* v = letter ? call.machine.storage.LiveVolume(call.machine, letter) : nullptr;
    return v ? v->drive_type : DRIVE_NO_ROOT_DIR;
}

extern "C" BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR root, PULARGE_INTEGER freeToCaller, PULARGE_INTEGER total,
                                           PULARGE_INTEGER totalFree)
{
    Call call("GetDiskFreeSpaceExW", {P(freeToCaller), P(total), P(totalFree)}, Text(root));
    if (call.failed()) return call.FailBool();
    char letter = RootLetter(root);
    Volume* v = letter ? call.machine.storage.LiveVolume(call.machine, letter) : nullptr;
    if (!v) return Fail(letter ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
    PhysicalDisk* d = call.machine.storage.disk(v->disk);
    if (d && !call.machine.storage.DiskAnswers(call.machine, *d)) return Fail(ERROR_DEV_NOT_EXIST);
    if (d && !d->medium) {
        // Without SEM_FAILCRITICALERRORS the system asks the user first, in a box that
        // waits for an answer in a program that loads the library.
        if ((GetThreadErrorMode() & SEM_FAILCRITICALERRORS) == 0)
            call.machine.system_boxes.push_back(std::string("There is no disk in the drive. Please insert a disk "
                                                                "into drive ") +
                                                    letter + ":.");
        return Fail(ERROR_NOT_READY);
    }
    if (v->total_bytes == 0) return Fail(ERROR_UNRECOGNIZED_VOLUME);
    if (freeToCaller) freeToCaller->QuadPart = v->free_bytes;
    if (total) total->QuadPart = v->total_bytes;
    if (totalFree) totalFree->QuadPart = v->free_bytes;
    return TRUE;
}
