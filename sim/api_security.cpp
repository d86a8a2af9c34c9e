// Security descriptors and access lists, as far as a pipe's creator builds them. The
// access list records its entries so that the pipe created with it can show them.
#include "sim/api.h"
#include "sim/processes.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

using namespace sim;
using namespace sim::api;

namespace {

// The well-known accounts (SID reference: "Well-known SIDs"), with their names in the
// languages the machine can be installed in.
struct KnownAccount {
    WELL_KNOWN_SID_TYPE type;
    BYTE authority;
    BYTE count;
    DWORD sub[2];
    const char16_t* en;
    const char16_t* fr;
};
const KnownAccount kAccounts[] = {
    {WinWorldSid, 1, 1, {0, 0}, u"Everyone", u"Tout le monde"},
    {WinNetworkSid, 5, 1, {2, 0}, u"NETWORK", u"RESEAU"},
    {WinInteractiveSid, 5, 1, {4, 0}, u"INTERACTIVE", u"INTERACTIF"},
    {WinAuthenticatedUserSid, 5, 1, {11, 0}, u"Authenticated Users", u"Utilisateurs authentifi\u00E9s"},
    {WinLocalSystemSid, 5, 1, {18, 0}, u"SYSTEM", u"Syst\u00E8me"},
    {WinBuiltinAdministratorsSid, 5, 2, {32, 544}, u"Administrators", u"Administrateurs"},
    {WinBuiltinUsersSid, 5, 2, {32, 545}, u"Users", u"Utilisateurs"},
};

// A SID's bytes: revision 1, the count of sub-authorities, the 6-byte authority (big
// endian), then the sub-authorities.
constexpr DWORD SidSize(BYTE count) { return 8 + 4u * count; }

std::u16string SidString(const BYTE* sid)
{
    char text[16 * 11 + 8];
    int at = std::snprintf(text, sizeof text, "S-1-%u", static_cast<unsigned>(sid[7]));
    for (BYTE i = 0; i < sid[1] && at > 0 && static_cast<std::size_t>(at) < sizeof text; ++i) {
        DWORD sub = 0;
        std::memcpy(&sub, sid + 8 + 4 * i, sizeof sub);
        at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "-%lu",
                            static_cast<unsigned long>(sub));
    }
    const std::string_view view(text);
    return std::u16string(view.begin(), view.end());
}

std::u16string SidString(const KnownAccount& a)
{
    BYTE sid[SECURITY_MAX_SID_SIZE]{};
    sid[0] = 1, sid[1] = a.count, sid[7] = a.authority;
    std::memcpy(sid + 8, a.sub, 4u * a.count);
    return SidString(sid);
}

bool ValidSid(const BYTE* sid) { return sid && sid[0] == 1 && sid[1] >= 1 && sid[1] <= 15; }

} // namespace

