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
 *
 * A 32-bit program on 64-bit Windows (WOW64) is refused by the class installer
 * (ERROR_IN_WOW64): there XU_SetStatus's state change and XU_ResetPCIBridge do nothing,
 * and the SATA removal of XU_Stop3132Card fails. On 64-bit Windows use the x64 build,
 * or ask PX71Service, which is one.
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
 * every device of the adapter on Bus (an adapter bridge or a device below one; nothing
 * else is ever touched): 0 re-enumerates them, 1 to 5 is a DICS_ code for the class
 * installer. With CheckVolumes nonzero, switching the link off and the state changes
 * 2 (disable), 3 (restart) and 5 (stop) first check the volumes below the bus: one in
 * use, or a check that cannot be made, leaves everything as it is and the result is 0.
 * With CheckVolumes, link off asks Plug and Play first: a disable, restart or stop
 * runs before the link (one Windows keeps for its next start is taken back, and the
 * result is 0), then every function of the card in the slot is query-removed; a veto
 * (a file open on any of its volumes, a raw disk handle, a program) leaves the link on
 * and the card as it was, the result is 0, and who vetoed goes to PX71.LOG.
 * Result: 1 when Link Disable ends in the requested state; the state change has no
 * result of its own (under WOW64 it does nothing). */
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

/* Write and delete the upper-filter lists that put the filter drivers on the
 * adapter's root port ("PX711") and on the nodes below it ("PX713" to "PX717"), or,
 * for the older adapter, the one entry "PX71" on its root port. The add and delete
 * functions return the number of devices handled, or minus the number of devices
 * that failed, and 0 when the device list could not be built. Both add functions
 * first delete the current adapter's lists. */
int PX71API XU_AddFilter(void) PX71_NOTHROW;
int PX71API XU_DelFilter(void) PX71_NOTHROW;
int PX71API XU_AddFilter_OLD(void) PX71_NOTHROW;
int PX71API XU_DelFilter_OLD(void) PX71_NOTHROW;
/* 1 when some present adapter's root port lacks its filter, else 0. */
int PX71API XU_DoesExistNoFilterRootPort(void) PX71_NOTHROW;
int PX71API XU_DoesExistNoFilterRootPort_OLD(void) PX71_NOTHROW;

/* ---- Resource window settings */

/* Store the root-port filter driver's settings as REG_DWORD values under
 * HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\PX711, numbers unchanged.
 * The key is opened, never created. Result: 1 when every value was written, else 0;
 * values written before a failing one keep their new numbers. XU_SetSize_Pro2_DEF
 * stores the defaults of parameters 2 to 6 and ignores the others. */
int PX71API XU_SetSize(DWORD DefLen, DWORD StartAdrs, DWORD EndAdrs) PX71_NOTHROW;
int PX71API XU_SetSize_Pro(DWORD Oz888Len, DWORD SxsLen, DWORD A3132Len, DWORD B3132Len, DWORD USBLen,
                           DWORD StartAdrs, DWORD EndAdrs) PX71_NOTHROW;
int PX71API XU_SetSize_Pro2(DWORD PortLen, DWORD Oz888Len, DWORD SxsLen, DWORD A3132Len, DWORD B3132Len,
                            DWORD USBLen, DWORD StartAdrs, DWORD EndAdrs, DWORD PayloadSize,
                            DWORD SataSSC) PX71_NOTHROW;
int PX71API XU_SetSize_Pro2_DEF(DWORD PortLen, DWORD Oz888Len, DWORD SxsLen, DWORD A3132Len, DWORD B3132Len,
                                DWORD USBLen, DWORD StartAdrs, DWORD EndAdrs) PX71_NOTHROW;

/* ---- Card names */

/* The card numbered CardIndex below the controller numbered ControllerIndex among the
 * present controllers of one kind (for the SI3132, ControllerIndex selects a pair of
 * controllers, one adapter's). Name receives its name when it fits: a description or
 * friendly name only when its size in bytes, terminator included, is below NameSize
 * (a count of UTF-16 characters); a reader slot's name ("ZEK-PX71    CF" or
 * "ZEK-PX71    SD") as 14 characters without a terminator, only when NameSize is
 * above 8. Name's first character is set to 0 on entry.
 * CardBus, OHCI: 1 when the card is present and started, else 0.
 * EHCI: 1 a USB device, 2 a medium in the reader's CF slot, 3 one in its SD slot, 0 none.
 * SI3132: 2 a started disk, 1 a disk that is not started, 0 none. */
int PX71API XU_GetCardBusCardName(DWORD ControllerIndex, DWORD CardIndex, LPWSTR Name, DWORD NameSize) PX71_NOTHROW;
int PX71API XU_GetEhciExpressCardName(DWORD ControllerIndex, DWORD CardIndex, LPWSTR Name,
                                      DWORD NameSize) PX71_NOTHROW;
int PX71API XU_GetOhciExpressCardName(DWORD ControllerIndex, DWORD CardIndex, LPWSTR Name,
                                      DWORD NameSize) PX71_NOTHROW;
int PX71API XU_Get3132CardName(DWORD ControllerIndex, DWORD CardIndex, LPWSTR Name, DWORD NameSize) PX71_NOTHROW;

/* ---- Card removal */

/* Lets go of the card that the name export of the same kind names with the same two
 * numbers. 1 when it was let go: the eject request succeeded (CardBus, OHCI, EHCI USB
 * devices), the reader medium's volume was locked and the medium ejected (EHCI), or
 * the started disk was removed (SI3132); 0 otherwise, a vetoed eject included. */
int PX71API XU_StopCardBusCard(DWORD ControllerIndex, DWORD CardIndex) PX71_NOTHROW;
int PX71API XU_StopEhciExpressCard(DWORD ControllerIndex, DWORD CardIndex) PX71_NOTHROW;
int PX71API XU_StopOhciExpressCard(DWORD ControllerIndex, DWORD CardIndex) PX71_NOTHROW;
int PX71API XU_Stop3132Card(DWORD ControllerIndex, DWORD CardIndex) PX71_NOTHROW;

/* ---- Log file */

/* Appends Text, converted to the ANSI code page and cut at 200 bytes, as one record
 * of the ring-buffer log "PX71.LOG" beside the calling program's executable (a
 * 200-byte header, then 4999 records of 200 bytes; once full, each record overwrites
 * the oldest). A missing or damaged header is written afresh first. A null Text only
 * makes sure the header is valid. Writers in several threads or processes each get
 * their own slot. Result: nonzero when the record and the header were written (for a
 * null Text, when the header is valid on disk); 0 on any failure. */
int PX71API WriteLogFile(LPCWSTR Text) PX71_NOTHROW;

/* ---- Diagnostic report */

/* Writes a report into the log, one record per section: a heading with Title (ANSI;
 * NULL counts as empty) and the local time; the filter driver's settings from its
 * service key; every present PCI device that carries a "PX71" upper filter; and
 * every adapter bridge function with its registers and the card behind it. A register
 * that could not be read prints as 0xffffffff, a status or problem as 0.
 * Result: 1 when every record of the report reached the log, 0 otherwise. */
int PX71API XU_WriteLog(LPCSTR Title) PX71_NOTHROW;

#ifdef __cplusplus
}
#endif

#endif /* PX71_H */
