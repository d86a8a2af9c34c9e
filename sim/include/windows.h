// The simulated machine's Win32 subset: the names, types, structure layouts and
// constants of the Windows SDK for the calls PX71 makes, implemented over the
// in-memory machine of sim/. Only the host build sees this header; it stands in for
// <windows.h> and the other SDK headers of the same names in this folder.
#pragma once

#ifdef _WIN32
#error "sim/include must not be on the include path of a Windows build"
#endif

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- basic types
#define WINAPI
#define CALLBACK
#define APIENTRY
#define CMAPI
#define VOID void
#define CONST const

typedef int BOOL;
typedef unsigned char BYTE, UCHAR, BOOLEAN;
typedef char CHAR;
typedef char16_t WCHAR;
typedef short SHORT;
typedef unsigned short USHORT, WORD;
typedef int INT;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t ULONG, DWORD;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG, DWORDLONG;
typedef intptr_t INT_PTR, LONG_PTR, LPARAM, LRESULT;
typedef uintptr_t UINT_PTR, ULONG_PTR, DWORD_PTR, SIZE_T, WPARAM;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const void* PCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE HLOCAL;
typedef HANDLE HGLOBAL;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef CHAR* LPSTR;
typedef CHAR* PSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSTR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCHAR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG LSTATUS;
typedef DWORD ACCESS_MASK;
typedef DWORD REGSAM;

struct HINSTANCE__ { int unused; };
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HWND__ { int unused; };
typedef HWND__* HWND;
struct HKEY__ { int unused; };
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
#define REFGUID const GUID&
// As guiddef.h gives C++ code.
inline bool operator==(REFGUID a, REFGUID b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xffffffff
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define UNREFERENCED_PARAMETER(p) (void)(p)

// ---------------------------------------------------------------- error codes
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_READY 21L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_LOCKED 158L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DISK_FULL 112L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_NOT_LOCKED 158L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_TIMEOUT 1460L
#define ERROR_BAD_PIPE 230L
#define ERROR_PIPE_BUSY 231L
#define ERROR_NO_DATA 232L
#define ERROR_PIPE_NOT_CONNECTED 233L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_IO_DEVICE 1117L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_UNRECOGNIZED_VOLUME 1005L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_IO_FAILED 1016L
#define ERROR_KEY_DELETED 1018L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_PIPE_CONNECTED 535L
#define ERROR_PIPE_LISTENING 536L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_INVALID_SID 1337L
#define ERROR_INVALID_ACL 1336L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_NO_SUCH_DEVINST 0xE000020BL
#define ERROR_INVALID_REG_PROPERTY 0xE0000209L
#define ERROR_NO_SUCH_DEVICE_INTERFACE 0xE0000225L
#define ERROR_INVALID_CLASS_INSTALLER 0xE000020DL
#define ERROR_DI_DO_DEFAULT 0xE000020EL
#define ERROR_IN_WOW64 0xE0000235L
#define ERROR_NO_CLASSINSTALL_PARAMS 0xE0000215L

// ---------------------------------------------------------------- last error
extern "C" DWORD WINAPI GetLastError(void);
extern "C" void WINAPI SetLastError(DWORD error);
#define SEM_FAILCRITICALERRORS 0x0001
#define SEM_NOGPFAULTERRORBOX 0x0002
#define SEM_NOOPENFILEERRORBOX 0x8000
extern "C" DWORD WINAPI GetThreadErrorMode(void);
extern "C" BOOL WINAPI SetThreadErrorMode(DWORD newMode, LPDWORD oldMode);

// ---------------------------------------------------------------- heap
#define HEAP_ZERO_MEMORY 0x00000008
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
extern "C" HANDLE WINAPI GetProcessHeap(void);
extern "C" LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
extern "C" BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID mem);
extern "C" HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
extern "C" HLOCAL WINAPI LocalFree(HLOCAL mem);

