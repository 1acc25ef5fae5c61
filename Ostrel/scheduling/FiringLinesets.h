#pragma once
// Which linesets the engine fires, for the engine and for "/check" alike.
// No Windows header.

#include <functional>
#include <string>

#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>

#include "Ostrel/settings/Settings.h"

namespace Ostrel {

// Why a lineset is never fired, or nothing when it can be: its schedule is
// refused (scheduleRefusal), or its mode holds a line break, which would
// forge lines and sections in logger.ini.
boost::optional<std::string> linesetRefusal(const LinesetSettings& lineset);

// Told of each refused lineset with the reason, in the settings' order.
typedef std::function<void(const LinesetSettings&, const std::string&)> RefusalReport;

// The settings without their refused linesets, the others in their order:
// the same settings when none is refused (the usual case), else a new copy.
// Each lineset's refusal is worked out once, and `report` (when given)
// hears of every refused one.
boost::shared_ptr<const Settings> firingLinesets(const boost::shared_ptr<const Settings>& settings,
                                                 const RefusalReport& report = RefusalReport());

}  // namespace Ostrel
