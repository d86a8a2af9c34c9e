// The simulated Windows machine: what a PC with the adapter would hold, kept in
// memory, behind the Win32 subset of sim/include/windows.h.
//
// A test or tool builds a Machine, makes it the active one with ActiveMachine, and
// then calls PX71 code, which reaches the machine only through the Win32 calls.
// The machine records every call (CallLog), can fail any of them (Faults) and counts
// what is held open (Accounting).
#pragma once

#include <windows.h>

#include "sim/storage.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;
using WideList = std::vector<std::u16string>;

// ---------------------------------------------------------------- text helpers
std::u16string Widen(std::string_view utf8);
std::string Narrow(std::u16string_view wide);           // UTF-8, for messages and logs
std::string ToAnsi(std::u16string_view wide);            // the machine's ANSI code page (1252)
std::u16string FromAnsi(std::string_view ansi);
std::u16string Lower(std::u16string_view text);          // ASCII case folding, as device IDs need
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
Bytes MultiSzBytes(const WideList& entries);             // entries, NULs, closing NUL
Bytes SzBytes(std::u16string_view text);                 // text and its NUL
Bytes DwordBytes(DWORD value);
WideList ParseMultiSz(const Bytes& data);                // stops at the empty entry or the end
std::string GuidText(const GUID& guid);

// Setup classes and interface classes the machine knows by name.
extern const GUID kClassSystem;
extern const GUID kClassUsb;
extern const GUID kClassPcmcia;
extern const GUID kClassScsiAdapter;
extern const GUID kClassDiskDrive;
extern const GUID kClassVolume;
extern const GUID kInterfaceDisk;

// ---------------------------------------------------------------- device tree
struct Property {
    DWORD type = REG_NONE;
    Bytes data;
    bool operator==(const Property&) const = default;
};

// What a device node is made of, for building machines.
struct NewDevice {
    std::string enumerator = "ROOT";
    GUID class_guid{};
    WideList hardware_ids;
    WideList compatible_ids;
    WideList upper_filters;           // empty: no UpperFilters value at all
    std::u16string description;       // empty: no DeviceDesc
    std::u16string friendly_name;     // empty: no FriendlyName
    std::u16string service;           // empty: no Service
    std::optional<DWORD> bus_number;  // no BusNumber when absent
    bool present = true;
    ULONG status = DN_DRIVER_LOADED | DN_STARTED;
    ULONG problem = 0;
    // Once ejected, the node stays until the card is pulled, with problem 47 (held for
    // eject), as Windows keeps many USB and CardBus devices; otherwise it goes at once.
    bool held_after_eject = false;
};

struct DeviceInterface {
    GUID interface_class{};
    std::u16string path;  // the symbolic link a detail query returns
    bool operator==(const DeviceInterface&) const = default;
};

// A disable or stop of a device that waits for the next restart.
enum class Pending { kNone, kDisable, kStop };

struct DevNode {
    DEVINST id = 0;
    DEVINST parent = 0;  // 0 for the root
    std::vector<DEVINST> children;
    std::size_t sibling_index = 0;  // where Add put it among its parent's children
    std::string enumerator;
    GUID class_guid{};
    bool present = true;
    ULONG status = 0;
    ULONG problem = 0;
    bool refuse_property_writes = false;
    bool held_after_eject = false;             // see NewDevice
    // An eject of this node (or above it) is vetoed when either is set; a name alone
    // vetoes with the type PNP_VetoTypeUnknown.
    PNP_VETO_TYPE veto = PNP_VetoTypeUnknown;
    std::u16string veto_name;  // who vetoes, as the eject request reports it
    // Not present because this ancestor stopped or was disabled: it comes back when that
    // ancestor starts (sim/pnp.h). 0 for a node present, or gone for good.
    DEVINST taken_down_by = 0;
    // A change that a veto deferred: kept in the hardware profile, it takes effect at the
    // machine's next restart.
    Pending pending = Pending::kNone;
    // Removed by a query-and-remove of it or of a node above it: not present, it comes
    // back when its parent is enumerated again, or, with no_restart, only once it is
    // reset, its card comes anew, or the machine restarts (reference:
    // CM_Query_And_Remove_SubTree, CM_REMOVE_NO_RESTART; CM_Setup_DevNode).
    bool query_removed = false;
    bool no_restart = false;
    // Its registry keys deleted by a removal that must wait for the restart: the node
    // still runs, but what the registry held of it (names, IDs, service) reads as absent
    // until the restart installs it anew (reference: SetupDiRemoveDevice).
    bool keys_deleted = false;
    std::map<ULONG, Property> properties;  // by CM_DRP_ code
    std::vector<DeviceInterface> interfaces;
    bool operator==(const DevNode&) const = default;
};

