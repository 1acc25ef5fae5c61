// Loading and saving the settings: the registry side of Settings.h.

#include "Ostrel/settings_registry/SettingsRegistry.h"

#include <map>
#include <memory>
#include <stdexcept>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/throw_exception.hpp>

#include "Ostrel/settings/SettingsSource.h"
#include "registry/Reg.h"
#include "utf/Utf.h"

namespace Ostrel {

const char* const settingsKeyPath = "SOFTWARE\\Brevik\\Ostrel";

namespace {

using utf::widen;

// The registry's wide text is UTF-16 on Windows: the units are copied.
std::u16string utf16(const std::wstring& text)
{
    return std::u16string(text.begin(), text.end());
}

// What the values of one lineset subkey read as, while the key's last write
// time stays the one they were read at. A read of the settings then learns
// the times of all subkeys in one walk of the settings key and opens only
// those written since: the engine reads every lineset after each change.
struct KeyMemory {
    std::uint64_t written = 0;
    std::map<std::wstring, std::int32_t> numbers;
    std::map<std::wstring, std::u16string> texts;
};

// The last write time has a coarse clock: two writes close together may
// carry the same time, so a memory is made only of a key not written for
// this long (in 100 ns units, as the times are). An edit after the memory
// then carries a later time, however coarse the clock.
constexpr std::uint64_t settledAfter = 2 * 10000000ull;

bool settled(std::uint64_t written)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    // A time ahead of the clock (set back since) is not settled either.
    return written != 0 && written + settledAfter <= ((std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

// The memories of the subkeys by lineset number, shared by every read of
// the settings in the process; each memory is immutable once kept.
class SubkeyMemories {
public:
    boost::shared_ptr<const KeyMemory> find(std::size_t lineset, std::uint64_t written)
    {
        boost::lock_guard<boost::mutex> lock(mutex);
        const auto found = memories.find(lineset);
        if (found == memories.end() || found->second->written != written)
            return nullptr;
        return found->second;
    }
    void keep(std::size_t lineset, boost::shared_ptr<const KeyMemory> memory)
    {
        boost::lock_guard<boost::mutex> lock(mutex);
        memories[lineset] = std::move(memory);
    }

private:
    boost::mutex mutex;
    std::map<std::size_t, boost::shared_ptr<const KeyMemory>> memories;
};

SubkeyMemories subkeyMemories;

constexpr REGSAM readAccess = KEY_READ | settingsKeyView;

// The values of the settings key (lineset 0, no memory: it holds one
// value) or of a lineset subkey, which is opened only when its values are
// not remembered at the time the walk found.
class RegistryValues final : public SettingsValues {
public:
    RegistryValues(const Reg& settingsKey, std::size_t lineset, std::uint64_t written)
        : settingsKey(settingsKey), name(lineset == 0 ? std::wstring() : std::to_wstring(lineset)), lineset(lineset)
    {
        if (lineset != 0 && settled(written)) {
            remembered = subkeyMemories.find(lineset, written);
            if (!remembered) {
                reading = boost::make_shared<KeyMemory>();
                reading->written = written;
            }
        }
        if (!remembered)
            opened();  // throws when the subkey is missing
    }
    // What was read is kept for the next read of the settings.
    ~RegistryValues() override
    {
        if (reading)
            subkeyMemories.keep(lineset, reading);
    }

    std::int32_t number(const wchar_t* valueName, std::int32_t def) const override
    {
        return recall(valueName, def, &KeyMemory::numbers, [&] { return opened().read(valueName, def); });
    }
    std::u16string text(const wchar_t* valueName, const std::u16string& def) const override
    {
        return recall(valueName, def, &KeyMemory::texts,
                      [&] { return utf16(opened().read(valueName, std::wstring(def.begin(), def.end()))); });
    }

private:
    // The remembered value, or the one read now (kept when a memory is
    // being made). The loader asks for a value always with one default.
    template <class T, class Read>
    T recall(const wchar_t* valueName, const T&, std::map<std::wstring, T> KeyMemory::*values, Read read) const
    {
        if (remembered) {
            const auto found = ((*remembered).*values).find(valueName);
            if (found != ((*remembered).*values).end())
                return found->second;
        }
        const T value = read();
        if (reading)
            ((*reading).*values)[valueName] = value;
        return value;
    }

    const Reg& opened() const
    {
        if (!key)
            key = std::make_unique<Reg>(Reg::open(settingsKey, name, readAccess));
        return *key;
    }

    const Reg& settingsKey;
    std::wstring name;
    std::size_t lineset;
    mutable std::unique_ptr<Reg> key;
    boost::shared_ptr<const KeyMemory> remembered;
    boost::shared_ptr<KeyMemory> reading;
};

// One read of the settings: the settings key stays open for it, and its
// subkeys' last write times are taken once, before any value is read, so
// that a write after them is never remembered under an older time.
class RegistrySource final : public SettingsSource {
public:
    RegistrySource()
    {
        try {
            settingsKey = std::make_unique<Reg>(Reg::open(HKEY_LOCAL_MACHINE, settingsKeyName(), readAccess));
        } catch (const std::runtime_error&) {
            return;  // no settings key: every open throws
        }
        subkeysWritten = settingsKey->subkeysWritten();
    }

    std::unique_ptr<SettingsValues> open(std::uint32_t lineset) const override
    {
        if (!settingsKey)
            boost::throw_exception(std::runtime_error("Can't open registry key"));
        // A subkey the walk passed over is read value by value.
        const auto written = subkeysWritten.find(std::to_wstring(lineset));
        return std::make_unique<RegistryValues>(*settingsKey, lineset,
                                                written == subkeysWritten.end() ? 0 : written->second);
    }

private:
    std::unique_ptr<Reg> settingsKey;
    std::map<std::wstring, std::uint64_t> subkeysWritten;
};

}  // namespace

std::wstring settingsKeyName(std::size_t lineset)
{
    // The decimal number without leading zeros, as "\\%1%" formats it; formed
    // without a stream, since every read of the settings opens every subkey.
    return widen(lineset == 0 ? std::string(settingsKeyPath) : settingsKeyPath + ("\\" + std::to_string(lineset)));
}

boost::shared_ptr<Settings> loadSettings()
{
    return loadSettings(RegistrySource());
}

void saveSettings(const boost::shared_ptr<const Settings>& settings)
{
    const REGSAM access = KEY_ALL_ACCESS | settingsKeyView;
    Reg root = Reg::create(HKEY_LOCAL_MACHINE, settingsKeyName(), access);
    for (std::size_t i = 0; i < settings->linesets.size(); ++i) {
        const LinesetSettings& l = settings->linesets[i];
        const ScheduleSettings& s = l.schedule;
        Reg key = Reg::create(HKEY_LOCAL_MACHINE, settingsKeyName(i + 1), access);
        key.write(L"Name", widen(l.name));
        key.write(L"LineMode", widen(l.mode));
        key.write(L"Interval", static_cast<std::int32_t>(l.interval.total_seconds()));
        key.write(L"ScheduleMode", scheduleModeCode(s.scheduleMode));
        key.write(L"DailyHour", s.dailyHour);
        key.write(L"DailyMinute", s.dailyMinute);
        key.write(L"WeeklyHour", s.weeklyHour);
        key.write(L"WeeklyMinute", s.weeklyMinute);
        key.write(L"WeeklyWeekday", s.weeklyWeekday);
        key.write(L"PeriodicHours", s.periodicHours);
        key.write(L"PeriodicMinutes", s.periodicMinutes);
        key.write(L"PeriodicStartTime", s.periodicStartTime);
        key.write(L"Lines", widen(joinLines(l.lines, ",")));
    }
    // Count last: linesets stored beyond the old Count are not read, so a
    // running engine that adds linesets sees them all at once.
    root.write(L"Count", static_cast<std::int32_t>(settings->linesets.size()));
}

const wchar_t* const backupWaitValue = L"BackupWait";

boost::chrono::milliseconds backupWaitSetting(boost::chrono::milliseconds fallback)
{
    const std::int32_t longest = 10 * 60 * 1000;
    try {
        const std::int32_t stored =
            Reg::open(HKEY_LOCAL_MACHINE, settingsKeyName(), readAccess).read(backupWaitValue, -1);
        if (stored >= fallback.count() && stored <= longest)
            return boost::chrono::milliseconds(stored);
    } catch (const RegOpenError&) {
        // No configuration key: the program's own wait.
    }
    return fallback;
}

}  // namespace Ostrel
