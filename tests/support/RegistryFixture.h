#pragma once
// A test fixture owning the service's real configuration key (in the build's
// Wine prefix and the registry view the service reads, ConfigurationKey.h):
// it is deleted before and after every test, so each test starts from no
// configuration.

#include <windows.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "support/ConfigurationKey.h"

class RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override { deleteKey(); }
    void TearDown() override { deleteKey(); }

    static void deleteKey() { deleteConfigurationKey(); }

    // Stores raw bytes under a value of the configuration key or one of its
    // subkeys ("" for the key itself), creating the key: for values of a
    // wrong size or type that the program itself never writes.
    static void setRaw(const std::wstring& subkey, const std::wstring& name, DWORD type, const void* data, DWORD size)
    {
        setConfigurationValue(subkey, name, type, data, size);
    }
    static void setDword(const std::wstring& subkey, const std::wstring& name, std::uint32_t value)
    {
        setConfigurationDword(subkey, name, value);
    }
    static void setString(const std::wstring& subkey, const std::wstring& name, const std::wstring& value)
    {
        setConfigurationString(subkey, name, value);
    }
};
