// The volume check behind XU_SetStatus: is any volume on a disk below a bus in use?
#pragma once

#include "platform/win32.h"

namespace px71 {

// 1 unless a volume of a disk that hangs below a device on Bus is in use. Once a
// busy volume is found the answer is 0, whatever later disks show.
int AreBusVolumesFree(DWORD bus) noexcept;

// 1 unless a volume (C: to Z:) on the physical disk DiskNumber is in use: it has a
// medium and a file system and cannot be locked, or cannot be opened for reading
// and writing.
int AreDiskVolumesFree(DWORD diskNumber) noexcept;

// Opens Path and asks for the storage device number of the disk behind it; 0 when it
// cannot be read or the device is no disk (a CD-ROM drive numbers its own kind).
int GetStorageDeviceNumber(LPCWSTR path, DWORD* deviceNumber) noexcept;

} // namespace px71
