// Loading the settings from a source of stored values: what every value
// means and what it falls back to.

#include "Ostrel/settings/SettingsSource.h"

#include <algorithm>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast/try_lexical_convert.hpp>
#include <boost/make_shared.hpp>

#include "registry/RegData.h"
#include "utf/Utf.h"

namespace Ostrel {
namespace {

using utf::narrow;

// The start time's default, the epoch, is also the text read when the value
// is missing.
const boost::posix_time::ptime epoch = boost::posix_time::from_time_t(0);
const std::u16string epochText = u"1970-01-01T00:00:00";

ScheduleSettings readSchedule(const SettingsValues& key)
{
    ScheduleSettings s;
    s.scheduleMode = scheduleModeFromCode(key.number(L"ScheduleMode", invalidScheduleCode));
    s.dailyHour = key.number(L"DailyHour", 0);
    s.dailyMinute = key.number(L"DailyMinute", 0);
    s.weeklyHour = key.number(L"WeeklyHour", 0);
    s.weeklyMinute = key.number(L"WeeklyMinute", 0);
    s.weeklyWeekday = weekdayFromStored(key.number(L"WeeklyWeekday", noStoredWeekday), boost::date_time::Sunday);
    s.periodicHours = key.number(L"PeriodicHours", 0);
    s.periodicMinutes = key.number(L"PeriodicMinutes", 30);
    s.periodicStartTime = momentFromText(narrow(key.text(L"PeriodicStartTime", epochText)), epoch);
    return s;
}

// The items are the pieces between commas, as boost::algorithm::split with
// is_any_of(",") gives them, each converted as UTF-16 text: converting the
// whole list to UTF-8 first would drop an invalid unit between two digits
// and join them into another number. Items are not trimmed: "1, 2" gives 1
// only, since " 2" is no number. Taken without a vector of copies: every
// read of the settings parses every list.
std::vector<std::int32_t> parseLines(const std::u16string& text)
{
    std::vector<std::int32_t> lines;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = std::min(text.find(u',', begin), text.size());
        std::int32_t line;
        if (end > begin && boost::conversion::try_lexical_convert(text.data() + begin, end - begin, line))
            lines.push_back(line);
        if (end == text.size())
            return lines;
        begin = end + 1;
    }
}

LinesetSettings readLineset(const SettingsValues& key)
{
    LinesetSettings l;
    l.name = narrow(key.text(L"Name", u""));
    l.mode = narrow(key.text(L"LineMode", u"CNT"));
    l.interval = boost::posix_time::seconds(key.number(L"Interval", 30));
    l.schedule = readSchedule(key);
    l.lines = parseLines(key.text(L"Lines", u""));
    return l;
}

std::uint32_t readCount(const SettingsSource& source)
{
    try {
        return static_cast<std::uint32_t>(source.open(0)->number(L"Count", 0));
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

boost::shared_ptr<Settings> loadSettings(const SettingsSource& source)
{
    auto settings = boost::make_shared<Settings>();
    const std::uint32_t count = readCount(source);
    for (std::uint32_t n = 1; n <= count && n != 0; ++n) {
        try {
            settings->linesets.push_back(readLineset(*source.open(n)));
        } catch (const std::runtime_error&) {
            break;  // a missing subkey ends the list
        }
    }
    return settings;
}

}  // namespace Ostrel