class DeviceTree {
public:
    DeviceTree();

    DEVINST root() const { return root_; }
    DEVINST Add(DEVINST parent, const NewDevice& dev);
    DevNode& node(DEVINST id);
    const DevNode* find(DEVINST id) const;
    DevNode* find(DEVINST id);
    // Every node, root first, in the order the device manager enumerates them.
    const std::vector<DEVINST>& order() const { return order_; }

    void SetProperty(DEVINST id, ULONG cm_code, DWORD type, Bytes data);
    void SetMultiSz(DEVINST id, ULONG cm_code, const WideList& entries);
    void DeleteProperty(DEVINST id, ULONG cm_code);
    const Property* property(DEVINST id, ULONG cm_code) const;
    std::optional<WideList> MultiSz(DEVINST id, ULONG cm_code) const;

    // Takes a node and everything below it out of the live tree.
    void RemoveSubtree(DEVINST id);

    // The live tree a configuration-manager walk sees: present nodes only.
    std::optional<DEVINST> FirstPresentChild(DEVINST id) const;
    std::optional<DEVINST> NextPresentSibling(DEVINST id) const;

    bool operator==(const DeviceTree&) const = default;

private:
    DEVINST root_ = 0;
    DEVINST next_id_ = 1;
    std::unordered_map<DEVINST, DevNode> nodes_;  // walks look nodes up by the thousand
    std::vector<DEVINST> order_;
};

// ---------------------------------------------------------------- registry
struct RegValue {
    std::u16string name;  // as written, case kept
    DWORD type = REG_NONE;
    Bytes data;
};

struct RegKey {
    std::u16string name;
    std::map<std::u16string, RegValue> values;                  // by lower-case name
    std::map<std::u16string, std::shared_ptr<RegKey>> subkeys;  // by lower-case name
    bool deny_write_access = false;  // an open that asks for more than KEY_READ fails
    bool refuse_writes = false;      // RegSetValueEx fails with ERROR_ACCESS_DENIED
    std::set<std::u16string> refused_values;  // lower-case names whose writes fail so, one by one
    bool deleted = false;
};

class Registry {
public:
    Registry();

    // Paths name a root ("HKLM", "HKCU" or the full HKEY_ name) and subkeys: "HKLM\\SYSTEM\\...".
    std::shared_ptr<RegKey> CreateKey(std::u16string_view path);
    std::shared_ptr<RegKey> Key(std::u16string_view path) const;  // null when missing
    void DeleteKey(std::u16string_view path);
    void SetDword(std::u16string_view path, std::u16string_view name, DWORD value);
    void SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value);
    void SetValue(std::u16string_view path, std::u16string_view name, DWORD type, Bytes data);
    const RegValue* Value(std::u16string_view path, std::u16string_view name) const;
    std::optional<DWORD> Dword(std::u16string_view path, std::u16string_view name) const;

    std::shared_ptr<RegKey> Root(HKEY predefined) const;  // null for anything else
    static std::shared_ptr<RegKey> Walk(std::shared_ptr<RegKey> from, std::u16string_view subkey, bool create);
    // A registry of its own with the same keys and values (a copy shares the keys).
    Registry DeepCopy() const;

