#include "Ostrel/scheduling/Schedule.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>
#include <boost/optional.hpp>

#include "date_range/DateRange.h"

using boost::posix_time::ptime;
using boost::posix_time::time_duration;

namespace Ostrel {
namespace {

// 9999-12-31: no later date can be represented.
boost::gregorian::date lastDate()
{
    return boost::gregorian::date(boost::date_time::max_date_time);
}

// Today at the time of day, else tomorrow at it: the moment just delivered
// is never taken again.
ptime nextDaily(std::int32_t hour, std::int32_t minute, const ptime& after)
{
    const boost::gregorian::date day = after.date();
    const ptime today(day, time_duration(hour, minute, 0));
    if (isLater(today, after))
        return today;
    return ptime(day, time_duration(std::int64_t(hour) + 24, minute, 0));
}

// The first date on the weekday from after's date on whose time of day is
// later than after; with the non-negative time of an accepted schedule that
// is within eight dates, unless the walk reaches the end of the date range.
ptime nextWeekly(std::int32_t hour, std::int32_t minute, int weekday, const ptime& after)
{
    const time_duration timeOfDay(hour, minute, 0);
    for (boost::gregorian::day_iterator day(after.date()); *day <= lastDate(); ++day) {
        if (day->day_of_week().as_number() != weekday)
            continue;
        const ptime candidate(*day, timeOfDay);
        if (isLater(candidate, after))
            return candidate;
    }
    return ptime(boost::posix_time::not_a_date_time);
}

// The next point of the grid start + n * period, found by one division.
// Rounding toward zero makes an after before the start, and off the grid,
// skip the next grid point (less than a period before the start gives
// start + period, not start); that is the rule's meaning and is kept.
// The number of periods is taken in 64 bits: in 32 it wraps after 2^31
// periods and gives a moment before after. With after and start inside the
// date range and a period of at most 2^31 hours plus 2^31 minutes, no
// intermediate value leaves 64 bits.
ptime nextPeriodic(std::int32_t hours, std::int32_t minutes, const ptime& start, const ptime& after)
{
    const std::int64_t period = time_duration(hours, minutes, 0).ticks();
    const std::int64_t periods = (momentTicks(after) - momentTicks(start)) / period;
    return start + boost::posix_time::microseconds(period * (periods + 1));
}

// The latest date + offset at or before atOrBefore, the date on the weekday
// (0 Sunday to 6 Saturday) or, without one, any date.
ptime lastOnDate(const time_duration& offset, const boost::optional<int>& weekday, const ptime& atOrBefore)
{
    const ptime none(boost::posix_time::not_a_date_time);
    // Huge hours and minutes reach 64-bit tick counts before the subtraction
    // could overflow, but may walk out of the date range.
    const ptime latestDay = atOrBefore - offset;
    if (!isInDateRange(latestDay))
        return none;
    boost::gregorian::date day = latestDay.date();
    if (weekday) {
        const int back = (day.day_of_week().as_number() - *weekday + 7) % 7;
        if ((day - boost::gregorian::date(boost::date_time::min_date_time)).days() < back)
            return none;
        day -= boost::gregorian::days(back);
    }
    return ptime(day, offset);
}

// The grid point start + n * period at or before atOrBefore, n rounded
// toward minus infinity (the grid goes on before the start).
ptime lastPeriodic(std::int32_t hours, std::int32_t minutes, const ptime& start, const ptime& atOrBefore)
{
    const std::int64_t period = time_duration(hours, minutes, 0).ticks();
    const std::int64_t since = momentTicks(atOrBefore) - momentTicks(start);
    const std::int64_t periods = since / period - (since % period < 0 ? 1 : 0);
    return start + boost::posix_time::microseconds(period * periods);
}

// What refuses a schedule, told without forming its text: the rules ask on
// every moment they give.
enum class Fault { none, negativeDailyTime, negativeWeeklyTime, weekdayOutOfRange, negativePeriod, zeroPeriod };

Fault faultOf(const ScheduleSettings& s)
{
    switch (s.scheduleMode) {
    case Ostrel::Daily:
        return s.dailyHour < 0 || s.dailyMinute < 0 ? Fault::negativeDailyTime : Fault::none;
    case Ostrel::Weekly:
        if (s.weeklyHour < 0 || s.weeklyMinute < 0)
            return Fault::negativeWeeklyTime;
        return static_cast<int>(s.weeklyWeekday) < 0 || static_cast<int>(s.weeklyWeekday) > 6 ? Fault::weekdayOutOfRange
                                                                                              : Fault::none;
    case Ostrel::Periodic:
        if (s.periodicHours < 0 || s.periodicMinutes < 0)
            return Fault::negativePeriod;
        return s.periodicHours == 0 && s.periodicMinutes == 0 ? Fault::zeroPeriod : Fault::none;
    default:
        return Fault::none;
    }
}

// One direction of the rules (the next moment or the last one), a function
// per mode.
struct Rules {
    typedef ptime (*Rule)(const ScheduleSettings&, const ptime&);
    Rule daily;
    Rule weekly;
    Rule periodic;
};

// The selected mode's rule at moment, within the bounds both directions
// share: no moment for a moment outside the date range, a refused schedule,
// a mode without a rule, a start time that is no moment, or a result past
// the date range (which could be neither printed nor used as the next
// moment to count from).
ptime byMode(const ScheduleSettings& settings, const ptime& moment, const Rules& rules)
{
    const ptime none(boost::posix_time::not_a_date_time);
    if (!isInDateRange(moment) || faultOf(settings) != Fault::none)
        return none;
    Rules::Rule rule;
    switch (settings.scheduleMode) {
    case Ostrel::Daily:
        rule = rules.daily;
        break;
    case Ostrel::Weekly:
        rule = rules.weekly;
        break;
    case Ostrel::Periodic:
        if (settings.periodicStartTime.is_special())
            return none;
        rule = rules.periodic;
        break;
    default:
        return none;
    }
    const ptime result = rule(settings, moment);
    return isInDateRange(result) ? result : none;
}

const Rules nextRules{
    [](const ScheduleSettings& s, const ptime& after) { return nextDaily(s.dailyHour, s.dailyMinute, after); },
    [](const ScheduleSettings& s, const ptime& after) {
        return nextWeekly(s.weeklyHour, s.weeklyMinute, s.weeklyWeekday, after);
    },
    [](const ScheduleSettings& s, const ptime& after) {
        return nextPeriodic(s.periodicHours, s.periodicMinutes, s.periodicStartTime, after);
    }};

const Rules lastRules{[](const ScheduleSettings& s, const ptime& atOrBefore) {
                          return lastOnDate(time_duration(s.dailyHour, s.dailyMinute, 0), boost::none, atOrBefore);
                      },
                      [](const ScheduleSettings& s, const ptime& atOrBefore) {
                          return lastOnDate(time_duration(s.weeklyHour, s.weeklyMinute, 0),
                                            static_cast<int>(s.weeklyWeekday), atOrBefore);
                      },
                      [](const ScheduleSettings& s, const ptime& atOrBefore) {
                          return lastPeriodic(s.periodicHours, s.periodicMinutes, s.periodicStartTime, atOrBefore);
                      }};

}  // namespace

ptime nextMoment(const ScheduleSettings& settings, const ptime& after)
{
    return byMode(settings, after, nextRules);
}

ptime lastMoment(const ScheduleSettings& settings, const ptime& atOrBefore)
{
    return byMode(settings, atOrBefore, lastRules);
}

boost::optional<std::string> scheduleRefusal(const ScheduleSettings& settings)
{
    switch (faultOf(settings)) {
    case Fault::negativeDailyTime:
        return str(boost::format("negative daily hour or minute (hour %1%, minute %2%)") % settings.dailyHour %
                   settings.dailyMinute);
    case Fault::negativeWeeklyTime:
        return str(boost::format("negative weekly hour or minute (hour %1%, minute %2%)") % settings.weeklyHour %
                   settings.weeklyMinute);
    case Fault::weekdayOutOfRange:
        return str(boost::format("weekday %1% outside 0 (Sunday) to 6 (Saturday)") %
                   static_cast<int>(settings.weeklyWeekday));
    case Fault::negativePeriod:
        return str(boost::format("negative period (hours %1%, minutes %2%)") % settings.periodicHours %
                   settings.periodicMinutes);
    case Fault::zeroPeriod:
        return std::string("zero period");
    case Fault::none:
        break;
    }
    return boost::none;
}

}  // namespace Ostrel
