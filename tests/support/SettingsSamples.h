#pragma once
// A schedule with every field set to a distinct value, whatever its mode,
// so that a test can tell which fields a comparison or a description uses.

#include <boost/date_time/posix_time/conversion.hpp>

#include "Ostrel/Service/Settings.h"

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