extern "C" BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domain, PSID sid, DWORD* size)
{
    Call call("CreateWellKnownSid", {static_cast<std::uint64_t>(type), P(domain), P(sid)});
    if (call.failed()) return call.FailBool();
    const KnownAccount* account = nullptr;
    for (const auto& a : kAccounts)
        if (a.type == type) account = &a;
    if (!account || !size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD needed = SidSize(account->count);
    if (!sid || *size < needed) {
        *size = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* bytes = static_cast<BYTE*>(sid);
    std::memset(bytes, 0, needed);
    bytes[0] = 1, bytes[1] = account->count, bytes[7] = account->authority;
    std::memcpy(bytes + 8, account->sub, 4u * account->count);
    *size = needed;
    return TRUE;
}

extern "C" BOOL WINAPI EqualSid(PSID a, PSID b)
{
    Call call("EqualSid", {P(a), P(b)});
    const auto* x = static_cast<const BYTE*>(a);
    const auto* y = static_cast<const BYTE*>(b);
    if (!ValidSid(x) || !ValidSid(y)) return FALSE;
    return x[1] == y[1] && std::memcmp(x, y, SidSize(x[1])) == 0;
}

std::u16string sim::AccountSid(WELL_KNOWN_SID_TYPE type)
{
    for (const auto& a : kAccounts)
        if (a.type == type) return SidString(a);
    return {};
}

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
    // Each trustee as its SID: given as one, or looked up by name in the machine's language.
    std::vector<std::u16string> sids;
    for (ULONG i = 0; i < count; ++i) {
        const auto& t = entries[i].Trustee;
        if (!t.ptstrName) return ERROR_INVALID_PARAMETER;
        if (t.TrusteeForm == TRUSTEE_IS_SID) {
            const auto* sid = reinterpret_cast<const BYTE*>(t.ptstrName);
            if (!ValidSid(sid)) return ERROR_INVALID_SID;
            sids.push_back(SidString(sid));
        } else if (t.TrusteeForm == TRUSTEE_IS_NAME) {
            const KnownAccount* found = nullptr;
            for (const auto& a : kAccounts)
                if (EqualNoCase(t.ptstrName, call.machine.language == "fr" ? a.fr : a.en)) found = &a;
            if (!found) return ERROR_NONE_MAPPED;
            sids.push_back(SidString(*found));
        } else {
            return ERROR_INVALID_PARAMETER;
        }
    }
    for (const auto& sid : sids)
        if (sid.size() >= std::size(SimAcl::Entry{}.trustee)) return ERROR_INVALID_SID;
    auto* acl = static_cast<SimAcl*>(call.machine.Allocate(sizeof(SimAcl), true));
    if (!acl) return ERROR_NOT_ENOUGH_MEMORY;
    acl->header.AclRevision = 2;
    acl->header.AclSize = static_cast<WORD>(sizeof(SimAcl));
    acl->header.AceCount = static_cast<WORD>(count);
    acl->count = count;
    for (ULONG i = 0; i < count; ++i) {
        auto& e = acl->entries[i];
        std::copy(sids[i].begin(), sids[i].end(), e.trustee);
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

// ---------------------------------------------------------------- tokens and privileges
namespace {

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

class Token : public KernelObject {
public:
    Token() = default;
    explicit Token(Account account) : account(account), impersonation(true) {}
    const char* kind() const override { return "token"; }
    // A process token is the service's own (LocalSystem); a thread's, its client's.
    const Account account = Account::kAdministrator;
    const bool impersonation = false;
};

HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));
thread_local std::optional<Account> t_account;
// The client a thread impersonates, while it does.
thread_local std::optional<Account> t_impersonating;

struct KnownPrivilege {
    const char16_t* name;
    DWORD luid;
};
const KnownPrivilege kPrivileges[] = {
    {u"SeLoadDriverPrivilege", 10}, {u"SeShutdownPrivilege", 19}, {u"SeDebugPrivilege", 20}};

} // namespace

extern "C" HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }
extern "C" HANDLE WINAPI GetCurrentThread(void) { return kCurrentThread; }

sim::CallerAccount::CallerAccount(Account account) : previous_(t_account) { t_account = account; }
sim::CallerAccount::~CallerAccount() { t_account = previous_; }
Account sim::ThreadAccount(Machine& machine) { return t_account.value_or(machine.user.account); }

// Reference: ImpersonateNamedPipeClient: the server end of a connected pipe, once data
// of the connection was read ("ERROR_CANNOT_IMPERSONATE ... until data has been read").
extern "C" BOOL WINAPI ImpersonateNamedPipeClient(HANDLE pipe)
{
    Call call("ImpersonateNamedPipeClient", {P(pipe)});
    if (call.failed()) return call.FailBool();
    auto server = std::dynamic_pointer_cast<PipeServerEnd>(call.machine.Object(pipe));
    if (!server) return Fail(ERROR_INVALID_HANDLE);
    const PipeInstance& p = *server->pipe;
    if (p.state != PipeInstance::kConnected || !p.server_has_read) return Fail(ERROR_CANNOT_IMPERSONATE);
    t_impersonating = p.client_account;
    return TRUE;
}

