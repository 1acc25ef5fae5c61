// The latest moment of a schedule at or before a given moment: what a
// status report needs to tell whether a lineset is inside its interval now.

#include <ostream>

#include <gtest/gtest.h>

#include "Ostrel/Service/Schedule.h"
#include "scheduling/ScheduleTestSupport.h"

using namespace scheduling_test;
using Ostrel::lastMoment;
using Ostrel::nextMoment;
using Ostrel::ScheduleSettings;
using boost::posix_time::ptime;

namespace {

struct LastCase {
    const char* name;
    ScheduleSettings settings;
    ptime atOrBefore;
    ptime expected;
};

void PrintTo(const LastCase& c, std::ostream* os)
{
    *os << c.name;
}

class LastMoment : public ::testing::TestWithParam<LastCase> {};

TEST_P(LastMoment, IsTheLatestScheduledMomentAtOrBefore)
{
    const LastCase& c = GetParam();
    const ptime last = lastMoment(c.settings, c.atOrBefore);
    EXPECT_EQ(momentTicks(last), momentTicks(c.expected)) << "got " << last << ", expected " << c.expected;
}

const ptime start = at("2024-03-04 06:00:00");  // a Monday

// 2024-03-04 is a Monday.
INSTANTIATE_TEST_SUITE_P(
    Daily, LastMoment,
    ::testing::Values(
        LastCase{"ExactlyAtIsThatMoment", daily(8, 0), at("2024-03-04 08:00:00"), at("2024-03-04 08:00:00")},
        LastCase{"JustBeforeIsYesterday", daily(8, 0), at("2024-03-04 07:59:59.999999"), at("2024-03-03 08:00:00")},
        LastCase{"LaterTheSameDayIsToday", daily(8, 0), at("2024-03-04 23:59:00"), at("2024-03-04 08:00:00")},
        LastCase{"BackOverTheYearEnd", daily(8, 0), at("2024-01-01 07:00:00"), at("2023-12-31 08:00:00")},
        LastCase{"BackOverALeapDay", daily(8, 0), at("2024-03-01 07:00:00"), at("2024-02-29 08:00:00")},
        LastCase{"MinutesBeyondAnHour", daily(7, 90), at("2024-03-04 08:45:00"), at("2024-03-04 08:30:00")},
        LastCase{"Hour25IsYesterdayPlus25Hours", daily(25, 0), at("2024-03-05 02:00:00"), at("2024-03-05 01:00:00")},
        LastCase{"BeforeTheFirstMomentOfTheRangeIsNone", daily(8, 0), at("1400-01-01 07:00:00"), none},
        LastCase{"LastMomentOfTheRange", daily(23, 0), at("9999-12-31 23:59:59.999999"), at("9999-12-31 23:00:00")},
        LastCase{"HugeHourCountBeforeTheRangeIsNone", daily(2147483647, 0), at("2024-03-04 12:00:00"), none}));

INSTANTIATE_TEST_SUITE_P(
    Weekly, LastMoment,
    ::testing::Values(
        LastCase{"ExactlyAtIsThatMoment", weekly(1, 8, 0), at("2024-03-04 08:00:00"), at("2024-03-04 08:00:00")},
        LastCase{"JustBeforeIsAWeekEarlier", weekly(1, 8, 0), at("2024-03-04 07:59:59"), at("2024-02-26 08:00:00")},
        LastCase{"LaterInTheWeek", weekly(1, 8, 0), at("2024-03-10 23:00:00"), at("2024-03-04 08:00:00")},
        LastCase{"SundayEveningSeenOnMonday", weekly(0, 23, 0), at("2024-03-04 10:00:00"), at("2024-03-03 23:00:00")},
        LastCase{"HoursPastMidnightStayWithTheirWeekday", weekly(0, 26, 0), at("2024-03-04 10:00:00"),
                 at("2024-03-04 02:00:00")},
        LastCase{"HoursPastMidnightBeforeTheirMoment", weekly(0, 26, 0), at("2024-03-04 01:00:00"),
                 at("2024-02-26 02:00:00")},
        // 1400-01-01 is a Wednesday: no Monday of the range before it.
        LastCase{"NoWeekdayLeftInTheRangeIsNone", weekly(1, 0, 0), at("1400-01-02 00:00:00"), none}));

INSTANTIATE_TEST_SUITE_P(
    Periodic, LastMoment,
    ::testing::Values(
        LastCase{"AtTheStart", periodic(1, 30, start), start, start},
        LastCase{"JustBeforeTheNextGridPoint", periodic(1, 30, start), at("2024-03-04 07:29:59.999999"), start},
        LastCase{"OnTheNextGridPoint", periodic(1, 30, start), at("2024-03-04 07:30:00"), at("2024-03-04 07:30:00")},
        LastCase{"ManyPeriodsLater", periodic(0, 1, start), at("2025-03-04 06:00:30"), at("2025-03-04 06:00:00")},
        // The grid goes on before the start, rounded down, not toward zero.
        LastCase{"JustBeforeTheStart", periodic(1, 30, start), at("2024-03-04 05:59:59"), at("2024-03-04 04:30:00")},
        LastCase{"OnAGridPointBeforeTheStart", periodic(1, 30, start), at("2024-03-04 03:00:00"),
                 at("2024-03-04 03:00:00")}));

INSTANTIATE_TEST_SUITE_P(
    NoMoment, LastMoment,
    ::testing::Values(LastCase{"Invalid", invalid(), at("2024-03-04 12:00:00"), none},
                      LastCase{"NotADateTime", daily(8, 0), none, none},
                      LastCase{"PositiveInfinity", daily(8, 0), ptime(boost::posix_time::pos_infin), none}));

// The two rules agree: the moment after the last one is later than the
// moment asked about, so no moment lies between them, at every minute of a
// few days and across a week's turn.
TEST(LastAndNextMoment, LeaveNoMomentBetweenThem)
{
    const ScheduleSettings schedules[] = {daily(8, 15), daily(0, 0), daily(30, 0), weekly(3, 17, 45),
                                          weekly(0, 0, 0), periodic(2, 7, start), periodic(0, 45, start)};
    for (const ScheduleSettings& schedule : schedules) {
        for (ptime t = at("2024-03-01 00:00:30"); t < at("2024-03-12 00:00:00"); t += boost::posix_time::minutes(7)) {
            const ptime last = lastMoment(schedule, t);
            ASSERT_FALSE(last.is_special()) << schedule << " at " << t;
            EXPECT_FALSE(isLater(last, t)) << schedule << " at " << t;
            EXPECT_TRUE(isLater(nextMoment(schedule, last), t)) << schedule << " at " << t << ", last " << last;
        }
    }
}

}  // namespace
