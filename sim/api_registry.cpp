// The registry calls over the machine's registry.
#include "sim/api.h"

#include <cstring>

using namespace sim;
using namespace sim::api;

namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | 0x00040000 /*WRITE_DAC*/ |
                                0x00080000 /*WRITE_OWNER*/;

struct Resolved {
    std::shared_ptr<RegKey> key;
    REGSAM access = 0;
    LSTATUS status = ERROR_SUCCESS;
};

Resolved Resolve(Machine& m, HKEY handle)
{
    if (auto root = m.registry.Root(handle)) return {root, KEY_ALL_ACCESS, ERROR_SUCCESS};
    auto* open = m.Key(handle);
    if (!open) return {nullptr, 0, ERROR_INVALID_HANDLE};
    if (open->key->deleted) return {nullptr, 0, ERROR_KEY_DELETED};
    return {open->key, open->access, ERROR_SUCCESS};
}

LSTATUS OpenKey(Machine& m, HKEY key, std::u16string_view subKey, REGSAM access, PHKEY result, bool create,
                LPDWORD disposition)
{
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    auto from = Resolve(m, key);
    if (!from.key) return from.status;
    auto existing = Registry::Walk(from.key, subKey, false);
    if (!existing && !create) return ERROR_FILE_NOT_FOUND;
    if (!existing && (from.key->deny_write_access || !(from.access & KEY_CREATE_SUB_KEY))) return ERROR_ACCESS_DENIED;
    REGSAM rights = access & ~static_cast<REGSAM>(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (existing && existing->deny_write_access && (rights & kWriteRights)) return ERROR_ACCESS_DENIED;
    auto target = existing ? existing : Registry::Walk(from.key, subKey, true);
    if (disposition) *disposition = existing ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *result = m.AddKey({target, rights});
    return ERROR_SUCCESS;
}

const RegValue* FindValue(const RegKey& key, std::u16string_view name)
{
    auto it = key.values.find(Lower(name));
    return it == key.values.end() ? nullptr : &it->second;
}

LSTATUS QueryValue(Machine& m, HKEY key, std::u16string_view name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize, bool ansi)
{
    if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    auto r = Resolve(m, key);
    if (!r.key) return r.status;
    if (!(r.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    const RegValue* v = FindValue(*r.key, name);
    if (!v) return ERROR_FILE_NOT_FOUND;
    Bytes value = v->data;
    if (ansi && (v->type == REG_SZ || v->type == REG_EXPAND_SZ || v->type == REG_MULTI_SZ)) {
        std::u16string wide;
        for (std::size_t i = 0; i + 1 < value.size(); i += 2)
            wide.push_back(static_cast<char16_t>(value[i] | (value[i + 1] << 8)));
        std::string narrow = ToAnsi(wide);
        value.assign(narrow.begin(), narrow.end());
    }
    if (type) *type = v->type;
    if (data && *dataSize < value.size()) {
        *dataSize = static_cast<DWORD>(value.size());
        return ERROR_MORE_DATA;
    }
    if (data && !value.empty()) std::memcpy(data, value.data(), value.size());
    if (dataSize) *dataSize = static_cast<DWORD>(value.size());
    return ERROR_SUCCESS;
}

std::u16string_view View(LPCWSTR s) { return s ? std::u16string_view(s) : std::u16string_view(); }

} // namespace

extern "C" LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    Call call("RegOpenKeyExW", {P(key), options, access}, Text(subKey));
    if (call.failed()) {
        if (result) *result = nullptr;
        return call.FailStatus();
    }
    return OpenKey(call.machine, key, View(subKey), access, result, false, nullptr);
}

extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    Call call("RegOpenKeyExA", {P(key), options, access}, Text(subKey));
    if (call.failed()) {
        if (result) *result = nullptr;
        return call.FailStatus();
    }
    std::u16string wide = subKey ? FromAnsi(subKey) : std::u16string();
    return OpenKey(call.machine, key, wide, access, result, false, nullptr);
}

extern "C" LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR cls, DWORD options,
                                          REGSAM access, LPSECURITY_ATTRIBUTES sa, PHKEY result,
                                          LPDWORD disposition)
{
    Call call("RegCreateKeyExW", {P(key), reserved, P(cls), options, access, P(sa)}, Text(subKey));
    if (call.failed()) {
        if (result) *result = nullptr;
        return call.FailStatus();
    }
    if (!subKey) return ERROR_INVALID_PARAMETER;
    return OpenKey(call.machine, key, subKey, access, result, true, disposition);
}

extern "C" LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                           LPDWORD dataSize)
{
    Call call("RegQueryValueExW", {P(key), P(data), dataSize ? *dataSize : 0xFFFFFFFFu}, Text(name));
    if (call.failed()) return call.FailStatus();
    return QueryValue(call.machine, key, View(name), reserved, type, data, dataSize, false);
}

extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                           LPDWORD dataSize)
{
    Call call("RegQueryValueExA", {P(key), P(data), dataSize ? *dataSize : 0xFFFFFFFFu}, Text(name));
    if (call.failed()) return call.FailStatus();
    std::u16string wide = name ? FromAnsi(name) : std::u16string();
    return QueryValue(call.machine, key, wide, reserved, type, data, dataSize, true);
}

extern "C" LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                         DWORD dataSize)
{
    Call call("RegSetValueExW", {P(key), reserved, type, P(data), dataSize}, Text(name));
    if (call.failed()) return call.FailStatus();
    if (!data && dataSize) return ERROR_NOACCESS;
    auto r = Resolve(call.machine, key);
    if (!r.key) return r.status;
    if (!(r.access & KEY_SET_VALUE) || r.key->refuse_writes) return ERROR_ACCESS_DENIED;
    std::u16string value_name(View(name));
    if (r.key->refused_values.count(Lower(value_name))) return ERROR_ACCESS_DENIED;
    r.key->values[Lower(value_name)] = RegValue{value_name, type, Bytes(data, data + dataSize)};
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR name)
{
    Call call("RegDeleteValueW", {P(key)}, Text(name));
    if (call.failed()) return call.FailStatus();
    auto r = Resolve(call.machine, key);
    if (!r.key) return r.status;
    if (!(r.access & KEY_SET_VALUE) || r.key->refuse_writes) return ERROR_ACCESS_DENIED;
    return r.key->values.erase(Lower(View(name))) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

extern "C" LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey)
{
    Call call("RegDeleteKeyW", {P(key)}, Text(subKey));
    if (call.failed()) return call.FailStatus();
    if (!subKey) return ERROR_INVALID_PARAMETER;
    auto r = Resolve(call.machine, key);
    if (!r.key) return r.status;
    std::u16string_view path(subKey);
    auto slash = path.rfind(u'\\');
    auto parent = slash == std::u16string_view::npos ? r.key : Registry::Walk(r.key, path.substr(0, slash), false);
    auto leaf = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
    if (!parent) return ERROR_FILE_NOT_FOUND;
    auto it = parent->subkeys.find(Lower(leaf));
    if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    if (!it->second->subkeys.empty() || it->second->deny_write_access) return ERROR_ACCESS_DENIED;
    it->second->deleted = true;
    parent->subkeys.erase(it);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY key)
{
    Call call("RegCloseKey", {P(key)});
    if (call.machine.registry.Root(key)) return ERROR_SUCCESS;
    // A release that is made to fail still releases: the fault is in the report only.
    if (call.failed()) {
        call.machine.CloseKey(key);
        return call.FailStatus();
    }
    return call.machine.CloseKey(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
