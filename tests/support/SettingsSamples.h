#pragma once
// Settings that tests build again and again.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/conversion.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "Ostrel/settings/Settings.h"

// A lineset that fires every minute, first at `firstMoment` (the periodic
// start lies one period before it, so the first moment after a start-up a
// little earlier is that one; a moment missed comes again a minute later).
inline Ostrel::LinesetSettings minutelyLineset(const std::string& name, std::vector<std::int32_t> lines,
                                               const std::string& mode, boost::posix_time::time_duration interval,
                                               const boost::posix_time::ptime& firstMoment)
{
    Ostrel::LinesetSettings l;
    l.name = name;
    l.lines = std::move(lines);
    l.mode = mode;
    l.interval = interval;
    l.schedule.scheduleMode = Ostrel::Periodic;
    l.schedule.periodicHours = 0;
    l.schedule.periodicMinutes = 1;
    l.schedule.periodicStartTime = firstMoment - boost::posix_time::minutes(1);
    return l;
}

// A schedule with every field set to a distinct value, whatever its mode,
// so that a test can tell which fields a comparison or a description uses.

inline Ostrel::ScheduleSettings sampleSchedule(Ostrel::ScheduleMode mode)
{
    Ostrel::ScheduleSettings s;
    s.scheduleMode = mode;
    s.dailyHour = 7;
    s.dailyMinute = 5;
    s.weeklyHour = 9;
    s.weeklyMinute = 30;
    s.weeklyWeekday = boost::date_time::Monday;
    s.periodicHours = 1;
    s.periodicMinutes = 30;
    s.periodicStartTime = boost::posix_time::from_time_t(0);
    return s;
}