// ---------------------------------------------------------------- handles, files, devices
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define LOCKFILE_FAIL_IMMEDIATELY 0x00000001
#define LOCKFILE_EXCLUSIVE_LOCK 0x00000002
#define FILE_ALL_ACCESS 0x001F01FFu
#define FILE_GENERIC_READ 0x00120089u
#define FILE_GENERIC_WRITE 0x00120116u
#define FILE_GENERIC_EXECUTE 0x001200A0u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define FILE_FLAG_FIRST_PIPE_INSTANCE 0x00080000
#define STATUS_PENDING 0x00000103
#define STILL_ACTIVE STATUS_PENDING
#define SYNCHRONIZE 0x00100000u

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// As in the SDK, the offset fields sit in a nameless union: ov.Offset, ov.OffsetHigh.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

extern "C" BOOL WINAPI CloseHandle(HANDLE handle);
extern "C" HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                     DWORD disposition, DWORD flags, HANDLE templ);
extern "C" HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                     DWORD disposition, DWORD flags, HANDLE templ);
extern "C" BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov);
extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov);
extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
extern "C" DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh);
extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file);
extern "C" BOOL WINAPI LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                                  LPOVERLAPPED ov);
extern "C" BOOL WINAPI UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh, LPOVERLAPPED ov);
extern "C" BOOL WINAPI DeleteFileW(LPCWSTR name);
extern "C" BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait);
extern "C" BOOL WINAPI CancelIo(HANDLE file);
extern "C" BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                       DWORD outSize, LPDWORD returned, LPOVERLAPPED ov);

// ---------------------------------------------------------------- modules, strings, time
#define CP_ACP 0
#define CP_UTF8 65001
#define WC_NO_BEST_FIT_CHARS 0x00000400
extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR name);
extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size);
typedef INT_PTR(WINAPI* FARPROC)();
extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);

// What kernel32 of Windows 8 and later exports, taken by name (GetProcAddress).
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
typedef enum _PROCESS_MITIGATION_POLICY {
    ProcessStrictHandleCheckPolicy = 3,
    ProcessExtensionPointDisablePolicy = 6,
    ProcessImageLoadPolicy = 10,
} PROCESS_MITIGATION_POLICY;
typedef struct _PROCESS_MITIGATION_STRICT_HANDLE_CHECK_POLICY {
    DWORD Flags;  // 1: RaiseExceptionOnInvalidHandleReference, 2: HandleExceptionsPermanentlyEnabled
} PROCESS_MITIGATION_STRICT_HANDLE_CHECK_POLICY;
typedef struct _PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY {
    DWORD Flags;  // 1: DisableExtensionPoints
} PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY;
typedef struct _PROCESS_MITIGATION_IMAGE_LOAD_POLICY {
    DWORD Flags;  // 1: NoRemoteImages, 2: NoLowMandatoryLabelImages, 4: PreferSystem32Images
} PROCESS_MITIGATION_IMAGE_LOAD_POLICY;
extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLen, LPSTR multi,
                                          int multiLen, LPCSTR defaultChar, LPBOOL usedDefault);
extern "C" int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi, int multiLen, LPWSTR wide,
                                          int wideLen);
extern "C" UINT WINAPI GetACP(void);

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;
extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME time);

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// ---------------------------------------------------------------- drives and volumes
#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6
extern "C" DWORD WINAPI GetLogicalDrives(void);
extern "C" UINT WINAPI GetDriveTypeA(LPCSTR root);
extern "C" BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR root, PULARGE_INTEGER freeToCaller, PULARGE_INTEGER total,
                                           PULARGE_INTEGER totalFree);

// ---------------------------------------------------------------- events and waits
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x1F0003
#define MAXIMUM_WAIT_OBJECTS 64
extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name);
extern "C" HANDLE WINAPI OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
extern "C" BOOL WINAPI SetEvent(HANDLE event);
extern "C" BOOL WINAPI ResetEvent(HANDLE event);
extern "C" DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
extern "C" void WINAPI Sleep(DWORD milliseconds);
extern "C" ULONGLONG WINAPI GetTickCount64(void);

