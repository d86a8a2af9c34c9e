// Who calls, and what an access list lets the caller do.
#include "sim/api.h"
#include "sim/identity.h"

#include <algorithm>
#include <cstring>
#include <string_view>

using namespace sim;
using namespace sim::api;

namespace {

thread_local DWORD t_process_id = 0;  // 0: as Machine says

// "S-1-5-21-1-2-3-1001" as a SID's bytes: revision 1, the count of sub-authorities, the
// 6-byte authority (big endian), the sub-authorities. Empty when the text is not a SID.
std::vector<BYTE> SidBytes(std::u16string_view text)
{
    std::vector<std::uint64_t> parts;
    if (text.substr(0, 4) != u"S-1-") return {};
    for (std::size_t at = 4; at <= text.size();) {
        std::uint64_t value = 0;
        std::size_t digits = 0;
        for (; at < text.size() && text[at] >= u'0' && text[at] <= u'9'; ++at, ++digits)
            value = value * 10 + static_cast<std::uint64_t>(text[at] - u'0');
        if (!digits || value > 0xFFFFFFFFull) return {};
        parts.push_back(value);
        if (at < text.size() && text[at] != u'-') return {};
        ++at;
    }
    if (parts.size() < 2 || parts.size() > 16) return {};
    std::vector<BYTE> sid(8 + 4 * (parts.size() - 1));
    sid[0] = 1;
    sid[1] = static_cast<BYTE>(parts.size() - 1);
    for (int i = 0; i < 4; ++i) sid[4 + i] = static_cast<BYTE>(parts[0] >> (8 * (3 - i)));
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const auto sub = static_cast<DWORD>(parts[i]);
        std::memcpy(sid.data() + 8 + 4 * (i - 1), &sub, sizeof sub);
    }
    return sid;
}

bool InServiceProcess(Machine& machine)
{
    return machine.service_process_id != 0 && CallerProcessId(machine) == machine.service_process_id;
}

} // namespace

DWORD sim::CallerProcessId(Machine& machine) { return t_process_id ? t_process_id : machine.process_id; }

sim::InProcess::InProcess(DWORD id) : previous_(t_process_id) { t_process_id = id; }
sim::InProcess::~InProcess() { t_process_id = previous_; }

std::vector<std::u16string> sim::CallerSids(Machine& machine)
{
    // A LocalSystem service's token (reference: "LocalSystem Account").
    if (InServiceProcess(machine))
        return {AccountSid(WinLocalSystemSid), AccountSid(WinBuiltinAdministratorsSid), AccountSid(WinWorldSid),
                AccountSid(WinAuthenticatedUserSid)};
    std::vector<std::u16string> sids{machine.user.sid, AccountSid(WinWorldSid), AccountSid(WinAuthenticatedUserSid),
                                     AccountSid(WinBuiltinUsersSid),
                                     AccountSid(CallerIsRemote() ? WinNetworkSid : WinInteractiveSid)};
    if (ThreadAccount(machine) == Account::kAdministrator) sids.push_back(AccountSid(WinBuiltinAdministratorsSid));
    return sids;
}

std::vector<std::u16string> sim::DenyOnlySids(Machine& machine)
{
    if (InServiceProcess(machine) || ThreadAccount(machine) != Account::kFilteredAdministrator) return {};
    return {AccountSid(WinBuiltinAdministratorsSid)};
}

namespace {
bool Holds(const std::vector<std::u16string>& sids, const std::u16string& sid)
{
    return std::find(sids.begin(), sids.end(), sid) != sids.end();
}
} // namespace

bool sim::MayEnter(Machine& machine, const std::vector<AccessEntry>& list)
{
    const std::vector<std::u16string> sids = CallerSids(machine), denying = DenyOnlySids(machine);
    for (const auto& e : list) {
        if (e.mode == DENY_ACCESS && (Holds(sids, e.trustee) || Holds(denying, e.trustee))) return false;
        if (e.mode == GRANT_ACCESS && Holds(sids, e.trustee)) return true;
    }
    return false;
}

