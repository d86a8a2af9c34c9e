// The registry as the settings exports use it: a key opened for all access and never
// created, REG_DWORD values written one by one over whatever was there.
#include "platform/win32.h"
#include "tests/conformance/check.h"

namespace {

const WCHAR* const kKey = W16("Software\\PX71ConformanceSettings");

void RemoveKey() { RegDeleteKeyW(HKEY_CURRENT_USER, kKey); }

HKEY OpenForAll()
{
    HKEY key = nullptr;
    CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    return key;
}

DWORD Number(HKEY key, const WCHAR* name, DWORD& type)
{
    DWORD value = 0, size = sizeof value;
    type = REG_NONE;
    CHECK_EQ(RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    CHECK_EQ(size, 4u);
    return value;
}

LSTATUS SetNumber(HKEY key, const WCHAR* name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

} // namespace

CONFORMANCE_CASE(SettingsKeyIsOpenedNeverCreated)
{
    RemoveKey();
    HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(1));
    CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
    CHECK(key == nullptr);
    CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

CONFORMANCE_CASE(SettingsOverwriteOneValueAndKeepTheOthers)
{
    RemoveKey();
    HKEY created = nullptr;
    CHECK_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
             ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(created), ERROR_SUCCESS);

    HKEY key = OpenForAll();
    CHECK_EQ(SetNumber(key, W16("PortLen"), 1), ERROR_SUCCESS);
    CHECK_EQ(SetNumber(key, W16("StartAdrs"), 2), ERROR_SUCCESS);
    const WCHAR text[] = W16("C:\\PX71\\PX71.exe");
    CHECK_EQ(RegSetValueExW(key, W16("FilePathName"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
             ERROR_SUCCESS);
    // A value that held text before is a number afterwards.
    CHECK_EQ(RegSetValueExW(key, W16("EndAdrs"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
             ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);

    key = OpenForAll();
    CHECK_EQ(SetNumber(key, W16("PORTLEN"), 0xFFFFFFFFu), ERROR_SUCCESS);
    CHECK_EQ(SetNumber(key, W16("EndAdrs"), 0x80000000u), ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);

    key = OpenForAll();
    DWORD type = 0;
    CHECK_EQ(Number(key, W16("PortLen"), type), 0xFFFFFFFFu);
    CHECK_EQ(type, static_cast<DWORD>(REG_DWORD));
    CHECK_EQ(Number(key, W16("StartAdrs"), type), 2u);
    CHECK_EQ(Number(key, W16("EndAdrs"), type), 0x80000000u);
    CHECK_EQ(type, static_cast<DWORD>(REG_DWORD));
    DWORD size = 0;
    CHECK_EQ(RegQueryValueExW(key, W16("FilePathName"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    CHECK_EQ(type, static_cast<DWORD>(REG_SZ));
    CHECK_EQ(size, static_cast<DWORD>(sizeof text));
    CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
    RemoveKey();
}
