// Linesets that share a line and are in force at once, found over the week
// ahead, and the warning that names them.

#include "Ostrel/timetable_view/LinesetOverlaps.h"

#include <ostream>

#include <gtest/gtest.h>

#include "scheduling/ScheduleTestSupport.h"

using namespace scheduling_test;
using boost::posix_time::hours;
using boost::posix_time::minutes;
using boost::posix_time::ptime;
using boost::posix_time::seconds;
using Ostrel::LinesetOverlap;
using Ostrel::LinesetSettings;
using Ostrel::Settings;

namespace Ostrel {

bool operator==(const LinesetOverlap& a, const LinesetOverlap& b)
{
    return a.first == b.first && a.second == b.second && a.lines == b.lines && a.from == b.from;
}

void PrintTo(const LinesetOverlap& o, std::ostream* os)
{
    *os << "{" << o.first << ", " << o.second << ", [" << joinLines(o.lines, ", ") << "], " << o.from << "}";
}

}  // namespace Ostrel

namespace {

// A Friday afternoon.
const ptime now = at("2026-12-11 14:40:00");

struct OverlapCase {
    const char* name;
    std::vector<LinesetSettings> linesets;
    std::vector<LinesetOverlap> expected;
};

void PrintTo(const OverlapCase& c, std::ostream* os)
{
    *os << c.name;
}

const OverlapCase overlapCases[] = {
    {"DailyAgainstPeriodic",
     {held("Night", daily(22, 0), hours(2), {1, 2}),
      held("Sweep", periodic(6, 0, at("2026-01-01 23:00:00")), minutes(30), {2, 3})},
     {{0, 1, {2}, at("2026-12-11 23:00:00")}}},
    // The periodic one starts inside the daily one's interval: the first
    // moment both hold the line is the later start.
    {"PeriodicBeginsFirst",
     {held("Sweep", periodic(6, 0, at("2026-01-01 21:30:00")), hours(1), {4}),
      held("Night", daily(22, 0), minutes(10), {4})},
     {{0, 1, {4}, at("2026-12-11 22:00:00")}}},
    {"WeeklyOnSundayAgainstDaily",
     {held("Sunday", weekly(0, 10, 0), hours(2), {5}), held("Late", daily(11, 30), minutes(10), {5})},
     {{0, 1, {5}, at("2026-12-13 11:30:00")}}},
    {"TieAtOneMomentOnEveryLine",
     {held("A", daily(7, 0), seconds(30), {2, 1}), held("B", daily(7, 0), seconds(30), {1, 2, 1})},
     {{0, 1, {1, 2}, at("2026-12-12 07:00:00")}}},
    {"TouchingIntervals",
     {held("Night", daily(22, 0), hours(2), {1}), held("Morning", daily(0, 0), hours(1), {1}),
      held("Hourly", periodic(1, 0, at("2026-01-01 00:00:00")), hours(1), {7})},
     {}},
    {"ZeroIntervalsAtOneMoment",
     {held("A", daily(7, 0), seconds(0), {1}), held("B", daily(7, 0), seconds(0), {1})},
     {}},
    {"NegativeIntervalAgainstALongOne",
     {held("Long", daily(6, 0), hours(3), {1}), held("Negative", daily(7, 0), seconds(-1), {1})},
     {}},
    {"NoSharedLine", {held("A", daily(7, 0), hours(1), {1, 2}), held("B", daily(7, 0), hours(1), {3})}, {}},
    {"NoLines", {held("A", daily(7, 0), hours(1), {}), held("B", daily(7, 0), hours(1), {1})}, {}},
    {"NeverFires", {held("A", invalid(), hours(1), {1}), held("B", daily(7, 0), hours(1), {1})}, {}},
    // Every 8 days from a Thursday: next on the 19th, after the week ahead.
    {"FirstOverlapAfterTheWeek",
     {held("Rare", periodic(192, 0, at("2026-12-03 08:00:00")), hours(1), {1}),
      held("Daily", daily(8, 30), minutes(5), {1})},
     {}},
    // Both moments in the week's last ten minutes; the Friday one after the
    // week would not count.
    {"LastMomentOfTheWeek",
     {held("Friday", weekly(5, 14, 30), hours(1), {1}), held("Daily", daily(14, 35), minutes(5), {1})},
     {{0, 1, {1}, at("2026-12-18 14:35:00")}}},
    {"DailyLongerThanADay",
     {held("Long", daily(7, 0), hours(25), {3, 3, 1})},
     {{0, 0, {1, 3}, at("2026-12-13 07:00:00")}}},
    {"WeeklyLongerThanAWeek",
     {held("Long", weekly(1, 9, 0), hours(7 * 24) + seconds(1), {1})},
     {{0, 0, {1}, at("2026-12-21 09:00:00")}}},
    {"PeriodExactlyAsLongAsTheInterval",
     {held("Hourly", periodic(1, 0, at("2026-01-01 00:00:00")), hours(1), {1})},
     {}},
    // Itself first, then the pairs; the pair with C is the earliest one of
    // those their intervals give.
    {"SelfAndPairs",
     {held("A", periodic(0, 30, at("2026-01-01 00:00:00")), minutes(45), {1, 2}),
      held("B", daily(16, 10), minutes(1), {2}), held("C", daily(14, 0), hours(1), {1})},
     {{0, 0, {1, 2}, at("2026-12-11 15:30:00")},
      {0, 1, {2}, at("2026-12-11 16:10:00")},
      {0, 2, {1}, at("2026-12-12 14:00:00")}}},
};

class Overlaps : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(Overlaps, AreFoundWithTheirLinesAndFirstMoment)
{
    Settings settings;
    settings.linesets = GetParam().linesets;
    EXPECT_EQ(Ostrel::findOverlaps(settings, now), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Linesets, Overlaps, ::testing::ValuesIn(overlapCases),
                         [](const ::testing::TestParamInfo<OverlapCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(OverlapWarning, NamesTheLinesetsTheLinesAndTheFirstMoment)
{
    Settings settings;
    settings.linesets = {held("Night", daily(22, 0), hours(2), {1, 2, 3}), held("", daily(23, 0), hours(25), {3, 2})};
    const std::vector<LinesetOverlap> overlaps = Ostrel::findOverlaps(settings, now);
    ASSERT_EQ(overlaps.size(), 2u);
    EXPECT_EQ(Ostrel::describeOverlap(settings, overlaps[0]),
              "Lineset [3, 2] overlaps itself from 2026-Dec-12 23:00:00: its interval 25:00:00 is longer than its "
              "period");
    EXPECT_EQ(Ostrel::describeOverlap(settings, overlaps[1]),
              "Linesets Night [1, 2, 3] and [3, 2] overlap on lines 2, 3 from 2026-Dec-11 23:00:00");
    EXPECT_EQ(Ostrel::describeOverlap(settings, LinesetOverlap{0, 1, {3}, at("2026-12-11 23:00:00")}),
              "Linesets Night [1, 2, 3] and [3, 2] overlap on line 3 from 2026-Dec-11 23:00:00");
}

}  // namespace
