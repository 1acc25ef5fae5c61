#include "Ostrel/timetable_view/DayPicture.h"

#include <algorithm>
#include <iomanip>
#include <ostream>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "Ostrel/scheduling/Schedule.h"
#include "Ostrel/timetable_view/LinesetOverlaps.h"

using boost::posix_time::ptime;
using boost::posix_time::time_duration;

namespace Ostrel {

namespace {

// Three characters an hour: 72 of them, a blank and a six-character line
// number fit a console of 80 columns without wrapping.
const int cellMinutes = 20;
const int cells = 24 * 60 / cellMinutes;
const time_duration cellLength = boost::posix_time::minutes(cellMinutes);

const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

char letterOf(std::size_t lineset)
{
    return lineset < letters.size() ? letters[lineset] : '?';
}

// One interval of a lineset; end equals start for a zero or negative one.
struct Held {
    std::size_t lineset;
    ptime start;
    ptime end;
};

bool overlap(const Held& a, const Held& b, const ptime& cellStart)
{
    const ptime start = std::max(a.start, b.start);
    const ptime end = std::min(a.end, b.end);
    // The overlap must lie at least partly in this cell.
    return start < end && start < cellStart + cellLength && cellStart < end;
}

char cellMark(const std::vector<Held>& held, const ptime& cellStart)
{
    if (held.empty())
        return '.';
    for (std::size_t i = 0; i < held.size(); ++i)
        for (std::size_t j = i + 1; j < held.size(); ++j)
            if (overlap(held[i], held[j], cellStart))
                return '*';
    const bool alone = std::all_of(held.begin(), held.end(),
                                   [&](const Held& h) { return h.lineset == held.front().lineset; });
    return alone ? letterOf(held.front().lineset) : '+';
}

std::string hourMarks(const ptime& start)
{
    std::string marks(cells, ' ');
    for (int c = 0; c + 1 < cells; ++c) {
        const time_duration at = (start + cellLength * c).time_of_day();
        if (at.minutes() == 0) {
            marks[c] = char('0' + at.hours() / 10);
            marks[c + 1] = char('0' + at.hours() % 10);
        }
    }
    return marks;
}

}  // namespace

void printDayPicture(const Settings& settings, const ptime& now, std::ostream& os)
{
    const time_duration sinceMidnight = now.time_of_day();
    const ptime start(now.date(), boost::posix_time::minutes(sinceMidnight.hours() * 60 +
                                                             sinceMidnight.minutes() / cellMinutes * cellMinutes));
    const ptime end = start + cellLength * cells;

    // held[c] for each lineset: its intervals that reach into cell c.
    std::vector<std::vector<std::vector<Held>>> byCell(settings.linesets.size(), std::vector<std::vector<Held>>(cells));
    std::vector<std::int32_t> lines;
    for (std::size_t i = 0; i < settings.linesets.size(); ++i) {
        const LinesetSettings& lineset = settings.linesets[i];
        lines.insert(lines.end(), lineset.lines.begin(), lineset.lines.end());
        const time_duration length = std::max<time_duration>(lineset.interval, time_duration(0, 0, 0));
        const time_duration reach = std::max<time_duration>(length, boost::posix_time::microseconds(1));
        // An interval begun before the picture may still be in force in it;
        // looking back at most a week bounds the walk of a short period with
        // an absurdly long interval, which is drawn as overlapping anyway.
        const ptime from = start - std::min<time_duration>(reach, overlapHorizon);
        for (const ptime& moment : momentsBetween(lineset.schedule, from, end)) {
            const Held held{i, moment, moment + length};
            const int first = std::max<int>(0, (moment - start).total_seconds() / (cellMinutes * 60));
            for (int c = first; c < cells && start + cellLength * c < moment + reach; ++c)
                byCell[i][c].push_back(held);
        }
    }
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());

    os << "The next 24 hours from " << boost::posix_time::to_simple_string(start) << ", one character per "
       << cellMinutes << " minutes:" << std::endl;
    std::size_t labelWidth = 4;
    for (std::int32_t line : lines)
        labelWidth = std::max(labelWidth, std::to_string(line).size());
    os << std::left << std::setw(int(labelWidth)) << "Line" << std::right << ' ' << hourMarks(start) << std::endl;
    for (std::int32_t line : lines) {
        std::string row;
        for (int c = 0; c < cells; ++c) {
            std::vector<Held> held;
            for (std::size_t i = 0; i < settings.linesets.size(); ++i) {
                const std::vector<std::int32_t>& own = settings.linesets[i].lines;
                if (std::find(own.begin(), own.end(), line) != own.end())
                    held.insert(held.end(), byCell[i][c].begin(), byCell[i][c].end());
            }
            row += cellMark(held, start + cellLength * c);
        }
        os << std::setw(int(labelWidth)) << line << ' ' << row << std::endl;
    }
    for (std::size_t i = 0; i < settings.linesets.size(); ++i) {
        const LinesetSettings& lineset = settings.linesets[i];
        os << "  " << letterOf(i) << "  " << linesetLabel(lineset) << ": " << lineset.mode << " for "
           << boost::posix_time::to_simple_string(lineset.interval) << ", " << lineset.schedule << std::endl;
    }
    os << "  +  several linesets one after the other" << std::endl;
    os << "  *  overlapping intervals: the line's mode depends on which was set last" << std::endl;
}

}  // namespace Ostrel
