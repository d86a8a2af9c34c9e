/*
 * PX71.dll - hot plugging for the PX71 ExpressCard adapter.
 *
 * Every function is exported under its plain name. The x86 build uses the
 * __stdcall convention (WINAPI) for every export, exported without decoration
 * (no leading underscore, no @N suffix); the x64 build uses the platform's one
 * calling convention. Parameter lists are the same in both builds.
 *
 * Byte-sized arguments (bus numbers, register offsets, switches) travel in 32-bit
 * slots; only their low byte counts. No export sets the thread's last-error value
 * itself.
 */
#ifndef PX71_H
#define PX71_H

#include <windows.h>
#include <setupapi.h>

#define PX71API WINAPI

#ifdef __cplusplus
#define PX71_NOTHROW noexcept
extern "C" {
#else
#define PX71_NOTHROW
#endif

/* Device-tree queries. Read a property of any size by SetupAPI element (SPDRP_ code)
 * or by device node (CM_DRP_ code), copy it into Buffer if given (cleared first,
 * truncated silently) and test it against Match: a pointer to a 32-bit value for a
 * REG_DWORD property, else a NUL-terminated UTF-16 prefix tested against every
 * string of the value ignoring case; NULL matches any property that was read.
 * Result: 1 when the property was read and matched, else 0. */
int PX71API GetDeviceRegistryProperty(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                      const void* Match, BYTE* Buffer, DWORD BufferSize) PX71_NOTHROW;
int PX71API GetDevNodeRegistryProperty(DWORD DevInst, DWORD Property, const void* Match, BYTE* Buffer,
                                       DWORD BufferSize) PX71_NOTHROW;

/* PCI configuration space through the dump driver "\\.\XUDUMP". Result: nonzero when
 * the driver completed the request. A failed open leaves *Value untouched. */
int PX71API XU_ReadPCI(DWORD Bus, DWORD Register, DWORD* Value) PX71_NOTHROW;
int PX71API XU_WritePCI(DWORD Bus, DWORD Register, DWORD Value) PX71_NOTHROW;

/* ---- Slot status and card information */

/* Is the adapter's bridge function (1217:02E3, subsystem 0x01021E2A) on Bus, and is a
 * card in its slot? *CardPresent (if given) is cleared first and set to 1 for a card.
 * Without the dump driver and without CardPresent, the device tree answers. Result: 1
 * when the bridge function was found on Bus, else 0. */
int PX71API XU_GetStatus(DWORD Bus, int* CardPresent) PX71_NOTHROW;

/* The device description, DN_ status and CM_PROB_ problem of the node below a device on
 * Bus (the last such device in enumeration order). Description is truncated silently
 * to DescriptionSize bytes. Result: 1 when a card node was found, else 0. */
int PX71API XU_GetCardInfo(DWORD Bus, WCHAR* Description, DWORD DescriptionSize, DWORD* Status,
                           DWORD* Problem) PX71_NOTHROW;

/* Switches the slot's link on (LinkEnable nonzero) or off, then applies StateChange to
 * every device on Bus: 0 re-enumerates them, 1 to 5 is a DICS_ code for the class
 * installer. With CheckVolumes nonzero, a volume in use below the bus leaves everything
 * as it is and the result is 0. Result: 1 when Link Disable ends in the requested state. */
int PX71API XU_SetStatus(DWORD Bus, DWORD StateChange, DWORD LinkEnable, DWORD CheckVolumes) PX71_NOTHROW;

/* ---- Bridge reset */

/* Disables (Enable 0) or enables the adapter's own bridge (PCI\VEN_1E2A&DEV_0102)
 * through the class installer, unless its first upper filter is PX711. Returns 0. */
BYTE PX71API XU_ResetPCIBridge(DWORD Enable) PX71_NOTHROW;

/* ---- Device check */

/* Which drivers sit at the adapter's fixed positions below its root port, as a bit mask:
 * 0x01 and 0x02 SI3132 below the first and second downstream node, 0x04 pcmcia below
 * the third, 0x08 pci below the fourth's first child, 0x10 USB below its third child.
 * 0 when no adapter is present. */
int PX71API XU_CheckDevice(void) PX71_NOTHROW;

/* ---- Filter lists */

/* ---- Resource window settings */

/* ---- Card names */

/* ---- Card removal */

/* ---- Log file */

/* ---- Diagnostic report */

#ifdef __cplusplus
}
#endif

#endif /* PX71_H */
