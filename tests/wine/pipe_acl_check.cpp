// Reads the access list of the running service's pipe and checks it: network logons
// denied every right, SYSTEM and Administrators with every right, Users with read and
// write but not WRITE_DAC, WRITE_OWNER or DELETE, and nobody else.
#include "platform/win32.h"

#include <cstdio>

namespace {

bool SidIs(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

} // namespace

int main()
{
    // With the client's event in place the service holds the connection while it waits
    // for a request; without it the service lets go at once, and the pipe handle with it.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, W16("Global\\PX71Service"));
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 50 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        pipe = CreateFileW(W16("\\\\.\\pipe\\PX71Service"), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) WaitNamedPipeW(W16("\\\\.\\pipe\\PX71Service"), 100);
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        std::printf("acl: cannot open the pipe (%lu)\n", GetLastError());
        return 1;
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                  &descriptor);
    CloseHandle(pipe);
    if (event) CloseHandle(event);
    if (error != ERROR_SUCCESS || !dacl) {
        std::printf("acl: no access list (%lu)\n", error);
        return 1;
    }
    int failures = 0;
    bool network = false, system = false, administrators = false, users = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<LPVOID*>(&header))) {
            std::printf("acl: entry %lu cannot be read\n", i);
            ++failures;
            continue;
        }
        // Allowing and denying entries share their layout.
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = &ace->SidStart;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            network = SidIs(sid, WinNetworkSid) && ace->Mask == FILE_ALL_ACCESS && i == 0;
            std::printf("acl: deny %s 0x%08lX\n", SidIs(sid, WinNetworkSid) ? "NETWORK" : "someone else", ace->Mask);
            if (!network) ++failures;
            continue;
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            std::printf("acl: entry %lu is neither allowing nor denying\n", i);
            ++failures;
            continue;
        }
        const char* who = "someone else";
        DWORD expected = 0;
        if (SidIs(sid, WinLocalSystemSid)) {
            who = "SYSTEM", expected = FILE_ALL_ACCESS, system = true;
        } else if (SidIs(sid, WinBuiltinAdministratorsSid)) {
            who = "Administrators", expected = FILE_ALL_ACCESS, administrators = true;
        } else if (SidIs(sid, WinBuiltinUsersSid)) {
            who = "Users", expected = FILE_GENERIC_READ | FILE_GENERIC_WRITE, users = true;
        }
        std::printf("acl: %s 0x%08lX\n", who, ace->Mask);
        if (ace->Mask != expected) ++failures;
    }
    if (!network || !system || !administrators || !users) {
        std::puts("acl: an expected entry is missing");
        ++failures;
    }
    LocalFree(descriptor);
    return failures ? 1 : 0;
}
