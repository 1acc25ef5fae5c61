#pragma once
// The service's configuration key in the build's Wine prefix, as tests and
// benchmarks prepare it: always in the registry view the service reads, so
// that what they store is what the service finds.

#include <windows.h>

#include <stdexcept>
#include <string>

#include "Ostrel/settings_registry/SettingsRegistry.h"
#include "registry/RegKey.h"
#include "support/Timeouts.h"

// The settings key (subkey "") or one of its subkeys ("1", "2", ...).
inline std::wstring configurationKeyName(const std::wstring& subkey)
{
    return subkey.empty() ? Ostrel::settingsKeyName() : Ostrel::settingsKeyName() + L"\\" + subkey;
}

// Removes the settings key (subkey "") or one of its subkeys with everything
// below it; a missing key is no error. Another view than the service's
// reaches the key of the same name there. RegDeleteTreeW takes no view, so
// the tree is emptied through a handle opened in the view and the key itself
// deleted by RegDeleteKeyExW.
inline void deleteConfigurationKey(const std::wstring& subkey = std::wstring(), REGSAM view = Ostrel::settingsKeyView)
{
    const std::wstring name = configurationKeyName(subkey);
    HKEY opened;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_ALL_ACCESS | view, &opened) != ERROR_SUCCESS)
        return;
    const LSTATUS emptied = RegDeleteTreeW(RegKey(opened).get(), nullptr);
    if (emptied != ERROR_SUCCESS || RegDeleteKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), view, 0) != ERROR_SUCCESS)
        throw std::runtime_error("cannot delete the configuration key");
}

// Stores raw data under a value of the settings key or one of its subkeys,
// creating the key: also for data of a type or size that the program itself
// never writes. Throws std::runtime_error when the registry refuses.
inline void setConfigurationValue(const std::wstring& subkey, const std::wstring& name, DWORD type, const void* data,
                                  DWORD size)
{
    HKEY created;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, configurationKeyName(subkey).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | Ostrel::settingsKeyView, nullptr, &created, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create the configuration key");
    const RegKey key(created);
    const LSTATUS status = RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    if (status != ERROR_SUCCESS)
        throw std::runtime_error("cannot set a configuration value");
}

inline void setConfigurationDword(const std::wstring& subkey, const std::wstring& name, DWORD value)
{
    setConfigurationValue(subkey, name, REG_DWORD, &value, sizeof value);
}

// REG_SZ data with its terminating NUL.
inline void setConfigurationString(const std::wstring& subkey, const std::wstring& name, const std::wstring& value)
{
    setConfigurationValue(subkey, name, REG_SZ, value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t)));
}

// The program started next waits timeouts::heldBackup for a backup file
// another process holds (the backup wait it reads at start), so that a test
// holding its saves never races the program's own 2 s.
inline void setPatientBackupWait()
{
    setConfigurationDword(L"", Ostrel::backupWaitValue, timeouts::heldBackup);
}
