#pragma once
// Time conventions of the scheduler, the event record and the schedule
// interface: what any source of timed events gives the Scheduler.
//
// A moment is a local wall-clock ptime with microsecond resolution; nothing
// here works in UTC or adjusts for daylight-saving changes. Moments are
// compared by their tick counts: not_a_date_time stands for "no moment" and,
// by its tick count, is later than every real moment. "Later" is always
// strictly later. No Windows header is needed.

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

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
