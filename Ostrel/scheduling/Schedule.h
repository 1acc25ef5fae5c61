#pragma once
// The next-moment rule of a lineset's schedule settings, and what refuses a
// schedule. Moments follow the conventions of scheduler/ScheduleEvent.h. No
// Windows header is needed.

#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/optional.hpp>

#include "Ostrel/settings/Settings.h"
#include "scheduler/ScheduleEvent.h"

namespace Ostrel {

// The next moment of the schedule strictly later than after, or
// not_a_date_time when there is none: for Invalid and any other mode outside
// Daily, Weekly and Periodic, for a refused schedule (below), for a periodic
// start time that is no moment (not_a_date_time, an infinity), when after is
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

// Why the fields of the selected mode cannot be scheduled, or nothing when
// they can (Invalid is not refused: it simply never has a moment).
// Refused, because the rules would divide by zero, repeat or go backwards
// (and so fire on every poll), or walk out of the date range:
//   Daily:    a negative dailyHour or dailyMinute;
//   Weekly:   a negative weeklyHour or weeklyMinute, or a weeklyWeekday
//             outside 0 to 6;
//   Periodic: a negative periodicHours or periodicMinutes, or both zero.
// The periodic start time is a moment of the date range once loaded (the
// loader takes the default for any other); the rules give a start time that
// is no moment (not_a_date_time, never loaded) no moment either.
// A refused schedule has no moment, like Invalid; the engine reports it.
boost::optional<std::string> scheduleRefusal(const ScheduleSettings& settings);

}  // namespace Ostrel
