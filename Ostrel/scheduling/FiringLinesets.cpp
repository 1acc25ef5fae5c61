#include "Ostrel/scheduling/FiringLinesets.h"

#include <algorithm>
#include <iterator>

#include <boost/make_shared.hpp>

#include "Ostrel/scheduling/Schedule.h"

namespace Ostrel {

boost::optional<std::string> linesetRefusal(const LinesetSettings& lineset)
{
    if (lineset.mode.find_first_of("\r\n") != std::string::npos)
        return std::string("its mode contains a line break");
    return scheduleRefusal(lineset.schedule);
}

boost::shared_ptr<const Settings> firingLinesets(const boost::shared_ptr<const Settings>& settings)
{
    const auto fires = [](const LinesetSettings& lineset) { return !linesetRefusal(lineset); };
    if (std::all_of(settings->linesets.begin(), settings->linesets.end(), fires))
        return settings;
    auto firing = boost::make_shared<Settings>();
    std::copy_if(settings->linesets.begin(), settings->linesets.end(), std::back_inserter(firing->linesets), fires);
    return firing;
}

}  // namespace Ostrel