// ---------------------------------------------------------------- waitable timers
typedef void(WINAPI* PTIMERAPCROUTINE)(LPVOID argument, DWORD timerLowValue, DWORD timerHighValue);
#define TIMER_MODIFY_STATE 0x0002
#define TIMER_ALL_ACCESS 0x1F0003
extern "C" HANDLE WINAPI CreateWaitableTimerW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, LPCWSTR name);
extern "C" BOOL WINAPI SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period,
                                        PTIMERAPCROUTINE completion, LPVOID argument, BOOL resume);
extern "C" BOOL WINAPI CancelWaitableTimer(HANDLE timer);

// ---------------------------------------------------------------- slim reader/writer locks
typedef struct _RTL_SRWLOCK {
    PVOID Ptr;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT {nullptr}
extern "C" void WINAPI InitializeSRWLock(PSRWLOCK lock);
extern "C" void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock);
extern "C" void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock);
typedef struct _RTL_CONDITION_VARIABLE {
    PVOID Ptr;
} CONDITION_VARIABLE, *PCONDITION_VARIABLE;
#define CONDITION_VARIABLE_INIT {nullptr}
extern "C" BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE cv, PSRWLOCK lock, DWORD milliseconds,
                                                 ULONG flags);
extern "C" void WINAPI WakeConditionVariable(PCONDITION_VARIABLE cv);
extern "C" void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE cv);

// ---------------------------------------------------------------- threads
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);
extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                      LPVOID parameter, DWORD flags, LPDWORD threadId);
extern "C" BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// ---------------------------------------------------------------- registry
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define DELETE 0x00010000u
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002
extern "C" LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
extern "C" LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR cls, DWORD options,
                                          REGSAM access, LPSECURITY_ATTRIBUTES sa, PHKEY result,
                                          LPDWORD disposition);
extern "C" LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                           LPDWORD dataSize);
extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                           LPDWORD dataSize);
extern "C" LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                         DWORD dataSize);
extern "C" LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR name);
extern "C" LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey);
extern "C" LSTATUS WINAPI RegCloseKey(HKEY key);

// ---------------------------------------------------------------- I/O control codes
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DWORD)(DeviceType) << 16) | ((DWORD)(Access) << 14) | ((DWORD)(Function) << 2) | (DWORD)(Method))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define FILE_DEVICE_CD_ROM 0x00000002
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_FILE_SYSTEM 0x00000009
#define FILE_DEVICE_MASS_STORAGE 0x0000002d
#define FILE_DEVICE_CONTROLLER 0x00000004
#define IOCTL_STORAGE_BASE FILE_DEVICE_MASS_STORAGE
#define IOCTL_SCSI_BASE FILE_DEVICE_CONTROLLER
#define IOCTL_STORAGE_GET_DEVICE_NUMBER CTL_CODE(IOCTL_STORAGE_BASE, 0x0420, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STORAGE_EJECT_MEDIA CTL_CODE(IOCTL_STORAGE_BASE, 0x0202, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_SCSI_PASS_THROUGH_DIRECT \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0405, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define FSCTL_LOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_UNLOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_DISMOUNT_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STORAGE_MEDIA_REMOVAL CTL_CODE(IOCTL_STORAGE_BASE, 0x0201, METHOD_BUFFERED, FILE_READ_ACCESS)
typedef struct _PREVENT_MEDIA_REMOVAL {
    BOOLEAN PreventMediaRemoval;
} PREVENT_MEDIA_REMOVAL, *PPREVENT_MEDIA_REMOVAL;

typedef struct _STORAGE_DEVICE_NUMBER {
    DWORD DeviceType;
    DWORD DeviceNumber;
    DWORD PartitionNumber;
} STORAGE_DEVICE_NUMBER, *PSTORAGE_DEVICE_NUMBER;

#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2
typedef struct _SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT, *PSCSI_PASS_THROUGH_DIRECT;

