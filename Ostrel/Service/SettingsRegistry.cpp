// Loading and saving the settings: the registry side of Settings.h.

#include "Ostrel/Service/Settings.h"

#include <algorithm>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <boost/make_shared.hpp>

#include "registry/Reg.h"

namespace Ostrel {
namespace {

// Stored as the schedule mode when the mode is Invalid, and the default
// when the value is missing.
constexpr std::int32_t invalidScheduleCode = 100;

std::wstring widen(const std::string& utf8)
{
    return boost::locale::conv::utf_to_utf<wchar_t>(utf8);
}

std::string narrow(const std::wstring& utf16)
{
    return boost::locale::conv::utf_to_utf<char>(utf16);
}

std::wstring linesetKeyPath(std::size_t n)
{
    // The decimal number without leading zeros, as "\\%1%" formats it; formed
    // without a stream, since the change test opens every subkey four times
    // a second.
    return widen(settingsKeyPath + ("\\" + std::to_string(n)));
}

ScheduleMode scheduleModeFromCode(std::int32_t code)
{
    return code >= Daily && code <= Periodic ? static_cast<ScheduleMode>(code) : Invalid;
}

ScheduleSettings readSchedule(const Reg& key)
{
    ScheduleSettings s;
    s.scheduleMode = scheduleModeFromCode(key.read(L"ScheduleMode", invalidScheduleCode));
    s.dailyHour = key.read(L"DailyHour", 0);
    s.dailyMinute = key.read(L"DailyMinute", 0);
    s.weeklyHour = key.read(L"WeeklyHour", 0);
    s.weeklyMinute = key.read(L"WeeklyMinute", 0);
    s.weeklyWeekday = key.read(L"WeeklyWeekday", boost::date_time::Sunday);
    s.periodicHours = key.read(L"PeriodicHours", 0);
    s.periodicMinutes = key.read(L"PeriodicMinutes", 30);
    s.periodicStartTime = key.read(L"PeriodicStartTime", boost::posix_time::from_time_t(0));
    return s;
}

// Items are not trimmed: "1, 2" gives 1 only, since " 2" is no number. The
// items are the pieces between commas, as boost::algorithm::split with
// is_any_of(",") gives them, taken without a vector of copies: the change
// test parses every list four times a second.
std::vector<std::int32_t> parseLines(const std::string& text)
{
    std::vector<std::int32_t> lines;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = std::min(text.find(',', begin), text.size());
        std::int32_t line;
        if (end > begin && boost::conversion::try_lexical_convert(text.data() + begin, end - begin, line))
            lines.push_back(line);
        if (end == text.size())
            return lines;
        begin = end + 1;
    }
}

LinesetSettings readLineset(const Reg& key)
{
    LinesetSettings l;
    l.name = narrow(key.read(L"Name", L""));
    l.mode = narrow(key.read(L"LineMode", L"CNT"));
    l.interval = boost::posix_time::seconds(key.read(L"Interval", 30));
    l.schedule = readSchedule(key);
    l.lines = parseLines(narrow(key.read(L"Lines", L"")));
    return l;
}

std::uint32_t readCount()
{
    try {
        return static_cast<std::uint32_t>(Reg(HKEY_LOCAL_MACHINE, widen(settingsKeyPath), KEY_READ).read(L"Count", 0));
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

boost::shared_ptr<Settings> loadSettings()
{
    auto settings = boost::make_shared<Settings>();
    const std::uint32_t count = readCount();
    for (std::uint32_t n = 1; n <= count && n != 0; ++n) {
        try {
            Reg key(HKEY_LOCAL_MACHINE, linesetKeyPath(n), KEY_READ);
            settings->linesets.push_back(readLineset(key));
        } catch (const std::runtime_error&) {
            break;  // a missing subkey ends the list
        }
    }
    return settings;
}

void saveSettings(const boost::shared_ptr<const Settings>& settings)
{
    Reg root(HKEY_LOCAL_MACHINE, widen(settingsKeyPath), KEY_ALL_ACCESS);
    root.write(L"Count", static_cast<std::int32_t>(settings->linesets.size()));
    for (std::size_t i = 0; i < settings->linesets.size(); ++i) {
        const LinesetSettings& l = settings->linesets[i];
        const ScheduleSettings& s = l.schedule;
        Reg key(HKEY_LOCAL_MACHINE, linesetKeyPath(i + 1), KEY_ALL_ACCESS);
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
}

}  // namespace Ostrel
