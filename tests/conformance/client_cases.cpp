// What a client of the service asks the system besides the pipe: its own user, and the
// service control manager's word on a service.
#include "platform/win32.h"
#include "tests/conformance/check.h"

CONFORMANCE_CASE(TokenUserIsToldInTwoSteps)
{
    HANDLE token = nullptr;
    CHECK(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    CHECK(!GetTokenInformation(token, TokenUser, nullptr, 0, &size));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    CHECK(size > sizeof(TOKEN_USER) && size <= sizeof user);
    DWORD again = 0;
    CHECK(GetTokenInformation(token, TokenUser, user, sizeof user, &again));
    CHECK_EQ(again, size);
    const auto* sid = static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
    CHECK_EQ(sid[0], 1);  // the revision, then the count of sub-authorities that fill the rest
    CHECK_EQ(size, static_cast<DWORD>(sizeof(TOKEN_USER) + 8 + 4 * sid[1]));
    if (token) CloseHandle(token);
}

CONFORMANCE_CASE(ServiceManagerKnowsNoSuchServiceAndQueriesOnlyServices)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    CHECK(manager != nullptr);
    SetLastError(0);
    CHECK(OpenServiceW(manager, W16("PX71ConformanceNoSuchService"), SERVICE_QUERY_STATUS) == nullptr);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    CHECK(!QueryServiceStatusEx(manager, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                &needed));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CHECK(CloseServiceHandle(manager));
}