// ---------------------------------------------------------------- SetupAPI
typedef PVOID HDEVINFO;
typedef DWORD DEVINST;
typedef DWORD DEVNODE;
typedef DWORD* PDEVINST;
typedef DWORD* PDEVNODE;
typedef DWORD CONFIGRET;
typedef UINT DI_FUNCTION;

#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010
#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;

typedef struct _SP_CLASSINSTALL_HEADER {
    DWORD cbSize;
    DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

typedef struct _SP_PROPCHANGE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD StateChange;
    DWORD Scope;
    DWORD HwProfile;
} SP_PROPCHANGE_PARAMS, *PSP_PROPCHANGE_PARAMS;

#define DIF_PROPERTYCHANGE 0x00000012
#define DIF_REMOVE 0x00000005
#define DICS_ENABLE 0x00000001
#define DICS_DISABLE 0x00000002
#define DICS_PROPCHANGE 0x00000003
#define DICS_START 0x00000004
#define DICS_STOP 0x00000005
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DICS_FLAG_CONFIGGENERAL 0x00000004

#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_LOCATION_INFORMATION 0x0000000D
#define SPDRP_UPPERFILTERS 0x00000011
#define SPDRP_LOWERFILTERS 0x00000012
#define SPDRP_ENUMERATOR_NAME 0x00000016
#define SPDRP_BUSNUMBER 0x00000015
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
extern "C" BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* interfaceGuid,
                                                   DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData);
extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                                        PDWORD requiredSize, PSP_DEVINFO_DATA data);
extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                         PDWORD type, PBYTE buffer, DWORD bufferSize,
                                                         PDWORD requiredSize);
extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                         PDWORD type, PBYTE buffer, DWORD bufferSize,
                                                         PDWORD requiredSize);
extern "C" BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                         const BYTE* buffer, DWORD bufferSize);
extern "C" BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data,
                                                     PSP_CLASSINSTALL_HEADER params, DWORD paramsSize);
extern "C" BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data);
extern "C" BOOL WINAPI SetupDiRemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA data);
#define DI_NEEDRESTART 0x00000080L
#define DI_NEEDREBOOT 0x00000100L
typedef struct _SP_DEVINSTALL_PARAMS_W {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PVOID InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    PVOID FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    WCHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_W, *PSP_DEVINSTALL_PARAMS_W;
extern "C" BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data,
                                                      PSP_DEVINSTALL_PARAMS_W params);
extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set);

// ---------------------------------------------------------------- configuration manager
#define CR_SUCCESS 0x00000000
#define CR_DEFAULT 0x00000001
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_FAILURE 0x00000013
#define CR_BUFFER_SMALL 0x0000001A
#define CR_REGISTRY_ERROR 0x0000001B
#define CR_INVALID_PROPERTY 0x00000035
#define CR_NO_SUCH_VALUE 0x00000025
#define CR_REMOVE_VETOED 0x00000017
#define CR_ACCESS_DENIED 0x00000033

#define CM_DRP_DEVICEDESC 0x00000001
#define CM_DRP_HARDWAREID 0x00000002
#define CM_DRP_COMPATIBLEIDS 0x00000003
#define CM_DRP_SERVICE 0x00000005
#define CM_DRP_CLASS 0x00000008
#define CM_DRP_CLASSGUID 0x00000009
#define CM_DRP_DRIVER 0x0000000A
#define CM_DRP_FRIENDLYNAME 0x0000000D
#define CM_DRP_LOCATION_INFORMATION 0x0000000E
#define CM_DRP_UPPERFILTERS 0x00000012
#define CM_DRP_LOWERFILTERS 0x00000013
#define CM_DRP_BUSNUMBER 0x00000016
#define CM_DRP_ENUMERATOR_NAME 0x00000017

#define DN_ROOT_ENUMERATED 0x00000001
#define DN_DRIVER_LOADED 0x00000002
#define DN_ENUM_LOADED 0x00000004
#define DN_STARTED 0x00000008
#define DN_HAS_PROBLEM 0x00000400
#define DN_DISABLEABLE 0x00002000
#define DN_REMOVABLE 0x00004000
#define CM_PROB_NOT_CONFIGURED 0x00000001
#define CM_PROB_FAILED_START 0x0000000A
#define CM_PROB_NORMAL_CONFLICT 0x0000000C
#define CM_PROB_DISABLED 0x00000016
#define CM_PROB_HELD_FOR_EJECT 0x0000002F
#define CM_PROB_FAILED_INSTALL 0x0000001C

