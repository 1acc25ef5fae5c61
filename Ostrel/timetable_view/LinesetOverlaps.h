#pragma once
// Linesets that fight over a line. Two linesets that share a line and are in
// force at the same time leave that line in a mode that depends on the order
// of their settings and reverts, so the administrator is warned whenever the
// timetable is rebuilt. No Windows header.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "Ostrel/settings/Settings.h"

namespace Ostrel {

// How far ahead pairs of linesets are compared: a week holds every weekly,
// daily and periodic pattern at least once a day apart.
const boost::posix_time::time_duration overlapHorizon = boost::posix_time::hours(7 * 24);

// The moments of a schedule strictly later than after and strictly earlier
// than before, in time order.
std::vector<boost::posix_time::ptime> momentsBetween(const ScheduleSettings& schedule,
                                                     const boost::posix_time::ptime& after,
                                                     const boost::posix_time::ptime& before);

struct LinesetOverlap {
    std::size_t first;                // index into the settings' linesets
    std::size_t second;               // the same index: the lineset overlaps itself
    std::vector<std::int32_t> lines;  // the lines both hold, ascending, each once
    boost::posix_time::ptime from;    // the first moment both are in force
};

// Every overlap of the linesets' intervals (a moment's interval runs from
// the moment to the moment plus the interval, its end excluded, so intervals
// that only touch do not overlap; a zero or negative interval never
// overlaps). First each lineset whose next interval reaches past its next
// moment but one, then each pair (in settings order) that shares a line and
// whose intervals of moments strictly later than now and earlier than
// now + overlapHorizon overlap. A lineset without lines overlaps nothing.
std::vector<LinesetOverlap> findOverlaps(const Settings& settings, const boost::posix_time::ptime& now);

// "Lineset Night [1, 2] overlaps itself from ..." or "Linesets Night [1, 2]
// and Day [2, 3] overlap on line 2 from ...", one line without line end.
std::string describeOverlap(const Settings& settings, const LinesetOverlap& overlap);

// describeOverlap of each of findOverlaps, in its order.
std::vector<std::string> overlapWarnings(const Settings& settings, const boost::posix_time::ptime& now);

// "Night [1, 2]", or "[1, 2]" for a lineset without a name.
std::string linesetLabel(const LinesetSettings& lineset);

}  // namespace Ostrel
