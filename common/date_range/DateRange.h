#pragma once
// The moments the date library can turn back into a calendar date. A ptime
// holds any tick count, but printing one outside these dates, or asking for
// its date, throws (bad_year): such a moment must not enter the settings or
// the schedules. No Windows header.

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

// Not special and from 1400-01-01 00:00:00 to 9999-12-31 23:59:59.999999.
inline bool isInDateRange(const boost::posix_time::ptime& moment)
{
    using boost::posix_time::ptime;
    static const ptime first(boost::gregorian::date(boost::date_time::min_date_time));
    static const ptime last(boost::gregorian::date(boost::date_time::max_date_time),
                            boost::posix_time::hours(24) - boost::posix_time::microseconds(1));
    return !moment.is_special() && moment >= first && moment <= last;
}