typedef enum _PNP_VETO_TYPE {
    PNP_VetoTypeUnknown = 0,
    PNP_VetoLegacyDevice,
    PNP_VetoPendingClose,
    PNP_VetoWindowsApp,
    PNP_VetoWindowsService,
    PNP_VetoOutstandingOpen,
    PNP_VetoDevice,
    PNP_VetoDriver,
    PNP_VetoIllegalDeviceRequest,
    PNP_VetoInsufficientPower,
    PNP_VetoNonDisableable,
    PNP_VetoLegacyDriver,
    PNP_VetoInsufficientRights
} PNP_VETO_TYPE, *PPNP_VETO_TYPE;

extern "C" CONFIGRET WINAPI CM_Get_Parent(PDEVINST parent, DEVINST devInst, ULONG flags);
extern "C" CONFIGRET WINAPI CM_Get_Child(PDEVINST child, DEVINST devInst, ULONG flags);
extern "C" CONFIGRET WINAPI CM_Get_Sibling(PDEVINST sibling, DEVINST devInst, ULONG flags);
extern "C" CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags);
extern "C" CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST devInst, ULONG property, PULONG type,
                                                              PVOID buffer, PULONG length, ULONG flags);
extern "C" CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST devInst, ULONG property, PULONG type,
                                                              PVOID buffer, PULONG length, ULONG flags);
extern "C" CONFIGRET WINAPI CM_Set_DevNode_Registry_PropertyW(DEVINST devInst, ULONG property, PCVOID buffer,
                                                              ULONG length, ULONG flags);
extern "C" CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST devInst, ULONG flags);
extern "C" CONFIGRET WINAPI CM_Request_Device_EjectW(DEVINST devInst, PPNP_VETO_TYPE vetoType, LPWSTR vetoName,
                                                     ULONG nameLength, ULONG flags);
#define CM_REMOVE_UI_OK 0x00000000
#define CM_REMOVE_UI_NOT_OK 0x00000001
#define CM_REMOVE_NO_RESTART 0x00000002
extern "C" CONFIGRET WINAPI CM_Query_And_Remove_SubTreeW(DEVINST ancestor, PPNP_VETO_TYPE vetoType, LPWSTR vetoName,
                                                         ULONG nameLength, ULONG flags);
#define CM_SETUP_DEVNODE_READY 0x00000000
#define CM_SETUP_DEVNODE_RESET 0x00000004
extern "C" CONFIGRET WINAPI CM_Setup_DevNode(DEVINST devInst, ULONG flags);

// ---------------------------------------------------------------- services
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
#define SERVICE_CONTINUE_PENDING 0x00000005
#define SERVICE_PAUSE_PENDING 0x00000006
#define SERVICE_ACCEPT_STOP 0x00000001
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004
#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_CONTROL_PAUSE 0x00000002
#define SERVICE_CONTROL_CONTINUE 0x00000003
#define SERVICE_CONTROL_INTERROGATE 0x00000004
#define SERVICE_CONTROL_SHUTDOWN 0x00000005

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

struct SERVICE_STATUS_HANDLE__ { int unused; };
typedef SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;
typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONW)(DWORD argc, LPWSTR* argv);
typedef void(WINAPI* LPHANDLER_FUNCTION)(DWORD control);
typedef struct _SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
} SERVICE_TABLE_ENTRYW, *LPSERVICE_TABLE_ENTRYW;

extern "C" BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler);
extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

