#include "Ostrel/settings/Settings.h"

#include <iomanip>
#include <ostream>

#include <boost/algorithm/string/join.hpp>
#include <boost/date_time/posix_time/posix_time_io.hpp>
#include <boost/lexical_cast.hpp>

namespace Ostrel {

bool operator==(const ScheduleSettings& a, const ScheduleSettings& b)
{
    if (a.scheduleMode != b.scheduleMode)
        return false;
    switch (a.scheduleMode) {
    case Daily:
        return a.dailyHour == b.dailyHour && a.dailyMinute == b.dailyMinute;
    case Weekly:
        return a.weeklyHour == b.weeklyHour && a.weeklyMinute == b.weeklyMinute && a.weeklyWeekday == b.weeklyWeekday;
    case Periodic:
        return a.periodicHours == b.periodicHours && a.periodicMinutes == b.periodicMinutes &&
               a.periodicStartTime == b.periodicStartTime;
    default:
        return true;
    }
}

bool operator==(const LinesetSettings& a, const LinesetSettings& b)
{
    return a.name == b.name && a.mode == b.mode && a.schedule == b.schedule && a.interval == b.interval &&
           a.lines == b.lines;
}

bool operator==(const Settings& a, const Settings& b)
{
    return a.linesets == b.linesets;
}

namespace {

// The weekday type holds only the seven days; the bounds check guards the
// table should a value ever be forced into it.
const char* weekdayName(boost::date_time::weekdays day)
{
    static const char* const names[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    return day >= 0 && day <= 6 ? names[day] : "<invalid day>";
}

struct TimeOfDay {
    std::int32_t hour;
    std::int32_t minute;
};

std::ostream& operator<<(std::ostream& os, TimeOfDay t)
{
    const char fill = os.fill('0');
    os << std::setw(2) << t.hour << ':' << std::setw(2) << t.minute;
    os.fill(fill);
    return os;
}

}  // namespace

std::string joinLines(const std::vector<std::int32_t>& lines, const char* separator)
{
    std::vector<std::string> items;
    for (std::int32_t line : lines)
        items.push_back(std::to_string(line));
    return boost::algorithm::join(items, separator);
}

std::ostream& operator<<(std::ostream& os, const ScheduleSettings& s)
{
    switch (s.scheduleMode) {
    case Daily:
        return os << "Daily, " << TimeOfDay{s.dailyHour, s.dailyMinute};
    case Weekly:
        return os << "Weekly, " << weekdayName(s.weeklyWeekday) << ' ' << TimeOfDay{s.weeklyHour, s.weeklyMinute};
    case Periodic:
        os << "Every " << s.periodicHours << "h " << s.periodicMinutes << "m from ";
        return os << s.periodicStartTime;
    default:
        return os << "INVALID";
    }
}

void LinesetSettings::print(std::ostream& os) const
{
    os << "name: " << name << std::endl;
    os << "mode: " << mode << std::endl;
    os << "interval: " << interval << std::endl;
    os << "schedule: " << boost::lexical_cast<std::string>(schedule) << std::endl;
    os << "lines: " << joinLines(lines, ", ") << std::endl;
    os << std::endl;
}

void Settings::print(std::ostream& os) const
{
    os << "Settings:" << std::endl;
    if (linesets.empty()) {
        os << "No linesets" << std::endl << std::endl;
        return;
    }
    for (std::size_t i = 0; i < linesets.size(); ++i) {
        os << "-- Lineset #" << i << ":" << std::endl;
        linesets[i].print(os);
    }
    os << std::endl;
}

}  // namespace Ostrel
