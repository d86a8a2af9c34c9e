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

/* ---- Bridge reset */

/* ---- Device check */

/* ---- Filter lists */

/* ---- Resource window settings */

/* ---- Card names */

/* ---- Card removal */

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
