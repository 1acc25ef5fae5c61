// The registry fuzz against the real registry: every stored configuration
// of SettingsFuzz.h is written into the configuration key with the types
// and data it holds, loaded by the program's loader and taken through the
// engine's refusal check, schedule and polls. What the registry gives back
// must load exactly as the same content does from memory.
// scripts/bench.sh --long runs it with 100,000 cases.

#include "registry/SettingsFuzz.h"

#include <windows.h>

#include "Ostrel/settings_registry/SettingsRegistry.h"
#include "support/RegistryFixture.h"

namespace {

void storeInRegistry(const fuzz::StoredConfiguration& stored)
{
    deleteConfigurationKey();
    for (const auto& key : stored) {
        const std::wstring subkey = key.first == 0 ? std::wstring() : std::to_wstring(key.first);
        HKEY created;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, configurationKeyName(subkey).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS | Ostrel::settingsKeyView, nullptr, &created, nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create a configuration key");
        const RegKey handle(created);
        for (const auto& value : key.second) {
            const fuzz::StoredValue& v = value.second;
            // For a string type the registry (NT, and Wine alike) stores a
            // NUL unit that follows the given data as well, taking it for a
            // terminator left out of the count: the data are followed by a
            // unit that is none.
            std::vector<BYTE> data(v.data.begin(), v.data.end());
            data.insert(data.end(), {0xFF, 0xFF});
            if (RegSetValueExW(handle.get(), value.first.c_str(), 0, v.type, data.data(), DWORD(v.data.size())) !=
                ERROR_SUCCESS)
                throw std::runtime_error("cannot store a configuration value");
        }
    }
}

std::string sameAsFromMemory(const fuzz::StoredConfiguration& stored, const Ostrel::Settings& loaded)
{
    const auto fromMemory = fuzz::loadFromMemory(stored);
    if (loaded == *fromMemory)
        return std::string();
    std::ostringstream text;
    text << "the registry load differs from the memory load. From the registry:\n";
    loaded.print(text);
    text << "From memory:\n";
    fromMemory->print(text);
    return text.str();
}

class SettingsRegistryFuzz : public RegistryFixture {};

TEST_F(SettingsRegistryFuzz, NoStoredContentThrowsOrFiresWhatItShouldNot)
{
    fuzz::run(
        "settings fuzz (registry)", 500,
        {storeInRegistry, [](const fuzz::StoredConfiguration&) { return Ostrel::loadSettings(); }, sameAsFromMemory});
}

}  // namespace