private:
    std::map<std::uintptr_t, std::shared_ptr<RegKey>> roots_;
};

// ---------------------------------------------------------------- PCI configuration space
// One function per bus (device 0, function 0), 64 dword registers.
struct PciFunction {
    std::array<std::uint32_t, 64> registers{};
    std::array<std::uint32_t, 64> writable{};  // bits a write can change
};

class DumpDriver {
public:
    bool installed = true;          // "\\.\XUDUMP" exists
    bool fail_requests = false;     // DeviceIoControl completes with ERROR_GEN_FAILURE
    std::set<std::uint8_t> refused_buses;  // requests naming them fail: ERROR_INVALID_PARAMETER
    int open_handles = 0;
    std::map<std::uint8_t, PciFunction> functions;  // by bus
    // Called after a write changed a register: lets the machine model what the
    // hardware does with it (a link switched off, a card that goes away).
    std::function<void(std::uint8_t bus, std::uint8_t reg, std::uint32_t before, std::uint32_t after)> on_write;

    std::uint32_t Read(std::uint8_t bus, std::uint8_t reg) const;   // all ones where nothing answers
    void Write(std::uint8_t bus, std::uint8_t reg, std::uint32_t value);
    void Set(std::uint8_t bus, std::uint8_t reg, std::uint32_t value, std::uint32_t writable_mask = 0);
};

// An ExpressCard slot behind a bridge function, wired like the hardware (sim/slot.h):
// Link Disable in register 0x50 takes the link down and the card's nodes with it; the
// card comes back once the link is up and the bridge is re-enumerated; Presence
// Detect State in register 0x58 follows the card.
struct Slot {
    std::uint8_t bus = 0;       // bus of the bridge function
    DEVINST bridge = 0;         // the bridge function's node
    DEVINST card = 0;           // the card's top node, 0 when there is none
    std::uint8_t card_bus = 0;  // bus of the card's configuration space
    bool inserted = false;      // a card sits in the slot
    bool link_up = true;
    std::vector<DEVINST> taken_down;    // nodes that left with the link or the card
    std::optional<PciFunction> parked;  // the card's registers while it does not answer
};

// A card that left while Windows still held its nodes (its link went off, or it was
// pulled, without a query-and-remove first): a surprise removal (reference: "Handling an
// IRP_MN_SURPRISE_REMOVAL Request"). What was open on it is cut: the files are lost, and
// the handles fail from then on, even once the card comes back.
struct SurpriseRemoval {
    std::uint8_t bus = 0;                 // the slot bridge's bus
    std::vector<std::u16string> devices;  // the nodes still present, by description, in tree order
    struct OpenFiles {
        std::u16string volume;  // "K:" or its mount folder
        int files = 0;
        bool operator==(const OpenFiles&) const = default;
    };
    std::vector<OpenFiles> open_files;
    struct RawHandles {
        DWORD disk = 0;
        int handles = 0;
        bool operator==(const RawHandles&) const = default;
    };
    std::vector<RawHandles> raw_handles;  // programs' handles on \\.\PhysicalDriveN
    std::size_t handles = 0;  // handles on its disks and volumes opened through this machine's calls
    bool operator==(const SurpriseRemoval&) const = default;
};

// A DIF_PROPERTYCHANGE the class installer carried out.
struct PropertyChange {
    DEVINST node = 0;
    DWORD state_change = 0;  // DICS_
    DWORD scope = 0;         // DICS_FLAG_
    DWORD hw_profile = 0;
    bool deferred = false;   // a veto kept it for the next restart
};

