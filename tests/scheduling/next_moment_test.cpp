// The next-moment and last-moment rules of the three schedule kinds, the
// settings they refuse and the moment comparison they rest on.

#include "Ostrel/scheduling/Schedule.h"

#include <limits>
#include <ostream>

#include <gtest/gtest.h>

#include "scheduling/ScheduleTestSupport.h"

using namespace scheduling_test;
using Ostrel::lastMoment;
using Ostrel::nextMoment;
using Ostrel::ScheduleSettings;
using boost::posix_time::ptime;

namespace {

const std::int32_t int32Max = std::numeric_limits<std::int32_t>::max();

TEST(MomentTicks, NotADateTimeIsLaterThanEveryRealMoment)
{
    EXPECT_EQ(momentTicks(none), std::numeric_limits<std::int64_t>::max() - 1);
    const ptime last = at("9999-12-31 23:59:59.999999");
    EXPECT_TRUE(isLater(none, last));
    EXPECT_FALSE(isLater(last, none));
    EXPECT_FALSE(isLater(none, none));
    EXPECT_TRUE(isLater(at("2024-03-04 08:00:00.000001"), at("2024-03-04 08:00:00")));
    EXPECT_FALSE(isLater(at("2024-03-04 08:00:00"), at("2024-03-04 08:00:00")));
}

struct MomentCase {
    const char* name;
    ScheduleSettings settings;
    ptime from;  // the moment asked about
    ptime expected;
};

void PrintTo(const MomentCase& c, std::ostream* os)
{
    *os << c.name;
}

class NextMoment : public ::testing::TestWithParam<MomentCase> {};

TEST_P(NextMoment, IsTheNextScheduledMomentStrictlyAfter)
{
    const MomentCase& c = GetParam();
    const ptime next = nextMoment(c.settings, c.from);
    EXPECT_EQ(momentTicks(next), momentTicks(c.expected)) << "got " << next << ", expected " << c.expected;
}

const ptime start = at("2024-03-04 06:00:00");  // periodic start S, a Monday

// 2024-03-04 is a Monday; 9999-12-31, the last date of the range, a Friday.
INSTANTIATE_TEST_SUITE_P(
    Daily, NextMoment,
    ::testing::Values(
        MomentCase{"JustBeforeGivesToday", daily(8, 0), at("2024-03-04 07:59:59.999999"), at("2024-03-04 08:00:00")},
        MomentCase{"ExactlyAtGivesTomorrow", daily(8, 0), at("2024-03-04 08:00:00"), at("2024-03-05 08:00:00")},
        MomentCase{"JustAfterGivesTomorrow", daily(8, 0), at("2024-03-04 08:00:00.000001"), at("2024-03-05 08:00:00")},
        MomentCase{"LateEveningGivesTomorrow", daily(8, 0), at("2024-03-04 23:00:00"), at("2024-03-05 08:00:00")},
        MomentCase{"MidnightAtMidnight", daily(0, 0), at("2024-03-04 00:00:00"), at("2024-03-05 00:00:00")},
        MomentCase{"AcrossTheYearEnd", daily(8, 0), at("2023-12-31 09:00:00"), at("2024-01-01 08:00:00")},
        MomentCase{"OntoALeapDay", daily(8, 0), at("2024-02-28 09:00:00"), at("2024-02-29 08:00:00")},
        MomentCase{"MinutesBeyondAnHour", daily(7, 90), at("2024-03-04 08:00:00"), at("2024-03-04 08:30:00")},
        MomentCase{"Hour25IsTomorrowAt1", daily(25, 0), at("2024-03-04 00:30:00"), at("2024-03-05 01:00:00")},
        MomentCase{"Hour25PastItIsTheDayAfter", daily(25, 0), at("2024-03-05 01:00:00"), at("2024-03-06 01:00:00")},
        MomentCase{"Hour48FromDPlus2IsDPlus4", daily(48, 0), at("2024-03-06 10:00:00"), at("2024-03-08 00:00:00")},
        // Wall-clock only: 02:30 on the day the clock skips it is still 02:30.
        MomentCase{"InsideASkippedHour", daily(2, 30), at("2024-03-31 01:00:00"), at("2024-03-31 02:30:00")},
        MomentCase{"InsideARepeatedHourOnce", daily(2, 30), at("2024-10-27 02:30:00"), at("2024-10-28 02:30:00")},
        MomentCase{"FirstDateOfTheRange", daily(0, 0), at("1400-01-01 00:00:00"), at("1400-01-02 00:00:00")},
        MomentCase{"LastDayStillInRange", daily(23, 0), at("9999-12-31 09:00:00"), at("9999-12-31 23:00:00")},
        MomentCase{"PastTheLastDateIsNone", daily(8, 0), at("9999-12-31 09:00:00"), none},
        MomentCase{"HugeMinuteCountKeepsTheArithmetic", daily(0, int32Max), at("2024-03-04 12:00:00"),
                   at("6107-03-28 02:07:00")},
        MomentCase{"HugeHourCountLeavesTheRange", daily(int32Max, int32Max), at("2024-03-04 12:00:00"), none}));

INSTANTIATE_TEST_SUITE_P(
    Weekly, NextMoment,
    ::testing::Values(
        MomentCase{"MondayBeforeTheTime", weekly(1, 9, 30), at("2024-03-04 09:29:00"), at("2024-03-04 09:30:00")},
        MomentCase{"MondayExactlyAtTheTime", weekly(1, 9, 30), at("2024-03-04 09:30:00"), at("2024-03-11 09:30:00")},
        MomentCase{"SundayMorning", weekly(1, 9, 30), at("2024-03-03 00:00:00"), at("2024-03-04 09:30:00")},
        MomentCase{"SundayLastMicrosecond", weekly(1, 9, 30), at("2024-03-03 23:59:59.999999"),
                   at("2024-03-04 09:30:00")},
        MomentCase{"Tuesday", weekly(1, 9, 30), at("2024-03-05 08:00:00"), at("2024-03-11 09:30:00")},
        MomentCase{"SundayMidnightWalksEightDates", weekly(0, 0, 0), at("2024-03-03 00:00:00"),
                   at("2024-03-10 00:00:00")},
        MomentCase{"SaturdayNightToSunday", weekly(0, 0, 0), at("2024-03-09 23:59:00"), at("2024-03-10 00:00:00")},
        MomentCase{"AcrossAMonthEnd", weekly(5, 18, 0), at("2024-03-30 12:00:00"), at("2024-04-05 18:00:00")},
        MomentCase{"LastDateStillInRange", weekly(5, 10, 0), at("9999-12-31 09:00:00"), at("9999-12-31 10:00:00")},
        MomentCase{"LastDatePassedIsNone", weekly(5, 10, 0), at("9999-12-31 11:00:00"), none},
        MomentCase{"WeekdayPastTheRangeIsNone", weekly(6, 0, 0), at("9999-12-31 00:00:00"), none},
        MomentCase{"HugeHourCountLeavesTheRange", weekly(1, int32Max, 0), at("2024-03-04 12:00:00"), none}));

INSTANTIATE_TEST_SUITE_P(
    Periodic, NextMoment,
    ::testing::Values(
        MomentCase{"AtTheStartIsOnePeriodOn", periodic(1, 30, start), start, at("2024-03-04 07:30:00")},
        MomentCase{"JustBeforeTheSecondPeriodEnds", periodic(1, 30, start), at("2024-03-04 08:59:00"),
                   at("2024-03-04 09:00:00")},
        MomentCase{"ExactlyOnTheGrid", periodic(1, 30, start), at("2024-03-04 09:00:00"), at("2024-03-04 10:30:00")},
        MomentCase{"LessThanAPeriodBeforeTheStart", periodic(1, 0, start), at("2024-03-04 05:40:00"),
                   at("2024-03-04 07:00:00")},
        MomentCase{"SeveralPeriodsBeforeTheStart", periodic(1, 0, start), at("2024-03-04 03:30:00"),
                   at("2024-03-04 05:00:00")},
        MomentCase{"OnTheGridBeforeTheStart", periodic(1, 0, start), at("2024-03-04 04:00:00"),
                   at("2024-03-04 05:00:00")},
        MomentCase{"MinutesOnlyFromTheEpoch", periodic(0, 30, at("1970-01-01 00:00:00")), at("2024-03-04 08:10:00"),
                   at("2024-03-04 08:30:00")},
        MomentCase{"StartWithAFraction", periodic(0, 1, at("2024-03-04 06:00:00.250000")), at("2024-03-04 06:00:59"),
                   at("2024-03-04 06:01:00.250000")},
        MomentCase{"HugePeriodKeepsTheArithmetic", periodic(1000000, 0, at("1970-01-01 00:00:00")),
                   at("2024-03-04 12:00:00"), at("2084-01-29 16:00:00")},
        // More than 2^31 periods: a 32-bit period count would wrap and give a
        // moment before after.
        MomentCase{"MorePeriodsThan32BitsHold", periodic(0, 1, at("1400-01-01 00:00:00")), at("9000-01-01 00:00:30"),
                   at("9000-01-01 00:01:00")},
        MomentCase{"MorePeriodsThan32BitsBeforeTheStart", periodic(0, 1, at("9999-01-01 00:00:00")),
                   at("2000-01-01 00:00:30"), at("2000-01-01 00:02:00")},
        MomentCase{"PastTheLastDateIsNone", periodic(2, 0, at("9999-12-31 23:00:00")), at("9999-12-31 23:00:00"), none},
        MomentCase{"LargestPeriodLeavesTheRange", periodic(int32Max, int32Max, at("1970-01-01 00:00:00")),
                   at("2024-03-04 12:00:00"), none}));

ScheduleSettings withMode(int mode)
{
    ScheduleSettings s = daily(8, 0);
    s.scheduleMode = static_cast<Ostrel::ScheduleMode>(mode);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    NoMoment, NextMoment,
    ::testing::Values(MomentCase{"Invalid", invalid(), at("2024-03-04 12:00:00"), none},
                      MomentCase{"UnknownModeNumber", withMode(7), at("2024-03-04 12:00:00"), none},
                      MomentCase{"AfterNotADateTime", daily(8, 0), none, none},
                      MomentCase{"AfterPositiveInfinity", daily(8, 0), ptime(boost::posix_time::pos_infin), none},
                      MomentCase{"PeriodicAfterNotADateTime", periodic(1, 0, start), none, none}));

// Refused settings: what the rules would do with them is useless or harmful
// (a division by zero, moments that repeat or go backwards and so fire on
// every poll, a weekly walk out of the date range), so they have no moment.
struct RefusalCase {
    const char* name;
    ScheduleSettings settings;
    const char* reason;  // empty: accepted
};

void PrintTo(const RefusalCase& c, std::ostream* os)
{
    *os << c.name;
}

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

ScheduleSettings dailyWithUnusedFieldsNegative()
{
    ScheduleSettings s = daily(8, 0);
    s.weeklyHour = -1;
    s.periodicHours = -5;
    s.periodicMinutes = 0;
    return s;
}

ScheduleSettings invalidWithNegativeFields()
{
    ScheduleSettings s = invalid();
    s.dailyHour = -1;
    s.periodicMinutes = 0;
    return s;
}

TEST_P(Refusal, RefusedSchedulesHaveNoMoment)
{
    const RefusalCase& c = GetParam();
    EXPECT_EQ(Ostrel::scheduleRefusal(c.settings).value_or(""), c.reason);
    if (*c.reason) {
        // Not even near the ends of the range, where a negative weekly walk
        // would run out of dates.
        for (const ptime& after : {at("2024-03-04 12:00:00"), at("1400-01-01 00:00:00"), at("9999-12-31 23:00:00")}) {
            EXPECT_EQ(momentTicks(nextMoment(c.settings, after)), momentTicks(none)) << after;
            EXPECT_EQ(momentTicks(lastMoment(c.settings, after)), momentTicks(none)) << after;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, Refusal,
    ::testing::Values(
        RefusalCase{"DailyNegativeHour", daily(-1, 0), "negative daily hour or minute (hour -1, minute 0)"},
        RefusalCase{"DailyNegativeMinute", daily(8, -5), "negative daily hour or minute (hour 8, minute -5)"},
        RefusalCase{"DailyMostNegative", daily(std::numeric_limits<std::int32_t>::min(), 0),
                    "negative daily hour or minute (hour -2147483648, minute 0)"},
        RefusalCase{"WeeklyNegativeHour", weekly(1, -1, 0), "negative weekly hour or minute (hour -1, minute 0)"},
        RefusalCase{"WeeklyHugeNegativeMinute", weekly(1, 9, -2000000000),
                    "negative weekly hour or minute (hour 9, minute -2000000000)"},
        RefusalCase{"WeeklyWeekdayOutOfRange", weekly(7, 9, 30), "weekday 7 outside 0 (Sunday) to 6 (Saturday)"},
        RefusalCase{"PeriodicZero", periodic(0, 0, start), "zero period"},
        RefusalCase{"PeriodicNegativeHours", periodic(-1, 30, start), "negative period (hours -1, minutes 30)"},
        RefusalCase{"PeriodicNegativeMinutes", periodic(2, -30, start), "negative period (hours 2, minutes -30)"},
        RefusalCase{"DailyZeroIsAccepted", daily(0, 0), ""},
        RefusalCase{"PeriodicOneMinuteIsAccepted", periodic(0, 1, start), ""},
        RefusalCase{"OnlyTheSelectedModeCounts", dailyWithUnusedFieldsNegative(), ""},
        RefusalCase{"InvalidIsNotRefused", invalidWithNegativeFields(), ""}));

// A start time that is no moment is never loaded (the loader takes its
// default instead); settings made in memory with one are not refused, and
// have no moment either way, without arithmetic on the special value.
TEST(PeriodicStart, NoMomentGivesNoMoment)
{
    for (const ptime& start : {none, ptime(boost::posix_time::pos_infin), ptime(boost::posix_time::neg_infin)}) {
        const ScheduleSettings s = periodic(1, 0, start);
        EXPECT_FALSE(Ostrel::scheduleRefusal(s)) << start;
        for (const ptime& t : {at("2024-03-04 12:00:00"), at("1400-01-01 00:00:00"), at("9999-12-31 23:00:00")}) {
            EXPECT_EQ(momentTicks(nextMoment(s, t)), momentTicks(none)) << start << " after " << t;
            EXPECT_EQ(momentTicks(lastMoment(s, t)), momentTicks(none)) << start << " at or before " << t;
        }
    }
}

// --- the latest moment at or before a given one --------------------------------

class LastMoment : public ::testing::TestWithParam<MomentCase> {};

TEST_P(LastMoment, IsTheLatestScheduledMomentAtOrBefore)
{
    const MomentCase& c = GetParam();
    const ptime last = lastMoment(c.settings, c.from);
    EXPECT_EQ(momentTicks(last), momentTicks(c.expected)) << "got " << last << ", expected " << c.expected;
}

INSTANTIATE_TEST_SUITE_P(
    Daily, LastMoment,
    ::testing::Values(
        MomentCase{"ExactlyAtIsThatMoment", daily(8, 0), at("2024-03-04 08:00:00"), at("2024-03-04 08:00:00")},
        MomentCase{"JustBeforeIsYesterday", daily(8, 0), at("2024-03-04 07:59:59.999999"), at("2024-03-03 08:00:00")},
        MomentCase{"LaterTheSameDayIsToday", daily(8, 0), at("2024-03-04 23:59:00"), at("2024-03-04 08:00:00")},
        MomentCase{"BackOverTheYearEnd", daily(8, 0), at("2024-01-01 07:00:00"), at("2023-12-31 08:00:00")},
        MomentCase{"BackOverALeapDay", daily(8, 0), at("2024-03-01 07:00:00"), at("2024-02-29 08:00:00")},
        MomentCase{"MinutesBeyondAnHour", daily(7, 90), at("2024-03-04 08:45:00"), at("2024-03-04 08:30:00")},
        MomentCase{"Hour25IsYesterdayPlus25Hours", daily(25, 0), at("2024-03-05 02:00:00"), at("2024-03-05 01:00:00")},
        MomentCase{"BeforeTheFirstMomentOfTheRangeIsNone", daily(8, 0), at("1400-01-01 07:00:00"), none},
        MomentCase{"LastMomentOfTheRange", daily(23, 0), at("9999-12-31 23:59:59.999999"), at("9999-12-31 23:00:00")},
        MomentCase{"HugeHourCountBeforeTheRangeIsNone", daily(2147483647, 0), at("2024-03-04 12:00:00"), none}));

INSTANTIATE_TEST_SUITE_P(
    Weekly, LastMoment,
    ::testing::Values(
        MomentCase{"ExactlyAtIsThatMoment", weekly(1, 8, 0), at("2024-03-04 08:00:00"), at("2024-03-04 08:00:00")},
        MomentCase{"JustBeforeIsAWeekEarlier", weekly(1, 8, 0), at("2024-03-04 07:59:59"), at("2024-02-26 08:00:00")},
        MomentCase{"LaterInTheWeek", weekly(1, 8, 0), at("2024-03-10 23:00:00"), at("2024-03-04 08:00:00")},
        MomentCase{"SundayEveningSeenOnMonday", weekly(0, 23, 0), at("2024-03-04 10:00:00"), at("2024-03-03 23:00:00")},
        MomentCase{"HoursPastMidnightStayWithTheirWeekday", weekly(0, 26, 0), at("2024-03-04 10:00:00"),
                   at("2024-03-04 02:00:00")},
        MomentCase{"HoursPastMidnightBeforeTheirMoment", weekly(0, 26, 0), at("2024-03-04 01:00:00"),
                   at("2024-02-26 02:00:00")},
        // 1400-01-01 is a Wednesday: no Monday of the range before it.
        MomentCase{"NoWeekdayLeftInTheRangeIsNone", weekly(1, 0, 0), at("1400-01-02 00:00:00"), none}));

INSTANTIATE_TEST_SUITE_P(
    Periodic, LastMoment,
    ::testing::Values(
        MomentCase{"AtTheStart", periodic(1, 30, start), start, start},
        MomentCase{"JustBeforeTheNextGridPoint", periodic(1, 30, start), at("2024-03-04 07:29:59.999999"), start},
        MomentCase{"OnTheNextGridPoint", periodic(1, 30, start), at("2024-03-04 07:30:00"), at("2024-03-04 07:30:00")},
        MomentCase{"ManyPeriodsLater", periodic(0, 1, start), at("2025-03-04 06:00:30"), at("2025-03-04 06:00:00")},
        // The grid goes on before the start, rounded down, not toward zero.
        MomentCase{"JustBeforeTheStart", periodic(1, 30, start), at("2024-03-04 05:59:59"), at("2024-03-04 04:30:00")},
        MomentCase{"OnAGridPointBeforeTheStart", periodic(1, 30, start), at("2024-03-04 03:00:00"),
                   at("2024-03-04 03:00:00")}));

INSTANTIATE_TEST_SUITE_P(NoMoment, LastMoment,
                         ::testing::Values(MomentCase{"Invalid", invalid(), at("2024-03-04 12:00:00"), none},
                                           MomentCase{"NotADateTime", daily(8, 0), none, none},
                                           MomentCase{"PositiveInfinity", daily(8, 0),
                                                      ptime(boost::posix_time::pos_infin), none}));

// The two rules agree: the moment after the last one is later than the
// moment asked about, so no moment lies between them, at every minute of a
// few days and across a week's turn.
TEST(LastAndNextMoment, LeaveNoMomentBetweenThem)
{
    const ScheduleSettings schedules[] = {daily(8, 15),          daily(0, 0),     daily(30, 0),
                                          weekly(3, 17, 45),     weekly(0, 0, 0), periodic(2, 7, start),
                                          periodic(0, 45, start)};
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
