#pragma once
// The service's real configuration key (in the build's Wine prefix and the
// registry view the service reads, ConfigurationKey.h), owned by a test
// (ScopedConfigurationKey): deleted when it is made and when it goes, so
// each test starts from no configuration, and no leftover OstrelService
// reads it meanwhile. RegistryFixture is the plain fixture that owns it.

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/ConfigurationKey.h"
#include "support/OstrelServiceLeftover.h"

class ScopedConfigurationKey {
public:
    ScopedConfigurationKey()
    {
        removeOstrelService();
        deleteKey();
    }
    ~ScopedConfigurationKey()
    {
        try {
            deleteKey();
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
    ScopedConfigurationKey(const ScopedConfigurationKey&) = delete;
    ScopedConfigurationKey& operator=(const ScopedConfigurationKey&) = delete;

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

class RegistryFixture : public ::testing::Test, protected ScopedConfigurationKey {};
