#pragma once
// Time conventions of the scheduling classes, the event record, the schedule
// interface and the next-moment rule of a lineset's schedule settings.
//
// A moment is a local wall-clock ptime with microsecond resolution; nothing
// here works in UTC or adjusts for daylight-saving changes. Moments are
// compared by their tick counts: not_a_date_time stands for "no moment" and,
// by its tick count, is later than every real moment. "Later" is always
// strictly later. No Windows header is needed.

#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "Ostrel/settings/Settings.h"

// The signed 64-bit tick count of a moment, special values included:
// not_a_date_time is the largest value minus one, +infinity the largest,
// -infinity the smallest.
std::int64_t momentTicks(const boost::posix_time::ptime& moment);

// Whether a is strictly later than b, by tick counts (so not_a_date_time is
// later than every real moment, and equal to itself).
inline bool isLater(const boost::posix_time::ptime& a, const boost::posix_time::ptime& b)
{
    return momentTicks(a) > momentTicks(b);
}

// Where the scheduling classes read "now". Production code always uses
// localNow; tests pass their own to reach exact instants.
typedef boost::function<boost::posix_time::ptime()> Clock;

// microsec_clock::local_time(): the system time through the C runtime's
// local-time conversion.
boost::posix_time::ptime localNow();

// One scheduled event. Immutable once made and always handled as
// boost::shared_ptr<const ScheduleEvent>; an empty pointer means no event.
struct ScheduleEvent {
    explicit ScheduleEvent(const boost::posix_time::ptime& time) : time(time) {}
    virtual ~ScheduleEvent() = default;

    const boost::posix_time::ptime time;  // not_a_date_time: never due
};

// A source of events in time order. Made with boost::make_shared and owned
// through boost::shared_ptr, whose deleter destroys the concrete class.
class Schedule {
public:
    // The event after previous (an event this schedule delivered before) or,
    // when previous is empty, the first event strictly later than now. An
    // empty result means no further event. Not thread-safe.
    virtual boost::shared_ptr<const ScheduleEvent> nextEvent(
        const boost::shared_ptr<const ScheduleEvent>& previous) = 0;

protected:
    ~Schedule() = default;
};

namespace Ostrel {

// The next moment of the schedule strictly later than after, or
// not_a_date_time when there is none: for Invalid and any other mode outside
// Daily, Weekly and Periodic, for a refused schedule (below), when after is
// not a real moment of the date library's range, and when the next moment
// would lie past the last moment the date library can represent
// (9999-12-31 23:59:59.999999). Never throws; no side effects.
boost::posix_time::ptime nextMoment(const ScheduleSettings& settings, const boost::posix_time::ptime& after);

// The latest moment at or before atOrBefore that the next-moment rule can
// give, or not_a_date_time when there is none (the same schedules and
// bounds as nextMoment). Every date of a Daily schedule, and every date on
// the weekday of a Weekly one, has its moment at the date plus the hours and
// minutes (which may pass midnight); a Periodic schedule has the whole grid
// start + n * period, before its start as well. Never throws.
boost::posix_time::ptime lastMoment(const ScheduleSettings& settings, const boost::posix_time::ptime& atOrBefore);

// Why the fields of the selected mode cannot be scheduled, or an empty text
// when they can (Invalid is not refused: it simply never has a moment).
// Refused, because the rules would divide by zero, repeat or go backwards
// (and so fire on every poll), or walk out of the date range:
//   Daily:    a negative dailyHour or dailyMinute;
//   Weekly:   a negative weeklyHour or weeklyMinute, or a weeklyWeekday
//             outside 0 to 6;
//   Periodic: a negative periodicHours or periodicMinutes, both zero, or a
//             periodicStartTime that is not a moment of the date range.
// A refused schedule has no moment, like Invalid; the engine reports it.
std::string scheduleRefusal(const ScheduleSettings& settings);

inline bool isRefusedSchedule(const ScheduleSettings& settings)
{
    return !scheduleRefusal(settings).empty();
}

}  // namespace Ostrel
