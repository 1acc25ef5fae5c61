// The picture of the next 24 hours, compared with the text an administrator
// sees for a few configurations at a fixed "now".

#include "Ostrel/timetable_view/DayPicture.h"

#include <sstream>

#include <gtest/gtest.h>

#include "scheduling/ScheduleTestSupport.h"

using namespace scheduling_test;
using boost::posix_time::hours;
using boost::posix_time::minutes;
using boost::posix_time::seconds;
using Ostrel::LinesetSettings;
using Ostrel::Settings;

namespace {

struct PictureCase {
    const char* name;
    std::vector<LinesetSettings> linesets;
    std::string expected;
};

void PrintTo(const PictureCase& c, std::ostream* os)
{
    *os << c.name;
}

const PictureCase pictureCases[] = {
    // Night and the sweep at 23:00 hold line 2 at once; the sweep at 00:00
    // begins as Night ends and marks line 3 alone.
    {"NightAndSweep",
     {held("Night", daily(22, 0), hours(2), {1, 2}),
      held("Sweep", periodic(6, 0, at("2026-01-01 23:00:00")), minutes(30), {3, 2}, "VOX")},
     "The next 24 hours from 2026-Dec-11 14:40:00, one character per 20 minutes:\n"
     "Line  15 16 17 18 19 20 21 22 23 00 01 02 03 04 05 06 07 08 09 10 11 12 13 14\n"
     "   1 ......................AAAAAA............................................\n"
     "   2 .......BB.............AAA**A...............BB................BB.........\n"
     "   3 .......BB................BB................BB................BB.........\n"
     "  A  Night [1, 2]: CNT for 02:00:00, Daily, 22:00\n"
     "  B  Sweep [3, 2]: VOX for 00:30:00, Every 6h 0m from 2026-Jan-01 23:00:00\n"
     "  +  several linesets one after the other\n"
     "  *  overlapping intervals: the line's mode depends on which was set last\n"},
    // Two due at one moment, two that follow each other within 20 minutes,
    // and one whose interval, begun before the picture, reaches past its
    // next moment.
    {"TiesNeighboursAndALinesetLongerThanItsPeriod",
     {held("Tie1", daily(15, 0), seconds(30), {1}), held("Tie2", daily(15, 0), seconds(30), {1}),
      held("Early", daily(16, 0), minutes(10), {4}), held("Later", daily(16, 10), minutes(10), {4}),
      held("", daily(7, 0), hours(25), {9})},
     "The next 24 hours from 2026-Dec-11 14:40:00, one character per 20 minutes:\n"
     "Line  15 16 17 18 19 20 21 22 23 00 01 02 03 04 05 06 07 08 09 10 11 12 13 14\n"
     "   1 .*......................................................................\n"
     "   4 ....+...................................................................\n"
     "   9 EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE***EEEEEEEEEEEEEEEEEEEE\n"
     "  A  Tie1 [1]: CNT for 00:00:30, Daily, 15:00\n"
     "  B  Tie2 [1]: CNT for 00:00:30, Daily, 15:00\n"
     "  C  Early [4]: CNT for 00:10:00, Daily, 16:00\n"
     "  D  Later [4]: CNT for 00:10:00, Daily, 16:10\n"
     "  E  [9]: CNT for 25:00:00, Daily, 07:00\n"
     "  +  several linesets one after the other\n"
     "  *  overlapping intervals: the line's mode depends on which was set last\n"},
    // Zero intervals are drawn at their moments; six-character line numbers
    // keep the rows within 79 characters.
    {"WideLineNumbers",
     {held("Wide", periodic(2, 0, at("2026-12-11 00:00:00")), seconds(0), {123456, -5})},
     "The next 24 hours from 2026-Dec-11 14:40:00, one character per 20 minutes:\n"
     "Line    15 16 17 18 19 20 21 22 23 00 01 02 03 04 05 06 07 08 09 10 11 12 13 14\n"
     "    -5 ....A.....A.....A.....A.....A.....A.....A.....A.....A.....A.....A.....A.\n"
     "123456 ....A.....A.....A.....A.....A.....A.....A.....A.....A.....A.....A.....A.\n"
     "  A  Wide [123456, -5]: CNT for 00:00:00, Every 2h 0m from 2026-Dec-11 00:00:00\n"
     "  +  several linesets one after the other\n"
     "  *  overlapping intervals: the line's mode depends on which was set last\n"},
    {"NoLinesets",
     {},
     "The next 24 hours from 2026-Dec-11 14:40:00, one character per 20 minutes:\n"
     "Line  15 16 17 18 19 20 21 22 23 00 01 02 03 04 05 06 07 08 09 10 11 12 13 14\n"
     "  +  several linesets one after the other\n"
     "  *  overlapping intervals: the line's mode depends on which was set last\n"},
};

class DayPicture : public ::testing::TestWithParam<PictureCase> {};

TEST_P(DayPicture, DrawsTheLinesetsOfTheNext24Hours)
{
    Settings settings;
    settings.linesets = GetParam().linesets;
    std::ostringstream picture;
    Ostrel::printDayPicture(settings, at("2026-12-11 14:47:12.345678"), picture);
    EXPECT_EQ(picture.str(), GetParam().expected) << picture.str();
}

INSTANTIATE_TEST_SUITE_P(Configurations, DayPicture, ::testing::ValuesIn(pictureCases),
                         [](const ::testing::TestParamInfo<PictureCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
