#pragma once
// A merge of several schedules into one stream of events in time order.
// No Windows header.

#include <vector>

#include <boost/shared_ptr.hpp>

#include "scheduler/ScheduleEvent.h"

// One member of a composite and its next event not yet delivered.
struct CompositeMember {
    boost::shared_ptr<Schedule> schedule;
    boost::shared_ptr<const ScheduleEvent> pending;  // empty until first needed
};

// Delivers the earliest pending event of its members, one per call; among
// events at the same moment the member listed first goes first, and none is
// merged or dropped. Only the member that supplied the result moves on. The
// previous event passed in is ignored: the members' pending events say where
// each stands. A member that has no event is asked again, from now, at every
// later call. Returns an empty pointer only when no member has an event.
// A member's exception leaves the composite as it was before the call,
// except for pending events filled in earlier in that call.
class CompositeSchedule final : public Schedule {
public:
    explicit CompositeSchedule(const std::vector<boost::shared_ptr<Schedule>>& schedules);

    boost::shared_ptr<const ScheduleEvent> nextEvent(const boost::shared_ptr<const ScheduleEvent>& previous) override;

private:
    std::vector<CompositeMember> members;
};
