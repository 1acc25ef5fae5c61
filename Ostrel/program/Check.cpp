#include "Ostrel/program/Check.h"

#include <ostream>
#include <string>

#include <boost/date_time/posix_time/posix_time_io.hpp>
#include <boost/lexical_cast.hpp>

#include "Ostrel/scheduling/FiringLinesets.h"
#include "Ostrel/scheduling/Schedule.h"
#include "Ostrel/settings_registry/SettingsRegistry.h"
#include "Ostrel/timetable_view/DayPicture.h"
#include "Ostrel/timetable_view/LinesetOverlaps.h"
#include "logging/Log.h"

namespace Ostrel {

namespace {

// Why the lineset never fires, or nothing when it has a moment.
boost::optional<std::string> neverFires(const LinesetSettings& lineset, const boost::posix_time::ptime& first)
{
    if (const boost::optional<std::string> refusal = linesetRefusal(lineset))
        return "refused: " + *refusal;
    if (first.is_special())
        return "its schedule (" + boost::lexical_cast<std::string>(lineset.schedule) + ") has no moment";
    return boost::none;
}

}  // namespace

bool printTimetable(const Settings& settings, const boost::posix_time::ptime& now, std::ostream& os)
{
    settings.print(os);
    os << "Timetable from " << now << ":" << std::endl;
    bool allFire = !settings.linesets.empty();
    for (std::size_t i = 0; i < settings.linesets.size(); ++i) {
        const LinesetSettings& lineset = settings.linesets[i];
        // Without a name: "Lineset #0 [1, 2]: ...", one blank.
        os << "Lineset #" << i << (lineset.name.empty() ? "" : " ") << lineset.name << " ["
           << joinLines(lineset.lines, ", ") << "]: ";
        boost::posix_time::ptime moment = nextMoment(lineset.schedule, now);
        if (const boost::optional<std::string> reason = neverFires(lineset, moment)) {
            os << "never fires, " << *reason << std::endl;
            allFire = false;
            continue;
        }
        os << "next";
        // A schedule near the end of the date range may have fewer moments.
        for (int n = 0; n < checkedMoments && !moment.is_special(); ++n) {
            os << (n ? ", " : " ") << moment;
            moment = nextMoment(lineset.schedule, moment);
        }
        os << std::endl;
    }
    return allFire;
}

bool checkSettings(std::ostream& os)
{
    const boost::shared_ptr<const Settings> settings = loadSettings();
    const boost::posix_time::ptime now = localNow();
    const bool allFire = printTimetable(*settings, now, os);
    const boost::shared_ptr<const Settings> firing = firingLinesets(settings);
    for (const std::string& warning : overlapWarnings(*firing, now))
        LOG_WARN("%s", warning.c_str());
    printDayPicture(*firing, now, os);
    return allFire;
}

}  // namespace Ostrel