// ---------------------------------------------------------------- named pipes
#define PIPE_ACCESS_INBOUND 0x00000001
#define PIPE_ACCESS_OUTBOUND 0x00000002
#define PIPE_ACCESS_DUPLEX 0x00000003
#define PIPE_TYPE_BYTE 0x00000000
#define PIPE_READMODE_BYTE 0x00000000
#define PIPE_WAIT 0x00000000
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008
#define NMPWAIT_USE_DEFAULT_WAIT 0x00000000
#define NMPWAIT_WAIT_FOREVER 0xffffffff
extern "C" HANDLE WINAPI CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                          DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeOut,
                                          LPSECURITY_ATTRIBUTES sa);
extern "C" BOOL WINAPI ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED ov);
extern "C" BOOL WINAPI DisconnectNamedPipe(HANDLE pipe);
extern "C" BOOL WINAPI WaitNamedPipeW(LPCWSTR name, DWORD timeout);

// ---------------------------------------------------------------- security
#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH 40
typedef PVOID PSECURITY_DESCRIPTOR;
typedef struct _SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    PVOID Owner;
    PVOID Group;
    PVOID Sacl;
    PVOID Dacl;
} SECURITY_DESCRIPTOR;
typedef struct _ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
} ACL, *PACL;
typedef enum _ACCESS_MODE { NOT_USED_ACCESS = 0, GRANT_ACCESS, SET_ACCESS, DENY_ACCESS, REVOKE_ACCESS } ACCESS_MODE;
typedef enum _MULTIPLE_TRUSTEE_OPERATION { NO_MULTIPLE_TRUSTEE, TRUSTEE_IS_IMPERSONATE } MULTIPLE_TRUSTEE_OPERATION;
typedef enum _TRUSTEE_FORM { TRUSTEE_IS_SID, TRUSTEE_IS_NAME, TRUSTEE_BAD_FORM } TRUSTEE_FORM;
typedef enum _TRUSTEE_TYPE {
    TRUSTEE_IS_UNKNOWN,
    TRUSTEE_IS_USER,
    TRUSTEE_IS_GROUP,
    TRUSTEE_IS_DOMAIN,
    TRUSTEE_IS_ALIAS,
    TRUSTEE_IS_WELL_KNOWN_GROUP
} TRUSTEE_TYPE;
typedef struct _TRUSTEE_W {
    struct _TRUSTEE_W* pMultipleTrustee;
    MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
    TRUSTEE_FORM TrusteeForm;
    TRUSTEE_TYPE TrusteeType;
    LPWSTR ptstrName;
} TRUSTEE_W;
typedef struct _EXPLICIT_ACCESS_W {
    DWORD grfAccessPermissions;
    ACCESS_MODE grfAccessMode;
    DWORD grfInheritance;
    TRUSTEE_W Trustee;
} EXPLICIT_ACCESS_W, *PEXPLICIT_ACCESS_W;
#define NO_INHERITANCE 0x0
typedef PVOID PSID;
#define SECURITY_MAX_SID_SIZE 68
typedef enum _WELL_KNOWN_SID_TYPE {
    WinNullSid = 0,
    WinWorldSid = 1,
    WinNetworkSid = 9,
    WinInteractiveSid = 11,
    WinAuthenticatedUserSid = 17,
    WinLocalSystemSid = 22,
    WinBuiltinAdministratorsSid = 26,
    WinBuiltinUsersSid = 27
} WELL_KNOWN_SID_TYPE;
extern "C" BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domain, PSID sid, DWORD* size);
extern "C" BOOL WINAPI EqualSid(PSID a, PSID b);
extern "C" BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision);
extern "C" void WINAPI BuildExplicitAccessWithNameW(PEXPLICIT_ACCESS_W ea, LPWSTR trustee, DWORD permissions,
                                                    ACCESS_MODE mode, DWORD inheritance);
extern "C" DWORD WINAPI SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);
extern "C" BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted);

// ---------------------------------------------------------------- tokens, privileges, event log
typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;
typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES;
typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_LOAD_DRIVER_NAME u"SeLoadDriverPrivilege"
#define TOKEN_QUERY 0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L
extern "C" HANDLE WINAPI GetCurrentProcess(void);
extern "C" BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
extern "C" BOOL WINAPI LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid);
extern "C" BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD length,
                                             PTOKEN_PRIVILEGES previous, PDWORD returnLength);
