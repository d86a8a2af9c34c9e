// The registry as PX71 uses it: opening keys, typed values, the two-step query.
#include "platform/win32.h"
#include "tests/conformance/check.h"

namespace {

const WCHAR* const kTestKey = W16("Software\\PX71Conformance");

// A fresh test key under HKEY_CURRENT_USER, removed again at the end.
struct TestKey {
    HKEY key = nullptr;
    TestKey()
    {
        Remove();
        DWORD disposition = 0;
        CHECK_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 nullptr, &key, &disposition),
                 ERROR_SUCCESS);
        CHECK_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    }
    ~TestKey()
    {
        RegCloseKey(key);
        Remove();
    }
    static void Remove()
    {
        RegDeleteKeyW(HKEY_CURRENT_USER, W16("Software\\PX71Conformance\\Sub"));
        RegDeleteKeyW(HKEY_CURRENT_USER, kTestKey);
    }
    LSTATUS SetDword(const WCHAR* name, DWORD value)
    {
        return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
};

} // namespace

CONFORMANCE_CASE(RegistryOpenExistingAndMissingKeys)
{
    TestKey test;
    HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(1));
    CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, W16("Software\\PX71Conformance\\Missing"), 0, KEY_READ, &key),
             ERROR_FILE_NOT_FOUND);
    CHECK(key == nullptr);
    CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, W16("software\\px71conformance"), 0, KEY_READ, &key), ERROR_SUCCESS);
    CHECK(key != nullptr);
    CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
    CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    CHECK_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\PX71Conformance", 0, KEY_READ, &key), ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

CONFORMANCE_CASE(RegistryDwordRoundTrip)
{
    TestKey test;
    CHECK_EQ(test.SetDword(W16("PortLen"), 0x80000001u), ERROR_SUCCESS);
    DWORD type = 0, value = 0, size = sizeof value;
    CHECK_EQ(RegQueryValueExW(test.key, W16("portlen"), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
             ERROR_SUCCESS);
    CHECK_EQ(type, static_cast<DWORD>(REG_DWORD));
    CHECK_EQ(value, 0x80000001u);
    CHECK_EQ(size, 4u);
    // Written again with another type, the value takes the new one.
    const WCHAR text[] = W16("abc");
    CHECK_EQ(RegSetValueExW(test.key, W16("PortLen"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
             ERROR_SUCCESS);
    size = 0;
    CHECK_EQ(RegQueryValueExW(test.key, W16("PortLen"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    CHECK_EQ(type, static_cast<DWORD>(REG_SZ));
    CHECK_EQ(size, 8u);
}

CONFORMANCE_CASE(RegistryQueryInTwoSteps)
{
    TestKey test;
    const WCHAR path[] = W16("C:\\Program Files\\PX71\\PX71.exe");
    CHECK_EQ(RegSetValueExW(test.key, W16("FilePathName"), 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                            sizeof path),
             ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    CHECK_EQ(RegQueryValueExW(test.key, W16("FilePathName"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    CHECK_EQ(size, static_cast<DWORD>(sizeof path));
    BYTE small[8];
    size = sizeof small;
    CHECK_EQ(RegQueryValueExW(test.key, W16("FilePathName"), nullptr, &type, small, &size), ERROR_MORE_DATA);
    CHECK_EQ(size, static_cast<DWORD>(sizeof path));
    CHECK_EQ(type, static_cast<DWORD>(REG_SZ));
    CHECK_EQ(RegQueryValueExW(test.key, W16("Missing"), nullptr, &type, small, &size), ERROR_FILE_NOT_FOUND);
    // The ANSI query converts the text and counts single bytes.
    char ansi[64] = {};
    size = sizeof ansi;
    CHECK_EQ(RegQueryValueExA(test.key, "FilePathName", nullptr, &type, reinterpret_cast<BYTE*>(ansi), &size),
             ERROR_SUCCESS);
    CHECK_EQ(size, static_cast<DWORD>(sizeof path / sizeof(WCHAR)));
    CHECK_EQ(std::string(ansi), std::string("C:\\Program Files\\PX71\\PX71.exe"));
}

CONFORMANCE_CASE(RegistryWritesNeedWriteAccess)
{
    TestKey test;
    HKEY reader = nullptr;
    CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, &reader), ERROR_SUCCESS);
    DWORD value = 5;
    CHECK_EQ(RegSetValueExW(reader, W16("Oz888Len"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
             ERROR_ACCESS_DENIED);
    CHECK_EQ(RegQueryValueExW(reader, W16("Oz888Len"), nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    CHECK_EQ(RegCloseKey(reader), ERROR_SUCCESS);
    HKEY writer = nullptr;
    CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_ALL_ACCESS, &writer), ERROR_SUCCESS);
    CHECK_EQ(RegSetValueExW(writer, W16("Oz888Len"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
             ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(writer), ERROR_SUCCESS);
}

CONFORMANCE_CASE(RegistryDeleteKeysAndValues)
{
    TestKey test;
    HKEY sub = nullptr;
    CHECK_EQ(RegCreateKeyExW(test.key, W16("Sub"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
             ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(sub), ERROR_SUCCESS);
    CHECK_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, kTestKey), ERROR_ACCESS_DENIED);
    CHECK_EQ(test.SetDword(W16("EndAdrs"), 1), ERROR_SUCCESS);
    CHECK_EQ(RegDeleteValueW(test.key, W16("ENDADRS")), ERROR_SUCCESS);
    CHECK_EQ(RegDeleteValueW(test.key, W16("EndAdrs")), ERROR_FILE_NOT_FOUND);
    CHECK_EQ(RegDeleteKeyW(test.key, W16("Sub")), ERROR_SUCCESS);
    CHECK_EQ(RegDeleteKeyW(test.key, W16("Sub")), ERROR_FILE_NOT_FOUND);
}
