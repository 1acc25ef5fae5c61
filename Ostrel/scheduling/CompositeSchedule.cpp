#include "Ostrel/scheduling/CompositeSchedule.h"

CompositeSchedule::CompositeSchedule(const std::vector<boost::shared_ptr<Schedule>>& schedules)
{
    members.reserve(schedules.size());
    for (const boost::shared_ptr<Schedule>& schedule : schedules)
        members.push_back(CompositeMember{schedule, boost::shared_ptr<const ScheduleEvent>()});
}

boost::shared_ptr<const ScheduleEvent> CompositeSchedule::nextEvent(const boost::shared_ptr<const ScheduleEvent>&)
{
    boost::shared_ptr<const ScheduleEvent> result;
    CompositeMember* best = nullptr;
    for (CompositeMember& member : members) {
        if (!member.pending)
            member.pending = member.schedule->nextEvent(boost::shared_ptr<const ScheduleEvent>());
        // Strictly earlier only: at equal moments the member listed first wins.
        if (member.pending && (!result || isLater(result->time, member.pending->time))) {
            result = member.pending;
            best = &member;
        }
    }
    if (best)
        best->pending = best->schedule->nextEvent(best->pending);
    return result;
}
