#pragma once
// The schedules the engine builds from its settings: one LinesetSchedule per
// lineset, merged in time order by Ostrel::Schedule. No Windows header.

#include <boost/shared_ptr.hpp>

#include "Ostrel/scheduling/Schedule.h"
#include "Ostrel/settings/Settings.h"

namespace Ostrel {

// Tells the engine to toggle one lineset. The lineset is the schedule's own
// shared one; the event keeps it alive after the schedule is gone.
struct LinesetToggleEvent : ScheduleEvent {
    LinesetToggleEvent(const boost::posix_time::ptime& time, const boost::shared_ptr<const LinesetSettings>& lineset)
        : ScheduleEvent(time), lineset(lineset)
    {
    }
    // An event that never becomes due (time not_a_date_time).
    explicit LinesetToggleEvent(const boost::shared_ptr<const LinesetSettings>& lineset);

    const boost::shared_ptr<const LinesetSettings> lineset;
};

// The events of one lineset by the next-moment rule of its schedule
// settings, counted from the previous event's moment (so moments missed
// while the computer slept still come, one per call) or, without one, from
// the clock. Never returns an empty pointer: a lineset without a next moment
// (Invalid, refused, past the date range) gives an event at
// not_a_date_time. Keeps no state between calls; throws nothing of its own.
class LinesetSchedule final : public ::Schedule {
public:
    explicit LinesetSchedule(const boost::shared_ptr<const LinesetSettings>& lineset, Clock clock = localNow);

    boost::shared_ptr<const ScheduleEvent> nextEvent(const boost::shared_ptr<const ScheduleEvent>& previous) override;

private:
    const boost::shared_ptr<const LinesetSettings> lineset;
    const Clock clock;
};

// The schedule of a whole configuration: the events of all its linesets in
// time order, ties going to the lineset listed first. The lineset schedules
// share the linesets of the settings, which must not change afterwards (no
// loaded settings ever do). Without linesets it has no event.
class Schedule final : public ::Schedule {
public:
    explicit Schedule(const boost::shared_ptr<const Settings>& settings, const Clock& clock = localNow);

    // Passes previous on to the merge and returns its result unchanged.
    boost::shared_ptr<const ScheduleEvent> nextEvent(const boost::shared_ptr<const ScheduleEvent>& previous) override;

private:
    boost::shared_ptr<::Schedule> composite;
};

}  // namespace Ostrel
