#include "Ostrel/scheduling/LinesetSchedule.h"

#include <vector>

#include <boost/make_shared.hpp>

#include "Ostrel/scheduling/CompositeSchedule.h"

namespace Ostrel {

LinesetToggleEvent::LinesetToggleEvent(const boost::shared_ptr<const LinesetSettings>& lineset)
    : LinesetToggleEvent(boost::posix_time::not_a_date_time, lineset)
{
}

LinesetSchedule::LinesetSchedule(const boost::shared_ptr<const LinesetSettings>& lineset, Clock clock)
    : lineset(lineset), clock(std::move(clock))
{
}

boost::shared_ptr<const ScheduleEvent> LinesetSchedule::nextEvent(
    const boost::shared_ptr<const ScheduleEvent>& previous)
{
    const boost::posix_time::ptime after = previous ? previous->time : clock();
    return boost::make_shared<const LinesetToggleEvent>(nextMoment(lineset->schedule, after), lineset);
}

Schedule::Schedule(const boost::shared_ptr<const Settings>& settings, const Clock& clock)
{
    std::vector<boost::shared_ptr<::Schedule>> members;
    // Each lineset is shared from the settings, which are never changed once
    // loaded: its events keep the whole settings alive, not a copy of it.
    for (const LinesetSettings& lineset : settings->linesets)
        members.push_back(
            boost::make_shared<LinesetSchedule>(boost::shared_ptr<const LinesetSettings>(settings, &lineset), clock));
    composite = boost::make_shared<CompositeSchedule>(members);
}

boost::shared_ptr<const ScheduleEvent> Schedule::nextEvent(const boost::shared_ptr<const ScheduleEvent>& previous)
{
    return composite->nextEvent(previous);
}

}  // namespace Ostrel
