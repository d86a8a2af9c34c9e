// Events and waits as the service and its client use them.
#include "platform/win32.h"
#include "tests/conformance/check.h"

#include <cstring>

namespace {

// Closes what a case opened, whatever CHECK failed on the way.
struct Handles {
    HANDLE h[4] = {};
    ~Handles()
    {
        for (HANDLE x : h)
            if (x) CloseHandle(x);
    }
};

} // namespace

CONFORMANCE_CASE(EventAutoResetIsConsumedByAWaitManualResetStays)
{
    Handles e;
    e.h[0] = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    e.h[1] = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    CHECK(e.h[0] != nullptr);
    CHECK(e.h[1] != nullptr);
    CHECK_EQ(WaitForSingleObject(e.h[0], 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(e.h[0], 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CHECK_EQ(WaitForSingleObject(e.h[1], 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(e.h[1], 0), WAIT_OBJECT_0);
    CHECK(ResetEvent(e.h[1]));
    CHECK_EQ(WaitForSingleObject(e.h[1], 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CHECK(SetEvent(e.h[0]));
    CHECK_EQ(WaitForSingleObject(e.h[0], 0), WAIT_OBJECT_0);
}

CONFORMANCE_CASE(NamedEventsAreSharedAndOpenedWithTheAccessAskedFor)
{
    const WCHAR* name = W16("Global\\PX71ConformanceEvent");
    Handles e;
    e.h[0] = CreateEventW(nullptr, TRUE, FALSE, name);
    CHECK(e.h[0] != nullptr);
    e.h[1] = CreateEventW(nullptr, FALSE, TRUE, name);  // the existing event, its mode and state kept
    CHECK(e.h[1] != nullptr);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CHECK_EQ(WaitForSingleObject(e.h[1], 0), static_cast<DWORD>(WAIT_TIMEOUT));

    e.h[2] = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    CHECK(e.h[2] != nullptr);
    CHECK(SetEvent(e.h[2]));
    CHECK_EQ(WaitForSingleObject(e.h[0], 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(e.h[0], 0), WAIT_OBJECT_0);  // manual reset: still set
    // Modify access alone does not let a holder wait.
    CHECK_EQ(WaitForSingleObject(e.h[2], 0), WAIT_FAILED);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    SetLastError(0);
    CHECK(OpenEventW(EVENT_MODIFY_STATE, FALSE, W16("Global\\PX71ConformanceNoSuchEvent")) == nullptr);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

CONFORMANCE_CASE(NamedEventsGoWithTheirLastHandle)
{
    const WCHAR* name = W16("Global\\PX71ConformanceShortLived");
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, name);
    CHECK(e != nullptr);
    CloseHandle(e);
    CHECK(OpenEventW(EVENT_MODIFY_STATE, FALSE, name) == nullptr);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

CONFORMANCE_CASE(WaitForMultipleObjectsAnyAllAndTimeOut)
{
    Handles e;
    e.h[0] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    e.h[1] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[2] = {e.h[0], e.h[1]};

    ULONGLONG start = GetTickCount64();
    CHECK_EQ(WaitForMultipleObjects(2, both, FALSE, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    CHECK(GetTickCount64() - start >= 80);

    SetEvent(e.h[1]);
    CHECK_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(e.h[0]);
    SetEvent(e.h[1]);
    CHECK_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);  // the lowest index wins
    CHECK_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);

    SetEvent(e.h[0]);
    CHECK_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CHECK_EQ(WaitForSingleObject(e.h[0], 0), WAIT_OBJECT_0);  // a wait-all that failed took nothing
    SetEvent(e.h[0]);
    SetEvent(e.h[1]);
    CHECK_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    HANDLE bad[2] = {e.h[0], reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0))};
    CHECK_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

namespace {
DWORD WINAPI SetLater(LPVOID event)
{
    Sleep(50);
    SetEvent(static_cast<HANDLE>(event));
    return 7;
}
} // namespace

CONFORMANCE_CASE(AThreadSignalsAWaiterAndEndsWithItsCode)
{
    Handles e;
    e.h[0] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    e.h[1] = CreateThread(nullptr, 0, SetLater, e.h[0], 0, nullptr);
    CHECK(e.h[1] != nullptr);
    CHECK_EQ(WaitForSingleObject(e.h[0], 5000), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(e.h[1], 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    CHECK(GetExitCodeThread(e.h[1], &code));
    CHECK_EQ(code, 7u);
}

// An event made with an access list, as the pipe's clients make theirs: opened again
// for what the list grants, refused anything more. CreateEventW asks for everything.
CONFORMANCE_CASE(EventWithAnAccessListIsOpenedForWhatItGrantsOnly)
{
    BYTE interactive[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof interactive;
    CHECK(CreateWellKnownSid(WinInteractiveSid, nullptr, interactive, &size));
    EXPLICIT_ACCESS_W entry;
    std::memset(&entry, 0, sizeof entry);
    entry.grfAccessPermissions = SYNCHRONIZE | EVENT_MODIFY_STATE;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(interactive);
    PACL acl = nullptr;
    CHECK_EQ(SetEntriesInAclW(1, &entry, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR descriptor;
    CHECK(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    CHECK(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    const WCHAR* name = W16("Global\\PX71ConformanceListed");
    const DWORD wait_and_signal = SYNCHRONIZE | EVENT_MODIFY_STATE;

    Handles e;
    e.h[0] = CreateEventExW(&attributes, name, CREATE_EVENT_MANUAL_RESET, wait_and_signal);
    CHECK(e.h[0] != nullptr);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    e.h[1] = CreateEventExW(&attributes, name, CREATE_EVENT_MANUAL_RESET, wait_and_signal);
    CHECK(e.h[1] != nullptr);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    e.h[2] = OpenEventW(wait_and_signal, FALSE, name);
    CHECK(e.h[2] != nullptr);
    CHECK(SetEvent(e.h[2]));
    CHECK_EQ(WaitForSingleObject(e.h[1], 0), WAIT_OBJECT_0);

    SetLastError(0);
    CHECK(OpenEventW(EVENT_ALL_ACCESS, FALSE, name) == nullptr);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(0);
    CHECK(CreateEventW(nullptr, TRUE, FALSE, name) == nullptr);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    if (acl) LocalFree(acl);
}

namespace {
struct Meeting {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    bool done = false;
};
DWORD WINAPI MeetLater(LPVOID parameter)
{
    auto* m = static_cast<Meeting*>(parameter);
    Sleep(50);
    AcquireSRWLockExclusive(&m->lock);
    m->done = true;
    ReleaseSRWLockExclusive(&m->lock);
    WakeAllConditionVariable(&m->changed);
    return 0;
}
} // namespace

// A sleep on a condition variable gives the lock up and has it again when it returns:
// at the time-out, with ERROR_TIMEOUT, or woken by another thread's change.
CONFORMANCE_CASE(AConditionVariableSleepEndsByTimeOutOrByAWake)
{
    Meeting m;
    AcquireSRWLockExclusive(&m.lock);
    const ULONGLONG start = GetTickCount64();
    CHECK(!SleepConditionVariableSRW(&m.changed, &m.lock, 50, 0));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    CHECK(GetTickCount64() - start >= 30);
    Handles e;
    e.h[0] = CreateThread(nullptr, 0, MeetLater, &m, 0, nullptr);
    CHECK(e.h[0] != nullptr);
    while (!m.done)
        if (!SleepConditionVariableSRW(&m.changed, &m.lock, 5000, 0)) break;
    const bool met = m.done;
    ReleaseSRWLockExclusive(&m.lock);
    CHECK(met);
    CHECK_EQ(WaitForSingleObject(e.h[0], 5000), WAIT_OBJECT_0);
}

// A synchronization timer is signalled when its due time comes and lets one wait
// through; a periodic one comes back each period until it is cancelled; a notification
// timer stays signalled until it is set again.
CONFORMANCE_CASE(AWaitableTimerSignalsAtItsDueTimeAndEachPeriod)
{
    Handles t;
    t.h[0] = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    CHECK(t.h[0] != nullptr);
    CHECK_EQ(WaitForSingleObject(t.h[0], 0), WAIT_TIMEOUT);
    LARGE_INTEGER due;
    due.QuadPart = -50 * 10000LL;  // 50 ms from now, in 100 ns units
    const ULONGLONG start = GetTickCount64();
    CHECK(SetWaitableTimer(t.h[0], &due, 0, nullptr, nullptr, FALSE));
    CHECK_EQ(WaitForSingleObject(t.h[0], 5000), WAIT_OBJECT_0);
    CHECK(GetTickCount64() - start >= 30);
    CHECK_EQ(WaitForSingleObject(t.h[0], 100), WAIT_TIMEOUT);

    due.QuadPart = -20 * 10000LL;
    CHECK(SetWaitableTimer(t.h[0], &due, 20, nullptr, nullptr, FALSE));
    for (int period = 0; period < 3; ++period) CHECK_EQ(WaitForSingleObject(t.h[0], 5000), WAIT_OBJECT_0);
    CHECK(CancelWaitableTimer(t.h[0]));
    WaitForSingleObject(t.h[0], 0);  // a period that ended before the cancel
    CHECK_EQ(WaitForSingleObject(t.h[0], 150), WAIT_TIMEOUT);

    t.h[1] = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    CHECK(t.h[1] != nullptr);
    due.QuadPart = -10000LL;
    CHECK(SetWaitableTimer(t.h[1], &due, 0, nullptr, nullptr, FALSE));
    CHECK_EQ(WaitForSingleObject(t.h[1], 5000), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(t.h[1], 0), WAIT_OBJECT_0);
    due.QuadPart = -10000LL * 10000;
    CHECK(SetWaitableTimer(t.h[1], &due, 0, nullptr, nullptr, FALSE));
    CHECK_EQ(WaitForSingleObject(t.h[1], 0), WAIT_TIMEOUT);
    CHECK(CancelWaitableTimer(t.h[1]));
}
