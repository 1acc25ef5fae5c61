#include "Ostrel/scheduling/FiringLinesets.h"

#include <vector>

#include <boost/make_shared.hpp>

#include "Ostrel/scheduling/Schedule.h"

namespace Ostrel {

boost::optional<std::string> linesetRefusal(const LinesetSettings& lineset)
{
    if (lineset.mode.find_first_of("\r\n") != std::string::npos)
        return std::string("its mode contains a line break");
    return scheduleRefusal(lineset.schedule);
}

boost::shared_ptr<const Settings> firingLinesets(const boost::shared_ptr<const Settings>& settings,
                                                 const RefusalReport& report)
{
    const std::vector<LinesetSettings>& all = settings->linesets;
    boost::shared_ptr<Settings> firing;  // made at the first refused lineset
    for (auto lineset = all.begin(); lineset != all.end(); ++lineset) {
        const boost::optional<std::string> refusal = linesetRefusal(*lineset);
        if (!refusal) {
            if (firing)
                firing->linesets.push_back(*lineset);
            continue;
        }
        if (report)
            report(*lineset, *refusal);
        if (!firing) {
            firing = boost::make_shared<Settings>();
            firing->linesets.assign(all.begin(), lineset);
        }
    }
    if (!firing)
        return settings;
    return firing;
}

}  // namespace Ostrel
