#pragma once
// The next 24 hours at a glance: which line is switched by which lineset at
// which hour, drawn in text for a console 80 columns wide. No Windows header.

#include <iosfwd>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "Ostrel/settings/Settings.h"

namespace Ostrel {

// Writes, each line ended with std::endl: a heading; a row of hour marks;
// one row per line the linesets hold (ascending), one character per 20
// minutes from the start of the 20 minutes now lies in, 72 in all; and a
// legend. A character shows which lineset holds the line in those 20
// minutes: its letter (A, B, ... in settings order, then a, b, ...), '+'
// for several linesets one after the other, '*' where two intervals
// overlap (one lineset's own included), '.' for none. A lineset with a zero
// or negative interval is drawn at its moments. Rows stay within 79
// characters for line numbers of up to six characters.
void printDayPicture(const Settings& settings, const boost::posix_time::ptime& now, std::ostream& os);

}  // namespace Ostrel
