#pragma once
// "/check": what the engine would make of the settings in the registry, for
// an administrator who edits them. It reads nothing but the registry: no
// logger.ini, no backup file, and no log statement but the engine's warnings
// about overlapping linesets.

#include <iosfwd>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "Ostrel/settings/Settings.h"

namespace Ostrel {

// How many of a lineset's next moments the check shows.
constexpr int checkedMoments = 3;

// Loads the settings as the engine does and writes what printTimetable
// writes for them from now; then, for the linesets the engine would fire,
// logs the warnings the engine logs about their overlaps and draws the
// picture of the next 24 hours. Returns whether every lineset will fire
// (false also when none is configured).
bool checkSettings(std::ostream& os);

// The settings listing the engine prints, then one line per lineset in
// order: its number (as the listing counts), name and lines, and either why
// it never fires (refused by the engine, or a schedule without a moment) or
// its next checkedMoments moments strictly later than `now`, in the
// listing's time form. Returns whether every lineset will fire (false also
// when there is none).
bool printTimetable(const Settings& settings, const boost::posix_time::ptime& now, std::ostream& os);

}  // namespace Ostrel
