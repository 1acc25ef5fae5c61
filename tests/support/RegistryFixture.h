#pragma once
// A test fixture owning the service's real configuration key
// (HKLM\SOFTWARE\Brevik\Ostrel in the build's Wine prefix): it is deleted
// before and after every test, so each test starts from no configuration.

#include <windows.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

class RegistryFixture : public ::testing::Test {
protected:
    static constexpr const wchar_t* keyPath = L"SOFTWARE\\Brevik\\Ostrel";

    void SetUp() override { deleteKey(); }
    void TearDown() override { deleteKey(); }

    static void deleteKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyPath); }

    // Stores raw bytes under a value of the configuration key or one of its
    // subkeys ("" for the key itself), creating the key: for values of a
    // wrong size or type that the program itself never writes.
    static void setRaw(const std::wstring& subkey, const std::wstring& name, DWORD type, const void* data, DWORD size)
    {
        std::wstring path = subkey.empty() ? std::wstring(keyPath) : std::wstring(keyPath) + L"\\" + subkey;
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void setDword(const std::wstring& subkey, const std::wstring& name, std::uint32_t value)
    {
        setRaw(subkey, name, REG_DWORD, &value, sizeof value);
    }
    static void setString(const std::wstring& subkey, const std::wstring& name, const std::wstring& value)
    {
        setRaw(subkey, name, REG_SZ, value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t)));
    }
};
