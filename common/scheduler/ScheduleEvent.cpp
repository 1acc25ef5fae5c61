#include "scheduler/ScheduleEvent.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace {

// ptime keeps its tick count protected; a copy of it in a derived object may
// read it.
struct TickReader : boost::posix_time::ptime {
    explicit TickReader(const boost::posix_time::ptime& moment) : boost::posix_time::ptime(moment) {}
    std::int64_t ticks() const { return time_.time_count(); }
};

}  // namespace

std::int64_t momentTicks(const boost::posix_time::ptime& moment)
{
    return TickReader(moment).ticks();
}

boost::posix_time::ptime localNow()
{
    return boost::posix_time::microsec_clock::local_time();
}