// ---------------------------------------------------------------- faults, call log, accounting
struct Fault {
    std::string function;   // empty: any API call counts
    std::uint64_t nth = 1;  // the n-th matching call after arming, 1-based
    DWORD error = ERROR_GEN_FAILURE;  // last error / LSTATUS of the failed call
    CONFIGRET cr = CR_FAILURE;        // result of a failed configuration-manager call
    bool persistent = false;          // fail the n-th and every later matching call
    // Whose calls count: every thread's (no thread given), only `thread`'s, or, with
    // `other_threads`, those of every thread but `thread`. A test fails one side of a
    // conversation this way, whatever the order in which the two sides' calls arrive.
    std::thread::id thread{};
    bool other_threads = false;
    // Only calls whose logged argument [first] is [second] count (a property code, say).
    std::optional<std::pair<std::size_t, std::uint64_t>> argument = std::nullopt;
};

struct CallRecord {
    std::string function;
    std::vector<std::uint64_t> args;
    std::string text;  // string arguments, UTF-8
    bool failed = false;
    std::thread::id thread;  // the caller
    std::chrono::steady_clock::time_point at;  // when, on the machine's clock
};

struct Accounting {
    std::size_t handles = 0;
    std::size_t sets = 0;
    std::size_t keys = 0;
    std::size_t heap_blocks = 0;
    std::size_t bad_releases = 0;  // closes and frees of things that were not held
    // Handles used that were not held, by a process that asked for strict handle checks:
    // Windows raises an exception there, which ends the process.
    std::size_t strict_handle_faults = 0;
    bool operator==(const Accounting&) const = default;
};
std::string Describe(const Accounting& accounting);

// Whose token a thread carries: an administrator, a plain user, or an administrator
// whose token UAC filtered (Administrators present for deny only: the token is no member
// of it, and a deny entry for Administrators still refuses it; reference,
// CheckTokenMembership, "SID Attributes in an Access Token").
enum class Account { kAdministrator, kUser, kFilteredAdministrator };

class Machine;
namespace api {
class Call;
}
class Files;

// A kernel object behind a HANDLE. ReadFile, WriteFile, FlushFileBuffers,
// SetFilePointer, CancelIo and DeviceIoControl reach the object through these; each
// kind of object (file, pipe, device) answers the ones it knows.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual const char* kind() const = 0;
    // The defaults are those of an object that knows no such request.
    virtual BOOL Ioctl(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned);
    // Waits: whether the object can be waited on, whether a wait on it is satisfied
    // now, and what satisfying a wait does to it (an auto-reset event resets).
    virtual bool Waitable() const { return false; }
    virtual bool Signalled() const { return false; }
    virtual void Satisfy() {}
    // When the object becomes signalled by itself, on the machine's clock (a timer's due
    // time); nothing for an object that only a call signals.
    virtual std::optional<std::chrono::steady_clock::time_point> SignalsAt() const { return std::nullopt; }
    // The handle to the object was closed (called with the machine locked).
    virtual void Closed() {}
    // The physical disk a handle on a disk or a volume reaches, by number; none otherwise.
    virtual std::optional<DWORD> Disk() const { return std::nullopt; }
    // ReadFile, WriteFile, FlushFileBuffers and CancelIo on the object, called with
    // the machine locked in `lock` (a blocking call gives it up while it waits). The
    // default is an object that knows no such request.
    virtual BOOL Read(Machine& machine, std::unique_lock<std::recursive_mutex>& lock, void* buffer, DWORD size,
                      DWORD* done, LPOVERLAPPED ov);
    virtual BOOL Write(Machine& machine, std::unique_lock<std::recursive_mutex>& lock, const void* buffer,
                       DWORD size, DWORD* done, LPOVERLAPPED ov);
    virtual BOOL Flush(Machine& machine, std::unique_lock<std::recursive_mutex>& lock);
    virtual BOOL Cancel(Machine&) { return TRUE; }
    virtual DWORD SetPointer(LONG distance, LONG* distance_high, DWORD method);
};

struct Processes;  // sim/processes.h: events, threads, named pipes, the service controller