AccessList sim::AccessListFor(Machine& machine, const SECURITY_ATTRIBUTES* sa)
{
    constexpr WORD kDaclPresent = 0x0004;
    const auto* sd = sa ? static_cast<const SECURITY_DESCRIPTOR*>(sa->lpSecurityDescriptor) : nullptr;
    if (!sd || !(sd->Control & kDaclPresent)) {
        // The token's default DACL: its user and SYSTEM, full access (reference: "DACL for
        // a New Object", "Access Tokens").
        return std::vector<AccessEntry>{{CallerSids(machine).front(), GENERIC_ALL, GRANT_ACCESS, NO_INHERITANCE},
                                        {AccountSid(WinLocalSystemSid), GENERIC_ALL, GRANT_ACCESS, NO_INHERITANCE}};
    }
    const auto* acl = static_cast<const SimAcl*>(sd->Dacl);
    if (!acl) return std::nullopt;
    std::vector<AccessEntry> entries;
    for (std::uint32_t i = 0; i < acl->count; ++i) {
        const auto& e = acl->entries[i];
        entries.push_back({e.trustee, e.permissions, e.mode, e.inheritance});
    }
    return entries;
}

ACCESS_MASK sim::MapGeneric(ACCESS_MASK access, const GenericMapping& mapping)
{
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) mapped |= mapping.read;
    if (access & GENERIC_WRITE) mapped |= mapping.write;
    if (access & GENERIC_EXECUTE) mapped |= mapping.execute;
    if (access & GENERIC_ALL) mapped |= mapping.all;
    return mapped;
}

// The entries are read in order: a deny entry for one of the caller's SIDs refuses what
// it names and no allow entry granted before it; the rights still wanted once the list
// ends are refused (reference: "How DACLs Control Access to an Object").
bool sim::AccessGranted(Machine& machine, const AccessList& list, ACCESS_MASK wanted, const GenericMapping& mapping)
{
    if (!list) return true;
    const std::vector<std::u16string> sids = CallerSids(machine), denying = DenyOnlySids(machine);
    wanted = MapGeneric(wanted, mapping);
    for (const auto& e : *list) {
        if (!wanted) break;
        const bool grants = Holds(sids, e.trustee);
        if (!grants && !(e.mode == DENY_ACCESS && Holds(denying, e.trustee))) continue;
        const ACCESS_MASK rights = MapGeneric(e.permissions, mapping);
        if (e.mode == DENY_ACCESS && (rights & wanted)) return false;
        if (e.mode == GRANT_ACCESS || e.mode == SET_ACCESS) wanted &= ~rights;
    }
    return wanted == 0;
}

extern "C" DWORD WINAPI GetCurrentProcessId(void)
{
    Call call("GetCurrentProcessId", {});
    return CallerProcessId(call.machine);
}

// TokenUser only: the user's SID follows the structure in the caller's buffer, and a
// buffer too small is told the size it needs (reference: GetTokenInformation).
extern "C" BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                           DWORD infoLength, PDWORD returnLength)
{
    Call call("GetTokenInformation", {P(token), static_cast<std::uint64_t>(infoClass), P(info), infoLength});
    if (call.failed()) return call.FailBool();
    // The tokens are OpenProcessToken's: the calling process's own.
    auto object = call.machine.Object(token);
    if (!object || std::string_view(object->kind()) != "token") return Fail(ERROR_INVALID_HANDLE);
    if (infoClass != TokenUser || !returnLength) return Fail(ERROR_INVALID_PARAMETER);
    const std::vector<BYTE> sid = SidBytes(CallerSids(call.machine).front());
    const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
    *returnLength = needed;
    if (!info || infoLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    BYTE* at = static_cast<BYTE*>(info) + sizeof(TOKEN_USER);
    std::memcpy(at, sid.data(), sid.size());
    auto* user = static_cast<TOKEN_USER*>(info);
    user->User.Sid = at;
    user->User.Attributes = 0;
    return TRUE;
}
