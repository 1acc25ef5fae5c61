// Loading and saving the settings: the registry side of Settings.h.

#include "Ostrel/Service/SettingsRegistry.h"

#include "Ostrel/Service/SettingsSource.h"
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

class RegistryValues final : public SettingsValues {
public:
    explicit RegistryValues(std::size_t lineset)
        : key(HKEY_LOCAL_MACHINE, settingsKeyName(lineset), KEY_READ | settingsKeyView)
    {
    }

    std::int32_t number(const wchar_t* name, std::int32_t def) const override { return key.read(name, def); }
    std::u16string text(const wchar_t* name, const std::u16string& def) const override
    {
        return utf16(key.read(name, std::wstring(def.begin(), def.end())));
    }

private:
    Reg key;
};

class RegistrySource final : public SettingsSource {
public:
    std::unique_ptr<SettingsValues> open(std::uint32_t lineset) const override
    {
        return std::make_unique<RegistryValues>(lineset);
    }
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
    Reg root(HKEY_LOCAL_MACHINE, settingsKeyName(), access);
    for (std::size_t i = 0; i < settings->linesets.size(); ++i) {
        const LinesetSettings& l = settings->linesets[i];
        const ScheduleSettings& s = l.schedule;
        Reg key(HKEY_LOCAL_MACHINE, settingsKeyName(i + 1), access);
        key.write(L"Name", widen(l.name));
        key.write(L"LineMode", widen(l.mode));
        key.write(L"Interval", static_cast<std::int32_t>(l.interval.total_seconds()));
        key.write(L"ScheduleMode", s.scheduleMode == Invalid ? invalidScheduleCode : std::int32_t(s.scheduleMode));
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

}  // namespace Ostrel