// ---------------------------------------------------------------- the machine
// Every member of Machine, Processes and Files belongs in a snapshot (sim/snapshot.cpp).
class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Snapshots: everything the machine holds, so that a machine built once can be put
    // back as it was (a fuzzer does so before every input instead of building anew).
    // Taken when nothing is held open and no thread of the machine's is left; it aborts
    // otherwise. Restore joins the machine's threads, drops what is held open and puts
    // back every part, down to the call log, the faults and the next handle values. A
    // snapshot goes back only into its own machine: the slots' wiring points at it.
    struct SavedState;
    std::shared_ptr<const SavedState> Snapshot() const;
    void Restore(const SavedState& saved);

private:
    // The parts a snapshot copies as they are, each with its place in the saved state:
    // one list for both directions (sim/snapshot.cpp).
    template <typename M, typename S, typename Copy>
    static void EachPlainPart(M& machine, S& saved, Copy copy);

public:

    DeviceTree tree;
    Registry registry;
    DumpDriver dump;
    Storage storage;
    std::vector<Slot> slots;
    std::vector<PropertyChange> property_changes;  // in the order they were made
    std::vector<SurpriseRemoval> surprise_removals;  // in the order they happened
    std::vector<DEVINST> reenumerations;           // CM_Reenumerate_DevNode, in order
    Files& files() { return *files_; }  // sim/files.h
    std::optional<SYSTEMTIME> local_time;  // what GetLocalTime tells; the host's clock when unset
    // The language Windows was installed in: the account names ("Users", "Administrators",
    // ...) are translated, so a name resolves only in its own language: "en" or "fr".
    std::string language = "en";
    // The message boxes the system showed on a program's behalf, in order: the hard-error
    // box of a file-system call on an empty removable drive from a thread without
    // SEM_FAILCRITICALERRORS, and the veto of an eject asked for without a veto buffer.
    std::vector<std::string> system_boxes;
    // The program is a 32-bit one on 64-bit Windows (WOW64): the device installation
    // functions that change a device refuse it with ERROR_IN_WOW64.
    bool wow64 = false;
    // The system timer's period: Sleep ends on a tick, so Sleep(1) lasts a whole one
    // (reference: Sleep, "timeGetDevCaps"; 15.625 ms unless a program asked for finer).
    double timer_tick_ms = 15.625;
    // The file system of the program's drive keeps no byte-range locks: LockFileEx fails
    // with ERROR_NOT_SUPPORTED (some network redirectors and file systems do).
    bool no_byte_range_locks = false;
    // The process's token: the privileges it holds, each enabled or not. A LocalSystem
    // service holds SeLoadDriverPrivilege, not enabled until it asks.
    std::map<std::u16string, bool> privileges{{u"SeLoadDriverPrivilege", false}};
    // Who calls (sim/identity.h): the user the program's threads run as, by SID, and the
    // kind of token they carry (a thread may carry another: sim::CallerAccount); the
    // program's process id; and the process the service control manager started the
    // service in (0 before any). A service's own threads run as SYSTEM in that process.
    struct User {
        std::u16string sid;
        Account account = Account::kAdministrator;
        bool operator==(const User&) const = default;
    };
    // The built-in Administrator of a machine in a domain.
    User user{u"S-1-5-21-3623811015-3361044348-30300820-500", Account::kAdministrator};
    DWORD process_id = 4012;
    DWORD service_process_id = 0;
    // Windows 8 and later: kernel32 exports SetDefaultDllDirectories (on Windows 7 only
    // with update KB2533623) and SetProcessMitigationPolicy.
    bool mitigation_exports = true;
    // Where this Windows keeps 64-bit programs (FOLDERID_ProgramFiles): on the drive it
    // was installed on.
    std::u16string program_files = u"C:\\Program Files";
    // What programs reported to the system's event log, as "source: text".
    std::vector<std::string> event_log;
    // Each call first lets the other threads run, so that races between calls show.
    std::atomic<bool> interleave_calls{false};
    // Time. The machine's clock is the host's until virtual time is switched on. Then it
    // stands still while any thread that takes part in the machine (TakePart) runs, and
    // moves only when every one of them waits: to the earliest moment at which a wait
    // ends by itself (its time-out, a timer's due time), and that wait ends, one wait at
    // a time, the machine's own threads' before a driver's at the same moment. A bound a
    // program measures on the clock then holds to the millisecond whatever the host's
    // load, condition variables and waitable timers included, and a session's "wait
    // 3000" lets three seconds of the machine's time pass while its services run. A
    // program on one thread sees what real time would show it, at once.
    void SetVirtualTime(bool on);
    bool virtual_time() const { return virtual_time_; }
    // The machine's clock: the host's, plus the time virtual waits skipped. GetTickCount64 reads it.
    std::chrono::steady_clock::time_point Now() const
    {
        return clock_stopped_ ? stopped_at_ : std::chrono::steady_clock::now() + skipped_;
    }
    // A test whose verdict must not depend on how fast the host runs stops the clock:
    // bounds measured on it (a writer's wait for the log's lock, say) then never run out.
    void StopClock()
    {
        std::lock_guard lock(mutex);
        stopped_at_ = Now();
        clock_stopped_ = true;
    }

    // Faults
    void ArmFault(Fault fault);
    void ClearFaults();

    // Holds: every call of a held function waits at its start until it is released,
    // so a test can act while the caller is at a known point.
    void Hold(std::string function);
    void Release(const std::string& function);
    bool Held(const std::string& function) const { return held_.count(function) != 0; }  // with mutex held

    // Call log
    std::vector<CallRecord> calls() const;
    std::size_t CallCount(std::string_view function) const;
    std::size_t TotalCalls() const;
    void ClearCalls();
    void set_logging(bool on) { logging_ = on; }

    // Accounting
    Accounting Outstanding() const;
    void ForgetBadReleases() { bad_releases_ = 0; }  // after a test provoked one on purpose

    // Events, threads, pipes and services: the machine's second floor.
    Processes& processes() { return *processes_; }

    // ---- used by the Win32 implementation
    std::recursive_mutex mutex;
    // Notified whenever something a blocked call may wait for changes; waiters hold mutex.
    std::condition_variable_any changed;
    // Something a wait may be waiting for changed: every waiter looks again.
    void Notify()
    {
        ++generation_;
        changed.notify_all();
    }
    // A wait of the calling thread, with mutex held, from its start to its end: what
    // virtual time needs to know of it (sim/processes.h, WaitUntil).
    class Wait {
    public:
        using TimePoint = std::chrono::steady_clock::time_point;
        Wait(Machine& machine, std::optional<TimePoint> due);
        ~Wait();
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;
        // The waiter looked again and still waits, now until `due`; the clock may move.
        void Again(std::optional<TimePoint> due);
        // The waiter must look again before it sleeps: the clock came to its due time, or
        // its own registration moved the clock on (a change it has not looked at).
        bool MustLook() const;
        // Its moment came on the clock, but it is another wait's turn to end first.
        bool AwaitsTurn() const;
        std::optional<TimePoint> due() const;

    private:
        Machine& machine_;
        std::uint64_t id_;
    };
    // The calling thread takes part in the machine's time (TakePart in sim/processes.h);
    // `expected`: its creator counted it already (ExpectThread).
    void Join(bool driver, bool expected = false);
    void Leave();
    // A thread about to start will take part: it counts as running from now on, so that
    // the clock does not move on before it has begun.
    void ExpectThread();
    struct FaultHit {
        DWORD error;
        CONFIGRET cr;
    };
    std::optional<FaultHit> Enter(const char* function, std::initializer_list<std::uint64_t> args, std::string text);

    HANDLE AddHandle(std::shared_ptr<KernelObject> object);
    std::shared_ptr<KernelObject> Object(HANDLE handle) const;
    // Every object a handle is open on, once per handle.
    template <typename Visit>
    void ForEachObject(Visit visit) const
    {
        for (const auto& [handle, object] : handles_) visit(*object);
    }
    bool CloseObject(HANDLE handle);

    struct DeviceSet {
        std::vector<DEVINST> members;
        GUID interface_class{};
        bool interfaces = false;  // built with DIGCF_DEVICEINTERFACE
        std::map<DEVINST, Bytes> class_install_params;  // SetupDiSetClassInstallParams, by element
        std::map<DEVINST, DWORD> install_flags;         // the DI_ flags of an element's install parameters
    };
    HDEVINFO AddSet(DeviceSet set);
    DeviceSet* Set(HDEVINFO handle);
    bool DestroySet(HDEVINFO handle);

    struct OpenKey {
        std::shared_ptr<RegKey> key;
        REGSAM access = 0;
    };
    HKEY AddKey(OpenKey key);
    OpenKey* Key(HKEY handle);
    bool CloseKey(HKEY handle);

    void* Allocate(std::size_t bytes, bool zero);
    bool Free(void* block);

