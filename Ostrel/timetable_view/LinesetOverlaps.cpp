#include "Ostrel/timetable_view/LinesetOverlaps.h"

#include <algorithm>
#include <iterator>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "Ostrel/scheduling/Schedule.h"

using boost::posix_time::ptime;
using boost::posix_time::time_duration;

namespace Ostrel {

namespace {

std::vector<std::int32_t> distinctLines(const LinesetSettings& lineset)
{
    std::vector<std::int32_t> lines = lineset.lines;
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

bool inForceAtAll(const LinesetSettings& lineset)
{
    return !lineset.lines.empty() && lineset.interval > time_duration(0, 0, 0);
}

// The earliest moment at which an interval of a (starts in time order,
// length aLength) and one of b overlap, or not_a_date_time. For a start s
// the first start of b later than s - bLength is the only candidate worth
// looking at: a later one overlaps later, if at all.
ptime firstOverlap(const std::vector<ptime>& a, const time_duration& aLength, const std::vector<ptime>& b,
                   const time_duration& bLength)
{
    ptime best(boost::posix_time::not_a_date_time);
    for (const ptime& start : a) {
        if (!isLater(best, start))
            break;
        const auto other = std::upper_bound(b.begin(), b.end(), start - bLength,
                                            [](const ptime& x, const ptime& y) { return isLater(y, x); });
        if (other == b.end() || !isLater(start + aLength, *other))
            continue;
        const ptime both = isLater(*other, start) ? *other : start;
        if (isLater(best, both))
            best = both;
    }
    return best;
}

}  // namespace

std::vector<ptime> momentsBetween(const ScheduleSettings& schedule, const ptime& after, const ptime& before)
{
    std::vector<ptime> moments;
    for (ptime moment = nextMoment(schedule, after); isLater(before, moment); moment = nextMoment(schedule, moment))
        moments.push_back(moment);
    return moments;
}

std::vector<LinesetOverlap> findOverlaps(const Settings& settings, const ptime& now)
{
    std::vector<LinesetOverlap> overlaps;
    const std::vector<LinesetSettings>& linesets = settings.linesets;
    // Every period is constant, so the next two moments tell whether a
    // lineset ever overlaps itself, however long its period.
    for (std::size_t i = 0; i < linesets.size(); ++i) {
        if (!inForceAtAll(linesets[i]))
            continue;
        const ptime next = nextMoment(linesets[i].schedule, now);
        const ptime after = nextMoment(linesets[i].schedule, next);
        if (!after.is_special() && isLater(next + linesets[i].interval, after))
            overlaps.push_back(LinesetOverlap{i, i, distinctLines(linesets[i]), after});
    }
    const ptime end = now + overlapHorizon;
    std::vector<std::vector<ptime>> moments;
    for (const LinesetSettings& lineset : linesets)
        moments.push_back(momentsBetween(lineset.schedule, now, end));
    for (std::size_t i = 0; i < linesets.size(); ++i) {
        for (std::size_t j = i + 1; j < linesets.size(); ++j) {
            if (!inForceAtAll(linesets[i]) || !inForceAtAll(linesets[j]))
                continue;
            const std::vector<std::int32_t> a = distinctLines(linesets[i]);
            const std::vector<std::int32_t> b = distinctLines(linesets[j]);
            std::vector<std::int32_t> shared;
            std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(shared));
            if (shared.empty())
                continue;
            const ptime from = firstOverlap(moments[i], linesets[i].interval, moments[j], linesets[j].interval);
            if (!from.is_special())
                overlaps.push_back(LinesetOverlap{i, j, shared, from});
        }
    }
    return overlaps;
}

std::string linesetLabel(const LinesetSettings& lineset)
{
    return (lineset.name.empty() ? "" : lineset.name + " ") + "[" + joinLines(lineset.lines, ", ") + "]";
}

std::string describeOverlap(const Settings& settings, const LinesetOverlap& overlap)
{
    const LinesetSettings& first = settings.linesets[overlap.first];
    const std::string from = boost::posix_time::to_simple_string(overlap.from);
    if (overlap.first == overlap.second)
        return "Lineset " + linesetLabel(first) + " overlaps itself from " + from + ": its interval " +
               boost::posix_time::to_simple_string(first.interval) + " is longer than its period";
    const LinesetSettings& second = settings.linesets[overlap.second];
    return "Linesets " + linesetLabel(first) + " and " + linesetLabel(second) + " overlap on line" +
           (overlap.lines.size() > 1 ? "s " : " ") + joinLines(overlap.lines, ", ") + " from " + from;
}

std::vector<std::string> overlapWarnings(const Settings& settings, const ptime& now)
{
    std::vector<std::string> warnings;
    for (const LinesetOverlap& overlap : findOverlaps(settings, now))
        warnings.push_back(describeOverlap(settings, overlap));
    return warnings;
}

}  // namespace Ostrel
