#pragma once
// The configuration in the registry: where it is, for the loader and the
// writer and for whatever prepares a configuration for them (tests,
// benchmarks), and its reading and writing.

#include <windows.h>

#include <cstddef>
#include <string>

#include <boost/chrono/duration.hpp>
#include <boost/shared_ptr.hpp>

#include "Ostrel/settings/Settings.h"

namespace Ostrel {

// The settings key below HKEY_LOCAL_MACHINE.
extern const char* const settingsKeyPath;

// The configuration is in the 32-bit view of the registry: a 32-bit program
// opening SOFTWARE\... on 64-bit Windows is led there (the key shows as
// SOFTWARE\WOW6432Node\...), and so that is where 32-bit configuration
// editors, and configurations made for a 32-bit build of the service, keep
// it. 32-bit Windows has one view and ignores the flag. Every open of the
// settings key or a lineset subkey adds it to its rights.
constexpr REGSAM settingsKeyView = KEY_WOW64_32KEY;

// The settings key (lineset 0) or the subkey of lineset n, below
// HKEY_LOCAL_MACHINE: the key path, a backslash and n in decimal.
std::wstring settingsKeyName(std::size_t lineset = 0);

// Reads the whole configuration from the registry key above, as
// loadSettings of settings/SettingsSource.h reads any source: never throws
// for registry content.
boost::shared_ptr<Settings> loadSettings();

// Writes the configuration into the registry layout loadSettings reads, in
// the same registry view. Throws what Reg throws; subkeys beyond the new
// count are left in place. "Count" is written last, so that a reader that
// polls meanwhile sees new linesets beyond the old count only all at once.
void saveSettings(const boost::shared_ptr<const Settings>& settings);

// The value of the settings key that lengthens how long a change of a line
// waits for a backup file another program holds, in milliseconds.
extern const wchar_t* const backupWaitValue;

// The wait the value stores, read once when the program starts: from
// `fallback` (the program's own wait, which it never shortens) up to ten
// minutes; a missing key or value, or any other number, gives `fallback`.
boost::chrono::milliseconds backupWaitSetting(boost::chrono::milliseconds fallback);

}  // namespace Ostrel
