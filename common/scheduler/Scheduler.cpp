#include "scheduler/Scheduler.h"

Scheduler::Scheduler(const boost::shared_ptr<Schedule>& schedule, Handler handler,
                     boost::posix_time::time_duration retryInterval, Clock clock)
    : handler(std::move(handler)),
      schedule(schedule),
      retryInterval(retryInterval),
      retryFrom(boost::posix_time::not_a_date_time),
      clock(std::move(clock))
{
    pending = this->schedule->nextEvent(boost::shared_ptr<const ScheduleEvent>());
}

void Scheduler::poll()
{
    if (!pending) {
        // Date-library arithmetic: not_a_date_time plus an interval stays
        // not_a_date_time, which is never passed.
        if (!isLater(clock(), retryFrom + retryInterval))
            return;
        // One interval on, not to now, so the retries keep their rhythm.
        retryFrom = retryFrom + retryInterval;
        pending = schedule->nextEvent(boost::shared_ptr<const ScheduleEvent>());
        return;
    }
    if (!isLater(clock(), pending->time))
        return;
    const boost::shared_ptr<const ScheduleEvent> due = pending;
    pending = schedule->nextEvent(due);
    if (!pending)
        retryFrom = clock();
    handler(due, pending);
}

boost::posix_time::time_duration Scheduler::waitBeforeNextPoll(boost::posix_time::time_duration period) const
{
    if (!pending || pending->time.is_special())
        return period;
    // poll fires only once the clock is strictly past the moment.
    const boost::posix_time::time_duration untilDue = pending->time - clock() + boost::posix_time::microseconds(1);
    if (untilDue > period)
        return period;
    if (!untilDue.is_negative())
        return untilDue;
    return -untilDue < period ? boost::posix_time::time_duration(0, 0, 0) : period;
}
