#include "Ostrel/scheduling/Schedule.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>
#include <boost/optional.hpp>

#include "date_range/DateRange.h"

using boost::posix_time::ptime;
using boost::posix_time::time_duration;

namespace {

// ptime keeps its tick count protected; a copy of it in a derived object may
// read it.
struct TickReader : ptime {
    explicit TickReader(const ptime& moment) : ptime(moment) {}
    std::int64_t ticks() const { return time_.time_count(); }
};

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

}  // namespace

std::int64_t momentTicks(const ptime& moment)
{
    return TickReader(moment).ticks();
}

ptime localNow()
{
    return boost::posix_time::microsec_clock::local_time();
}

namespace Ostrel {

ptime nextMoment(const ScheduleSettings& settings, const ptime& after)
{
    const ptime none(boost::posix_time::not_a_date_time);
    if (!isInDateRange(after) || isRefusedSchedule(settings))
        return none;
    ptime next;
    switch (settings.scheduleMode) {
    case Daily:
        next = nextDaily(settings.dailyHour, settings.dailyMinute, after);
        break;
    case Weekly:
        next = nextWeekly(settings.weeklyHour, settings.weeklyMinute, settings.weeklyWeekday, after);
        break;
    case Periodic:
        next = nextPeriodic(settings.periodicHours, settings.periodicMinutes, settings.periodicStartTime, after);
        break;
    default:
        return none;
    }
    // A moment past the end of the date range could be neither printed nor
    // used as the next after: there is no next moment.
    return isInDateRange(next) ? next : none;
}

ptime lastMoment(const ScheduleSettings& settings, const ptime& atOrBefore)
{
    const ptime none(boost::posix_time::not_a_date_time);
    if (!isInDateRange(atOrBefore) || isRefusedSchedule(settings))
        return none;
    ptime last;
    switch (settings.scheduleMode) {
    case Daily:
        last = lastOnDate(time_duration(settings.dailyHour, settings.dailyMinute, 0), boost::none, atOrBefore);
        break;
    case Weekly:
        last = lastOnDate(time_duration(settings.weeklyHour, settings.weeklyMinute, 0),
                          static_cast<int>(settings.weeklyWeekday), atOrBefore);
        break;
    case Periodic:
        last = lastPeriodic(settings.periodicHours, settings.periodicMinutes, settings.periodicStartTime, atOrBefore);
        break;
    default:
        return none;
    }
    return isInDateRange(last) ? last : none;
}

std::string scheduleRefusal(const ScheduleSettings& settings)
{
    switch (settings.scheduleMode) {
    case Daily:
        if (settings.dailyHour < 0 || settings.dailyMinute < 0)
            return str(boost::format("negative daily hour or minute (hour %1%, minute %2%)") % settings.dailyHour %
                       settings.dailyMinute);
        break;
    case Weekly:
        if (settings.weeklyHour < 0 || settings.weeklyMinute < 0)
            return str(boost::format("negative weekly hour or minute (hour %1%, minute %2%)") % settings.weeklyHour %
                       settings.weeklyMinute);
        if (static_cast<int>(settings.weeklyWeekday) < 0 || static_cast<int>(settings.weeklyWeekday) > 6)
            return str(boost::format("weekday %1% outside 0 (Sunday) to 6 (Saturday)") %
                       static_cast<int>(settings.weeklyWeekday));
        break;
    case Periodic:
        if (settings.periodicHours < 0 || settings.periodicMinutes < 0)
            return str(boost::format("negative period (hours %1%, minutes %2%)") % settings.periodicHours %
                       settings.periodicMinutes);
        if (settings.periodicHours == 0 && settings.periodicMinutes == 0)
            return "zero period";
        // Not printed: a moment past the date range cannot be.
        if (!isInDateRange(settings.periodicStartTime))
            return "periodic start time not a moment from 1400-01-01 to 9999-12-31";
        break;
    default:
        break;
    }
    return std::string();
}

}  // namespace Ostrel