// A pipe server takes on its client's identity for as long as it needs to ask who it is.
#define ERROR_NO_TOKEN 1008L
#define ERROR_CANNOT_IMPERSONATE 1368L
#define ERROR_NO_IMPERSONATION_TOKEN 1309L
extern "C" HANDLE WINAPI GetCurrentThread(void);
extern "C" BOOL WINAPI ImpersonateNamedPipeClient(HANDLE pipe);
extern "C" BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, PHANDLE token);
extern "C" BOOL WINAPI RevertToSelf(void);
extern "C" BOOL WINAPI CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember);
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
extern "C" HANDLE WINAPI RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
extern "C" BOOL WINAPI ReportEventW(HANDLE log, WORD type, WORD category, DWORD eventId, PVOID userSid, WORD strings,
                                    DWORD dataSize, LPCWSTR* text, PVOID data);
extern "C" BOOL WINAPI DeregisterEventSource(HANDLE log);

// ---------------------------------------------------------------- processes
typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;
typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;
extern "C" BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSa,
                                      LPSECURITY_ATTRIBUTES threadSa, BOOL inherit, DWORD flags, LPVOID environment,
                                      LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info);

// ---------------------------------------------------------------- Control Panel applets
#define CPL_INIT 1
#define CPL_GETCOUNT 2
#define CPL_INQUIRE 3
#define CPL_SELECT 4
#define CPL_DBLCLK 5
#define CPL_STOP 6
#define CPL_EXIT 7
#define CPL_NEWINQUIRE 8
typedef struct tagCPLINFO {
    int idIcon;
    int idName;
    int idInfo;
    LONG_PTR lData;
} CPLINFO, *LPCPLINFO;

// ---------------------------------------------------------------- who serves a pipe, and who may open what
// A pipe client's security quality of service, in CreateFile's flags.
#define SECURITY_ANONYMOUS 0x00000000
#define SECURITY_IDENTIFICATION 0x00010000
#define SECURITY_IMPERSONATION 0x00020000
#define SECURITY_DELEGATION 0x00030000
#define SECURITY_CONTEXT_TRACKING 0x00040000
#define SECURITY_EFFECTIVE_ONLY 0x00080000
#define SECURITY_SQOS_PRESENT 0x00100000
typedef enum _SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous,
    SecurityIdentification,
    SecurityImpersonation,
    SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL;
extern "C" DWORD WINAPI GetCurrentProcessId(void);
extern "C" BOOL WINAPI GetNamedPipeServerProcessId(HANDLE pipe, PULONG serverProcessId);

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
} SID_AND_ATTRIBUTES;
typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;
typedef enum _TOKEN_INFORMATION_CLASS { TokenUser = 1 } TOKEN_INFORMATION_CLASS;
extern "C" BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                           DWORD infoLength, PDWORD returnLength);

#define READ_CONTROL 0x00020000u
#define EVENT_QUERY_STATE 0x0001
#define CREATE_EVENT_MANUAL_RESET 0x00000001
#define CREATE_EVENT_INITIAL_SET 0x00000002
extern "C" HANDLE WINAPI CreateEventExW(LPSECURITY_ATTRIBUTES sa, LPCWSTR name, DWORD flags, DWORD desiredAccess);

#define ERROR_INVALID_LEVEL 124L
struct SC_HANDLE__ { int unused; };
typedef SC_HANDLE__* SC_HANDLE;
#define SC_MANAGER_CONNECT 0x0001
#define SERVICE_QUERY_STATUS 0x0004
typedef enum _SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 } SC_STATUS_TYPE;
typedef struct _SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
} SERVICE_STATUS_PROCESS, *LPSERVICE_STATUS_PROCESS;
extern "C" SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
extern "C" SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
extern "C" BOOL WINAPI QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer, DWORD bufferSize,
                                            LPDWORD bytesNeeded);
extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE handle);
