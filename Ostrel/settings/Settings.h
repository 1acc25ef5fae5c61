#pragma once
// The service's configuration as it stands in the registry: linesets, each
// with the mode it switches its lines to, for how long, and on which schedule.
// No Windows API here; what stored values mean is SettingsLoad.cpp, their
// reading from the registry settings_registry/SettingsRegistry.h.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace Ostrel {

// Stored numbers 0, 1 and 2 select the first three; anything else is Invalid.
enum ScheduleMode : std::int32_t { Daily = 0, Weekly = 1, Periodic = 2, Invalid = 3 };

struct ScheduleSettings {
    ScheduleMode scheduleMode = Invalid;
    std::int32_t dailyHour = 0;
    std::int32_t dailyMinute = 0;
    std::int32_t weeklyHour = 0;
    std::int32_t weeklyMinute = 0;
    boost::date_time::weekdays weeklyWeekday = boost::date_time::Sunday;  // Sunday = 0
    std::int32_t periodicHours = 0;
    std::int32_t periodicMinutes = 0;
    // not_a_date_time until loaded; then a moment from 1400-01-01 to
    // 9999-12-31, the only ones that can be printed and scheduled: the loader
    // takes the default for any other.
    boost::posix_time::ptime periodicStartTime;
};

struct LinesetSettings {
    std::string name;
    ScheduleSettings schedule;
    boost::posix_time::time_duration interval;  // may be zero or negative as stored
    std::string mode;
    std::vector<std::int32_t> lines;  // configured order, duplicates kept

    // Writes this lineset's block of the settings dump.
    void print(std::ostream& os) const;
};

struct Settings {
    std::vector<LinesetSettings> linesets;

    // Writes the settings dump; every line is ended with std::endl.
    void print(std::ostream& os) const;
};

// Equality as the settings monitor sees it: schedules compare only the fields
// of their selected mode, so an edit of an unused mode's field is no change.
bool operator==(const ScheduleSettings& a, const ScheduleSettings& b);
bool operator==(const LinesetSettings& a, const LinesetSettings& b);
bool operator==(const Settings& a, const Settings& b);
inline bool operator!=(const ScheduleSettings& a, const ScheduleSettings& b)
{
    return !(a == b);
}
inline bool operator!=(const LinesetSettings& a, const LinesetSettings& b)
{
    return !(a == b);
}
inline bool operator!=(const Settings& a, const Settings& b)
{
    return !(a == b);
}

// The one-line schedule description ("Daily, 07:05", "INVALID", ...).
std::ostream& operator<<(std::ostream& os, const ScheduleSettings& s);

// Line numbers in decimal, in list order, joined by the separator.
std::string joinLines(const std::vector<std::int32_t>& lines, const char* separator);

}  // namespace Ostrel
