#pragma once
// Where the settings loader takes the stored values from: the registry in the
// program (settings_registry/SettingsRegistry.cpp), memory in tests. The
// loader's conversions of those values are the same for every source. No
// Windows header.

#include <cstdint>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>

#include "Ostrel/settings/Settings.h"

namespace Ostrel {

// Stored as the schedule mode when the mode is Invalid, and the mode's
// default when the value is missing.
constexpr std::int32_t invalidScheduleCode = 100;

// The schedule mode of a stored number, and the number stored for a mode:
// 0, 1 and 2 are Daily, Weekly and Periodic; every other number is Invalid,
// stored as invalidScheduleCode.
inline ScheduleMode scheduleModeFromCode(std::int32_t code)
{
    return code >= Daily && code <= Periodic ? static_cast<ScheduleMode>(code) : Invalid;
}
inline std::int32_t scheduleModeCode(ScheduleMode mode)
{
    return scheduleModeFromCode(mode) == Invalid ? invalidScheduleCode : std::int32_t(mode);
}

// The stored values of one key of the configuration, before the loader gives
// them a meaning. Neither read throws for any stored data.
class SettingsValues {
public:
    virtual ~SettingsValues() = default;

    // The number stored under name: data of up to 4 bytes as a little-endian
    // integer, whatever the value's type; def when the value is missing or
    // its data are longer (integerFromData of registry/RegData.h).
    virtual std::int32_t number(const wchar_t* name, std::int32_t def) const = 0;

    // The text stored under name: its data as UTF-16 up to the first NUL,
    // whatever the value's type; def when the value is missing or unreadable
    // (textFromData of registry/RegData.h).
    virtual std::u16string text(const wchar_t* name, const std::u16string& def) const = 0;
};

class SettingsSource {
public:
    virtual ~SettingsSource() = default;

    // The settings key for lineset 0, else the subkey of lineset n.
    // Throws std::runtime_error when that key does not exist.
    virtual std::unique_ptr<SettingsValues> open(std::uint32_t lineset) const = 0;
};

// Reads the whole configuration from the source. Never throws for stored
// content: missing or malformed values take their defaults, a missing
// settings key gives no linesets, a missing lineset subkey ends the list.
boost::shared_ptr<Settings> loadSettings(const SettingsSource& source);

}  // namespace Ostrel
