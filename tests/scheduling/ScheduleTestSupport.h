#pragma once
// Moments, schedule settings and a clock the tests set by hand.

#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "Ostrel/scheduling/Schedule.h"
#include "Ostrel/settings/Settings.h"

namespace scheduling_test {

// "2024-03-04 08:00:00" or with a fraction, "2024-03-04 07:59:59.999999".
inline boost::posix_time::ptime at(const std::string& text)
{
    return boost::posix_time::time_from_string(text);
}

inline const boost::posix_time::ptime none{boost::posix_time::not_a_date_time};

inline Ostrel::ScheduleSettings daily(std::int32_t hour, std::int32_t minute)
{
    Ostrel::ScheduleSettings s;
    s.scheduleMode = Ostrel::Daily;
    s.dailyHour = hour;
    s.dailyMinute = minute;
    return s;
}

inline Ostrel::ScheduleSettings weekly(int weekday, std::int32_t hour, std::int32_t minute)
{
    Ostrel::ScheduleSettings s;
    s.scheduleMode = Ostrel::Weekly;
    s.weeklyWeekday = static_cast<boost::date_time::weekdays>(weekday);
    s.weeklyHour = hour;
    s.weeklyMinute = minute;
    return s;
}

inline Ostrel::ScheduleSettings periodic(std::int32_t hours, std::int32_t minutes, boost::posix_time::ptime start)
{
    Ostrel::ScheduleSettings s;
    s.scheduleMode = Ostrel::Periodic;
    s.periodicHours = hours;
    s.periodicMinutes = minutes;
    s.periodicStartTime = start;
    return s;
}

inline Ostrel::ScheduleSettings invalid()
{
    return Ostrel::ScheduleSettings();
}

inline Ostrel::LinesetSettings lineset(const std::string& name, const Ostrel::ScheduleSettings& schedule)
{
    Ostrel::LinesetSettings l;
    l.name = name;
    l.schedule = schedule;
    l.mode = "CNT";
    l.lines = {1, 2};
    l.interval = boost::posix_time::seconds(30);
    return l;
}

// A lineset that holds its lines in the mode for the interval.
inline Ostrel::LinesetSettings held(const std::string& name, const Ostrel::ScheduleSettings& schedule,
                                    boost::posix_time::time_duration interval, std::vector<std::int32_t> lines,
                                    const std::string& mode = "CNT")
{
    Ostrel::LinesetSettings l = lineset(name, schedule);
    l.interval = interval;
    l.lines = std::move(lines);
    l.mode = mode;
    return l;
}

// A clock that stands still until the test moves it; copies share the time.
class ManualClock {
public:
    explicit ManualClock(boost::posix_time::ptime now) : now(boost::make_shared<boost::posix_time::ptime>(now)) {}
    void set(boost::posix_time::ptime moment) { *now = moment; }
    void advance(boost::posix_time::time_duration by) { *now += by; }
    boost::posix_time::ptime operator()() const { return *now; }

private:
    boost::shared_ptr<boost::posix_time::ptime> now;
};

}  // namespace scheduling_test
