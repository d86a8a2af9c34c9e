// Security descriptors and access lists, as far as a pipe's creator builds them. The
// access list records its entries so that the pipe created with it can show them.
#include "sim/api.h"
#include "sim/processes.h"

#include <cstring>

using namespace sim;
using namespace sim::api;

namespace {
// The accounts every machine knows by name.
bool KnownAccount(std::u16string_view name)
{
    for (std::u16string_view known : {u"SYSTEM", u"Administrators", u"Users", u"Everyone", u"Authenticated Users"})
        if (EqualNoCase(name, known)) return true;
    return false;
}
} // namespace

extern "C" BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision)
{
    Call call("InitializeSecurityDescriptor", {P(sd), revision});
    if (call.failed()) return call.FailBool();
    if (!sd || revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(sd, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(sd)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

extern "C" void WINAPI BuildExplicitAccessWithNameW(PEXPLICIT_ACCESS_W ea, LPWSTR trustee, DWORD permissions,
                                                    ACCESS_MODE mode, DWORD inheritance)
{
    Call call("BuildExplicitAccessWithNameW", {permissions, static_cast<std::uint64_t>(mode), inheritance},
              Text(trustee));
    if (!ea) return;
    ea->grfAccessPermissions = permissions;
    ea->grfAccessMode = mode;
    ea->grfInheritance = inheritance;
    ea->Trustee.pMultipleTrustee = nullptr;
    ea->Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    ea->Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    ea->Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    ea->Trustee.ptstrName = trustee;
}

extern "C" DWORD WINAPI SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl)
{
    Call call("SetEntriesInAclW", {count, P(entries), P(oldAcl), P(newAcl)});
    if (call.failed()) return call.error();
    if (!newAcl || (count && !entries) || count > 8 || oldAcl) return ERROR_INVALID_PARAMETER;
    *newAcl = nullptr;
    for (ULONG i = 0; i < count; ++i) {
        const auto& t = entries[i].Trustee;
        if (t.TrusteeForm != TRUSTEE_IS_NAME || !t.ptstrName) return ERROR_INVALID_PARAMETER;
        if (!KnownAccount(t.ptstrName)) return ERROR_NONE_MAPPED;
        if (std::char_traits<char16_t>::length(t.ptstrName) >= 32) return ERROR_INVALID_PARAMETER;
    }
    auto* acl = static_cast<SimAcl*>(call.machine.Allocate(sizeof(SimAcl), true));
    if (!acl) return ERROR_NOT_ENOUGH_MEMORY;
    acl->header.AclRevision = 2;
    acl->header.AclSize = static_cast<WORD>(sizeof(SimAcl));
    acl->header.AceCount = static_cast<WORD>(count);
    acl->count = count;
    for (ULONG i = 0; i < count; ++i) {
        auto& e = acl->entries[i];
        std::u16string_view name = entries[i].Trustee.ptstrName;
        std::copy(name.begin(), name.end(), e.trustee);
        e.permissions = entries[i].grfAccessPermissions;
        e.mode = entries[i].grfAccessMode;
        e.inheritance = entries[i].grfInheritance;
    }
    *newAcl = &acl->header;
    return ERROR_SUCCESS;
}

extern "C" BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted)
{
    Call call("SetSecurityDescriptorDacl", {P(sd), static_cast<std::uint64_t>(present), P(dacl),
                                            static_cast<std::uint64_t>(defaulted)});
    if (call.failed()) return call.FailBool();
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(sd);
    if (!descriptor || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    constexpr WORD kDaclPresent = 0x0004;
    constexpr WORD kDaclDefaulted = 0x0008;
    descriptor->Control = static_cast<WORD>((descriptor->Control & ~(kDaclPresent | kDaclDefaulted)) |
                                            (present ? kDaclPresent : 0) | (defaulted ? kDaclDefaulted : 0));
    descriptor->Dacl = present ? dacl : nullptr;
    return TRUE;
}