// Reference: OpenThreadToken: a thread that impersonates no one has no token of its
// own (ERROR_NO_TOKEN).
extern "C" BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, PHANDLE token)
{
    Call call("OpenThreadToken", {P(thread), access, static_cast<std::uint64_t>(openAsSelf), P(token)});
    if (call.failed()) return call.FailBool();
    if (thread != kCurrentThread || !token) return Fail(ERROR_INVALID_PARAMETER);
    if (!t_impersonating) return Fail(ERROR_NO_TOKEN);
    *token = call.machine.AddHandle(std::make_shared<Token>(*t_impersonating));
    return TRUE;
}

extern "C" BOOL WINAPI RevertToSelf(void)
{
    Call call("RevertToSelf", {});
    if (call.failed()) return call.FailBool();
    t_impersonating.reset();
    return TRUE;
}

// Reference: CheckTokenMembership: an impersonation token is asked whether a group is
// enabled in it; a group present for deny only (a filtered administrator's
// Administrators) is no membership. A primary token must be duplicated first.
extern "C" BOOL WINAPI CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember)
{
    Call call("CheckTokenMembership", {P(token), P(sid), P(isMember)});
    if (call.failed()) return call.FailBool();
    auto t = std::dynamic_pointer_cast<Token>(call.machine.Object(token));
    if (!t || !isMember || !ValidSid(static_cast<const BYTE*>(sid))) return Fail(ERROR_INVALID_PARAMETER);
    if (!t->impersonation) return Fail(ERROR_NO_IMPERSONATION_TOKEN);
    const std::u16string group = SidString(static_cast<const BYTE*>(sid));
    bool member = group == sim::AccountSid(WinWorldSid) || group == sim::AccountSid(WinAuthenticatedUserSid) ||
                  group == sim::AccountSid(WinBuiltinUsersSid) || group == sim::AccountSid(WinInteractiveSid);
    if (group == sim::AccountSid(WinBuiltinAdministratorsSid)) member = t->account == Account::kAdministrator;
    *isMember = member ? TRUE : FALSE;
    return TRUE;
}

extern "C" BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    Call call("OpenProcessToken", {P(process), access, P(token)});
    if (call.failed()) return call.FailBool();
    if (process != kCurrentProcess || !token) return Fail(ERROR_INVALID_PARAMETER);
    *token = call.machine.AddHandle(std::make_shared<Token>());
    return TRUE;
}

extern "C" BOOL WINAPI LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid)
{
    Call call("LookupPrivilegeValueW", {P(system), P(luid)}, Text(name));
    if (call.failed()) return call.FailBool();
    if (system || !name || !luid) return Fail(ERROR_INVALID_PARAMETER);
    for (const auto& p : kPrivileges)
        if (EqualNoCase(name, p.name)) {
            luid->LowPart = p.luid;
            luid->HighPart = 0;
            return TRUE;
        }
    return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

// Enables or disables what the token holds; a privilege it does not hold is left out,
// and the call still succeeds with ERROR_NOT_ALL_ASSIGNED (reference: AdjustTokenPrivileges).
extern "C" BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD length,
                                             PTOKEN_PRIVILEGES previous, PDWORD returnLength)
{
    Call call("AdjustTokenPrivileges",
              {P(token), static_cast<std::uint64_t>(disableAll), P(newState), length, P(previous), P(returnLength)});
    if (call.failed()) return call.FailBool();
    if (!std::dynamic_pointer_cast<Token>(call.machine.Object(token))) return Fail(ERROR_INVALID_HANDLE);
    if (disableAll || !newState || previous) return Fail(ERROR_INVALID_PARAMETER);
    bool all = true;
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = (&newState->Privileges[0])[i];
        const KnownPrivilege* known = nullptr;
        for (const auto& p : kPrivileges)
            if (p.luid == entry.Luid.LowPart && entry.Luid.HighPart == 0) known = &p;
        auto held = known ? call.machine.privileges.find(known->name) : call.machine.privileges.end();
        if (held == call.machine.privileges.end()) {
            all = false;
            continue;
        }
        held->second = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}
