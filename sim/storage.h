// The machine's storage: physical disks with their device numbers and media, and
// the volumes on them with drive letters, sizes and open files.
//
// What a program sees of it:
//   - GetLogicalDrives, GetDriveTypeA and GetDiskFreeSpaceExW answer from the volumes;
//   - CreateFile on "\\.\X:" opens a volume, which answers IOCTL_STORAGE_GET_DEVICE_NUMBER
//     and FSCTL_LOCK_VOLUME / FSCTL_UNLOCK_VOLUME (a lock fails while a file on the
//     volume is open or another handle holds the lock);
//   - a disk's device node carries a GUID_DEVINTERFACE_DISK interface whose path, like
//     "\\.\PHYSICALDRIVEn", opens the disk, which answers IOCTL_STORAGE_GET_DEVICE_NUMBER
//     and, through IOCTL_SCSI_PASS_THROUGH_DIRECT, INQUIRY and READ CAPACITY (10);
//   - IOCTL_STORAGE_EJECT_MEDIA on a removable disk's volume takes the medium out, where
//     the drive has the mechanism and no removal lock holds the medium in.
// A disk whose device node is not present is gone, and its volumes with it.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

class Machine;

struct PhysicalDisk {
    DWORD number = 0;               // the N of \\.\PHYSICALDRIVEN
    DEVINST node = 0;               // its device node (0: none, always there)
    std::u16string interface_path;  // its GUID_DEVINTERFACE_DISK path
    bool removable = false;         // removable media (a card reader slot)
    bool medium = true;             // a medium is in the drive
    // What the disk reports of itself to SCSI INQUIRY and READ CAPACITY (10).
    std::string vendor_id;   // 8 characters
    std::string product_id;  // 16 characters
    std::string revision;    // 4 characters
    ULONGLONG blocks = 0;
    DWORD block_size = 512;
    bool fail_pass_through = false;  // IOCTL_SCSI_PASS_THROUGH_DIRECT fails outright
    // The drive can eject its medium itself; a reader without the mechanism answers
    // IOCTL_STORAGE_EJECT_MEDIA with ERROR_INVALID_FUNCTION (reference:
    // IOCTL_STORAGE_EJECT_MEDIA, STATUS_INVALID_DEVICE_REQUEST).
    bool eject_supported = true;
    // IOCTL_STORAGE_MEDIA_REMOVAL's lock count, kept per disk: TRUE adds one, FALSE takes
    // one off (none below zero, whoever asks), and the medium stays in while any is held.
    int removal_locks = 0;
    // Handles other programs hold on \\.\PHYSICALDRIVEn (a backup tool, a disk utility):
    // each vetoes a query-remove of the disk, and a surprise removal cuts them.
    int raw_handles = 0;
    // Counts the disk's departures: a handle opened before one fails from then on, even
    // once the disk is back, as its device object went with it.
    std::uint32_t generation = 0;
    // The fields of the last pass-through record the disk was sent, as the caller set
    // them, and the size of the buffer around it.
    SCSI_PASS_THROUGH_DIRECT last_pass_through{};
    DWORD last_pass_through_bytes = 0;
};

struct Volume {
    char letter = 'C';          // 0: no drive letter (mounted in a folder only)
    std::u16string mount;       // the folder it is mounted in, if any: C:\Mnt\Card\ say
    DWORD disk = 0;            // number of the physical disk it lies on
    DWORD partition = 1;
    UINT drive_type = DRIVE_FIXED;
    ULONGLONG total_bytes = 0;  // 0: no file system
    ULONGLONG free_bytes = 0;
    int open_files = 0;         // files open on it; a lock fails while any is
    bool deny_read_write = false;  // opens asking for read or write access fail
    int failing_opens = 0;         // so many opens fail (ERROR_SHARING_VIOLATION) before one succeeds
    // Held by an open volume handle after FSCTL_LOCK_VOLUME, until unlock or close.
    const void* locked_by = nullptr;
    // A program that looks at a fresh medium (an indexer, a virus scanner) holds a file
    // open on it until then (on the machine's clock, Machine::Now), and lets go by itself.
    std::chrono::steady_clock::time_point transient_holder_until{};
    bool dismounted = false;        // FSCTL_DISMOUNT_VOLUME was sent; it mounts again on use
    bool InUse(std::chrono::steady_clock::time_point now) const
    {
        return open_files > 0 || now < transient_holder_until;
    }
    // "K:", or the mount folder of a volume without a letter.
    std::u16string Name() const;
};

class Storage {
public:
    std::map<DWORD, PhysicalDisk> disks;  // by number
    std::map<char, Volume> volumes;       // by upper-case letter
    std::vector<Volume> unlettered;       // volumes mounted in a folder only

    // Every volume, lettered ones first.
    template <typename Visit>
    void ForEachVolume(Visit visit)
    {
        for (auto& [letter, volume] : volumes) visit(volume);
        for (auto& volume : unlettered) visit(volume);
    }
    template <typename Visit>
    void ForEachVolume(Visit visit) const
    {
        for (const auto& [letter, volume] : volumes) visit(volume);
        for (const auto& volume : unlettered) visit(volume);
    }

    PhysicalDisk* disk(DWORD number);
    // A volume whose letter exists now: its disk is there and its node present.
    Volume* LiveVolume(const Machine& machine, char letter);
    bool DiskPresent(const Machine& machine, const PhysicalDisk& disk) const;
    // Present, and its hardware answers: a disk on a card that was pulled, or whose link
    // is off, fails every request while Windows still holds its node.
    bool DiskAnswers(const Machine& machine, const PhysicalDisk& disk) const;
    DWORD LogicalDrives(const Machine& machine);
};

// Builders: a disk with its interface on Node (GUID_DEVINTERFACE_DISK), and a volume.
PhysicalDisk& AddDisk(Machine& machine, DEVINST node, DWORD number, std::u16string interface_path);
Volume& AddVolume(Machine& machine, char letter, DWORD disk, ULONGLONG total_bytes, UINT drive_type = DRIVE_FIXED);
// A volume mounted in a folder only, without a drive letter.
Volume& AddMountedVolume(Machine& machine, std::u16string mount, DWORD disk, ULONGLONG total_bytes);

// CreateFile's routes into storage: "\\.\X:", "\\.\PHYSICALDRIVEn" and disk interface
// paths. Returns false when the path is none of these.
bool OpenStoragePath(Machine& machine, std::u16string_view path, DWORD access, HANDLE* handle);

} // namespace sim
