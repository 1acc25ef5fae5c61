#pragma once
// Holds the next event of a schedule and hands it to a handler once the
// clock is strictly past its moment. It has no thread or timer: the engine's
// loop calls poll once per pass and asks it how long it may wait before the
// next pass. No Windows header.

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "scheduler/ScheduleEvent.h"

// How long the engine's scheduler waits before asking a schedule that ran
// out of events again: once a minute is soon enough for a schedule that
// gains events, and rare enough to cost nothing while it has none.
const boost::posix_time::time_duration schedulerRetryInterval = boost::posix_time::seconds(60);

class Scheduler {
public:
    // Called with the due event and the event after it (which may be empty).
    typedef boost::function<void(const boost::shared_ptr<const ScheduleEvent>&,
                                 const boost::shared_ptr<const ScheduleEvent>&)>
        Handler;

    // Takes the schedule's first event strictly later than now as pending.
    // Throws what the schedule throws.
    Scheduler(const boost::shared_ptr<Schedule>& schedule, Handler handler,
              boost::posix_time::time_duration retryInterval, Clock clock = localNow);

    // Fires at most one event: when the clock is strictly past the pending
    // event, the schedule moves on first and then the handler is called,
    // synchronously, with (due, new pending). Events already past fire one
    // per poll, none skipped; an event at not_a_date_time never fires.
    // When the schedule has run out, it is asked again once per retry
    // interval counted from the moment it ran out; a schedule that had no
    // event at construction is never asked again. Catches nothing: an
    // exception of the schedule leaves pending as it was (the event is tried
    // again at the next poll); one of the handler leaves pending advanced.
    void poll();

    // How long a caller that polls once per `period` may wait before its
    // next poll: the period, or until just past the pending event's moment
    // when that comes first, so that the event fires on time. Nothing when
    // the pending event came due less than a period ago (a second event at
    // the same moment); the period again when it came due longer ago (missed
    // while the computer slept or the clock jumped), so that missed events
    // keep coming one per period instead of all at once. Reads the clock.
    boost::posix_time::time_duration waitBeforeNextPoll(boost::posix_time::time_duration period) const;

private:
    Handler handler;
    boost::shared_ptr<const ScheduleEvent> pending;  // empty: the schedule ran out
    boost::shared_ptr<Schedule> schedule;
    boost::posix_time::time_duration retryInterval;
    boost::posix_time::ptime retryFrom;  // not_a_date_time until the schedule runs out
    Clock clock;
};
