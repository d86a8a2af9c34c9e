// Asking the disks themselves: SCSI commands to the physical disk behind a volume,
// and the scan over the drive letters for the card reader's slots.
#pragma once

#include "platform/win32.h"

#include <cstddef>

namespace px71 {

// The card reader's slot identifications: the first 14 bytes of the product
// identification its disks report to INQUIRY.
constexpr std::size_t kSlotIdLength = 14;
inline constexpr char kCfSlotId[] = "ZEK-PX71    CF";
inline constexpr char kSdSlotId[] = "ZEK-PX71    SD";

// The record IOCTL_SCSI_PASS_THROUGH_DIRECT carries: the platform's structure, a
// filler, and the sense area the disk writes into.
struct PassThroughRecord {
    SCSI_PASS_THROUGH_DIRECT Spt;
    ULONG Filler;
    UCHAR Sense[32];
};

// A pause of 5 ms.
void ShortDelay() noexcept;

// Sends one command with a data-in phase to the physical disk behind VolumePath
// ("\\.\X:"). Returns 1 when the command completed with SCSI status GOOD; then
// *DataLength holds the number of bytes transferred.
int SendVolumeScsiCommand(BYTE* dataBuffer, DWORD* dataLength, const char* volumePath, const BYTE* cdb,
                          BYTE cdbLength) noexcept;

enum class SlotAction { Next, Stop };

// Yields, in drive-letter order C: to Z:, the volume path of every reader slot that
// reports SlotId and holds a medium. OnSlot(const char* volumePath) returns
// SlotAction::Stop to end the scan. Returns Stop when OnSlot stopped it.
template <typename OnSlot>
SlotAction ScanReaderSlots(const char* slotId, OnSlot&& onSlot) noexcept;

// The scan's per-letter probe: 1 when the drive holds a reader slot of SlotId with a
// medium; VolumePath (8 bytes) receives "\\.\X:".
bool ProbeReaderSlot(char letter, const char* slotId, char (&volumePath)[8]) noexcept;

template <typename OnSlot>
SlotAction ScanReaderSlots(const char* slotId, OnSlot&& onSlot) noexcept
{
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        char volumePath[8];
        if (ProbeReaderSlot(letter, slotId, volumePath) && onSlot(static_cast<const char*>(volumePath)) == SlotAction::Stop)
            return SlotAction::Stop;
    }
    return SlotAction::Next;
}

} // namespace px71
