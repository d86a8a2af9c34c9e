// SCSI INQUIRY and READ CAPACITY (10) to the disks behind removable drive letters.
#include "library/disk_identification.h"

#include "library/text.h"

#include <cstdio>
#include <cstring>

namespace px71 {
namespace {

// The record as the 32-bit build lays it out; the 64-bit build uses the platform's
// own layout of the same structure.
static_assert(sizeof(void*) != 4 || sizeof(PassThroughRecord) == 80, "32-bit pass-through record");
static_assert(sizeof(void*) != 4 || offsetof(PassThroughRecord, Sense) == 48, "32-bit sense offset");
static_assert(sizeof(void*) != 4 || sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "32-bit SCSI_PASS_THROUGH_DIRECT");

constexpr int kOpenAttempts = 100;
constexpr BYTE kScsiStatusGood = 0;
constexpr BYTE kInquiry = 0x12;
constexpr BYTE kReadCapacity10 = 0x25;
constexpr DWORD kInquiryLength = 0x60;
constexpr DWORD kProductIdOffset = 16;

// Opens a volume or disk path for reading and writing with read and write sharing,
// trying again at once up to the attempt limit: a freshly inserted medium can keep
// its volume busy for a moment.
UniqueFile OpenForCommands(const char* path) noexcept
{
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return UniqueFile(h);
    }
    return UniqueFile();
}

} // namespace

void ShortDelay() noexcept
{
    UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event) return;
    ResetEvent(event.get());
    WaitForSingleObject(event.get(), 5);
    ResetEvent(event.get());
}

int SendVolumeScsiCommand(BYTE* dataBuffer, DWORD* dataLength, const char* volumePath, const BYTE* cdb,
                          BYTE cdbLength) noexcept
{
    STORAGE_DEVICE_NUMBER number;
    {
        UniqueFile volume = OpenForCommands(volumePath);
        if (!volume) return 0;
        std::memset(&number, 0, sizeof number);
        DWORD returned = 0;
        if (!DeviceIoControl(volume.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                             &returned, nullptr))
            return 0;
    }

    char diskPath[24];
    std::snprintf(diskPath, sizeof diskPath, "\\\\.\\PHYSICALDRIVE%d", static_cast<int>(number.DeviceNumber));
    UniqueFile disk = OpenForCommands(diskPath);
    if (!disk) return 0;

    PassThroughRecord record;
    std::memset(&record, 0, sizeof record);
    record.Spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    record.Spt.TargetId = 1;
    record.Spt.CdbLength = cdbLength;
    record.Spt.SenseInfoLength = 24;
    record.Spt.DataIn = SCSI_IOCTL_DATA_IN;
    record.Spt.DataTransferLength = *dataLength;
    record.Spt.TimeOutValue = 2;
    record.Spt.DataBuffer = dataBuffer;
    record.Spt.SenseInfoOffset = offsetof(PassThroughRecord, Sense);
    std::memcpy(record.Spt.Cdb, cdb, cdbLength <= sizeof record.Spt.Cdb ? cdbLength : sizeof record.Spt.Cdb);

    DWORD returned = 0;
    // A request the disk never answered is a failure, whatever the status byte holds.
    if (!DeviceIoControl(disk.get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &record, sizeof record, &record, sizeof record,
                         &returned, nullptr))
        return 0;
    if (record.Spt.ScsiStatus != kScsiStatusGood) return 0;
    *dataLength = record.Spt.DataTransferLength;
    disk.reset();
    ShortDelay();
    return 1;
}

bool ProbeReaderSlot(char letter, const char* slotId, char (&volumePath)[8]) noexcept
{
    std::memset(volumePath, 0, sizeof volumePath);
    std::snprintf(volumePath, sizeof volumePath, "%c:", letter);
    if (GetDriveTypeA(volumePath) != DRIVE_REMOVABLE) return false;
    std::snprintf(volumePath, sizeof volumePath, "\\\\.\\%c:", letter);

    {
        UniqueLocal cdb(LocalAlloc(LPTR, 8));
        UniqueLocal data(LocalAlloc(LPTR, 98));
        if (!cdb || !data) return false;
        auto* command = static_cast<BYTE*>(cdb.get());
        command[0] = kInquiry;
        command[4] = static_cast<BYTE>(kInquiryLength);
        DWORD length = kInquiryLength;
        if (!SendVolumeScsiCommand(static_cast<BYTE*>(data.get()), &length, volumePath, command, 6)) return false;
        const char* productId = static_cast<const char*>(data.get()) + kProductIdOffset;
        if (!PrefixEqualNoCase(productId, slotId, kSlotIdLength)) return false;
    }

    UniqueLocal cdb(LocalAlloc(LPTR, 12));
    UniqueLocal data(LocalAlloc(LPTR, 10));
    if (!cdb || !data) return false;
    static_cast<BYTE*>(cdb.get())[0] = kReadCapacity10;
    DWORD length = 8;
    return SendVolumeScsiCommand(static_cast<BYTE*>(data.get()), &length, volumePath, static_cast<BYTE*>(cdb.get()),
                                 10) == 1;
}

} // namespace px71