private:
    std::unique_ptr<Processes> processes_;
    std::unique_ptr<Files> files_;
    std::set<std::string> held_;
    bool logging_ = true;
    std::vector<CallRecord> calls_;
    std::uint64_t total_calls_ = 0;
    struct ArmedFault {
        Fault fault;
        std::uint64_t seen = 0;
        bool spent = false;
    };
    std::vector<ArmedFault> faults_;

    std::uintptr_t next_handle_ = 0x1000;
    std::map<HANDLE, std::shared_ptr<KernelObject>> handles_;
    std::uintptr_t next_set_ = 0x20000000;
    std::map<HDEVINFO, DeviceSet> sets_;
    std::uintptr_t next_key_ = 0x30000000;
    std::map<HKEY, OpenKey> keys_;
    std::unordered_map<void*, std::size_t> heap_;
    std::size_t bad_releases_ = 0;
    mutable std::size_t strict_handle_faults_ = 0;
    std::chrono::steady_clock::duration skipped_{};
    std::chrono::steady_clock::time_point stopped_at_{};
    std::atomic<bool> clock_stopped_{false};
    bool virtual_time_ = false;
    // Virtual time's bookkeeping, under mutex. Each thread that takes part, by how deep
    // and whether it is a driver; how many of them run (do not wait); the waits under
    // way; and the change (Notify) each waiter last looked at.
    struct Part {
        int depth = 0;
        bool driver = false;
        bool waiting = false;
    };
    struct Waiter {
        std::thread::id thread;
        std::optional<std::chrono::steady_clock::time_point> due;
        bool driver = false;
        bool takes_part = false;
        std::uint64_t looked = 0;  // the generation it last looked at
        bool released = false;     // its due time came: it runs again
    };
    std::unordered_map<std::thread::id, Part> parts_;
    std::map<std::uint64_t, Waiter> waiters_;  // by order of arrival
    std::uint64_t next_waiter_ = 0;
    std::size_t running_ = 0;
    std::size_t expected_threads_ = 0;  // counted in running_, not yet begun
    std::uint64_t generation_ = 0;
    bool release_pending_ = false;
    // Moves the clock on when every thread that takes part waits and every waiter has
    // looked at the last change.
    void MaybeAdvance();
};

// A thread the machine started (CreateThread) runs on that machine, whatever is active
// meanwhile: like a thread of a process, it may outlast the test's ActiveMachine, up to
// the machine's end, which joins it.
void BindThreadToMachine(Machine& machine);

// Makes a machine the one the Win32 calls reach, for the lifetime of this object.
class ActiveMachine {
public:
    explicit ActiveMachine(Machine& machine);
    ~ActiveMachine();
    ActiveMachine(const ActiveMachine&) = delete;
    ActiveMachine& operator=(const ActiveMachine&) = delete;

private:
    Machine* previous_;
};

Machine& Current();  // the active machine; aborts when there is none

} // namespace sim
