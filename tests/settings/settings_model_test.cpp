// The settings model without the registry: equality as the change test sees
// it, the stored schedule mode, the schedule descriptions and the exact text
// of the settings dump.

#include "Ostrel/settings/Settings.h"

#include <functional>
#include <limits>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include "Ostrel/settings/SettingsSource.h"
#include "support/SettingsSamples.h"

using namespace Ostrel;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;

namespace {

struct EqualityCase {
    const char* name;
    ScheduleMode mode;
    std::function<void(ScheduleSettings&)> edit;
    bool equal;
};

TEST(ScheduleEquality, ComparesOnlyTheFieldsOfTheSelectedMode)
{
    const EqualityCase cases[] = {
        {"daily hour", Daily, [](ScheduleSettings& s) { s.dailyHour = 8; }, false},
        {"daily minute", Daily, [](ScheduleSettings& s) { s.dailyMinute = 6; }, false},
        {"weekly hour of a daily schedule", Daily, [](ScheduleSettings& s) { s.weeklyHour = 1; }, true},
        {"periodic start of a daily schedule", Daily, [](ScheduleSettings& s) { s.periodicStartTime += seconds(1); },
         true},
        {"weekly weekday", Weekly, [](ScheduleSettings& s) { s.weeklyWeekday = boost::date_time::Friday; }, false},
        {"weekly minute", Weekly, [](ScheduleSettings& s) { s.weeklyMinute = 0; }, false},
        {"daily hour of a weekly schedule", Weekly, [](ScheduleSettings& s) { s.dailyHour = 0; }, true},
        {"periodic hours", Periodic, [](ScheduleSettings& s) { s.periodicHours = 2; }, false},
        {"periodic minutes", Periodic, [](ScheduleSettings& s) { s.periodicMinutes = 31; }, false},
        {"periodic start", Periodic,
         [](ScheduleSettings& s) { s.periodicStartTime += boost::posix_time::microseconds(1); }, false},
        {"weekday of a periodic schedule", Periodic,
         [](ScheduleSettings& s) { s.weeklyWeekday = boost::date_time::Friday; }, true},
        {"any field of an invalid schedule", Invalid,
         [](ScheduleSettings& s) {
             s.dailyHour = 3;
             s.periodicHours = 9;
         },
         true},
        {"the mode itself", Daily, [](ScheduleSettings& s) { s.scheduleMode = Weekly; }, false},
    };
    for (const auto& c : cases) {
        ScheduleSettings a = sampleSchedule(c.mode), b = a;
        c.edit(b);
        EXPECT_EQ(a == b, c.equal) << c.name;
        EXPECT_EQ(a != b, !c.equal) << c.name;
    }
}

LinesetSettings night()
{
    LinesetSettings l;
    l.name = "Night";
    l.mode = "CNT";
    l.interval = seconds(30);
    l.schedule = sampleSchedule(Daily);
    l.lines = {1, 2};
    return l;
}

TEST(LinesetEquality, EveryFieldCountsAndLinesCompareInOrder)
{
    const std::function<void(LinesetSettings&)> edits[] = {
        [](LinesetSettings& l) { l.name = "Day"; },           [](LinesetSettings& l) { l.mode = "cnt"; },
        [](LinesetSettings& l) { l.interval = seconds(31); }, [](LinesetSettings& l) { l.schedule.dailyHour = 0; },
        [](LinesetSettings& l) { l.lines = {2, 1}; },         [](LinesetSettings& l) { l.lines = {1, 2, 2}; },
    };
    for (const auto& edit : edits) {
        LinesetSettings b = night();
        edit(b);
        EXPECT_NE(night(), b);
    }
    EXPECT_EQ(night(), night());
}

TEST(SettingsEquality, SameLinesetsInTheSameOrder)
{
    LinesetSettings other = night();
    other.name = "Other";
    Settings a, b;
    a.linesets = {night(), other};
    b.linesets = {night(), other};
    EXPECT_EQ(a, b);
    b.linesets = {other, night()};
    EXPECT_NE(a, b);
    b.linesets = {night()};
    EXPECT_NE(a, b);
    EXPECT_EQ(Settings(), Settings());
}

// What is written is what loads again: every number but 0, 1 and 2 loads as
// Invalid, which is written as 100, a number that loads as Invalid too.
TEST(StoredScheduleMode, LoadsAndStoresBothWays)
{
    const struct {
        std::int32_t stored;
        ScheduleMode mode;
        std::int32_t written;
    } cases[] = {{0, Daily, 0},
                 {1, Weekly, 1},
                 {2, Periodic, 2},
                 {3, Invalid, invalidScheduleCode},
                 {-1, Invalid, invalidScheduleCode},
                 {invalidScheduleCode, Invalid, invalidScheduleCode},
                 {std::numeric_limits<std::int32_t>::min(), Invalid, invalidScheduleCode}};
    for (const auto& c : cases) {
        EXPECT_EQ(scheduleModeFromCode(c.stored), c.mode) << c.stored;
        EXPECT_EQ(scheduleModeCode(scheduleModeFromCode(c.stored)), c.written) << c.stored;
    }
}

TEST(ScheduleDescription, OneLinePerMode)
{
    ScheduleSettings periodicHalf = sampleSchedule(Periodic);
    periodicHalf.periodicHours = 0;
    periodicHalf.periodicStartTime = time_from_string("1970-01-01 00:00:00.5");
    ScheduleSettings periodicOdd = sampleSchedule(Periodic);
    periodicOdd.periodicHours = -1;
    periodicOdd.periodicMinutes = 125;
    periodicOdd.periodicStartTime = time_from_string("2014-05-01 06:30:00");
    ScheduleSettings weeklySat = sampleSchedule(Weekly);
    weeklySat.weeklyWeekday = boost::date_time::Saturday;
    weeklySat.weeklyHour = 23;
    weeklySat.weeklyMinute = 0;
    ScheduleSettings dailyWide = sampleSchedule(Daily);
    dailyWide.dailyHour = 123;
    dailyWide.dailyMinute = -5;
    ScheduleSettings periodicDefault = sampleSchedule(Periodic);
    periodicDefault.periodicHours = 0;
    ScheduleSettings periodicNone = sampleSchedule(Periodic);
    periodicNone.periodicStartTime = boost::posix_time::ptime();

    const struct {
        ScheduleSettings s;
        const char* text;
    } cases[] = {
        {sampleSchedule(Daily), "Daily, 07:05"},
        {dailyWide, "Daily, 123:-5"},
        {sampleSchedule(Weekly), "Weekly, Monday 09:30"},
        {weeklySat, "Weekly, Saturday 23:00"},
        {periodicDefault, "Every 0h 30m from 1970-Jan-01 00:00:00"},
        {periodicHalf, "Every 0h 30m from 1970-Jan-01 00:00:00.500000"},
        {periodicOdd, "Every -1h 125m from 2014-May-01 06:30:00"},
        {periodicNone, "Every 1h 30m from not-a-date-time"},
        {sampleSchedule(Invalid), "INVALID"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(boost::lexical_cast<std::string>(c.s), c.text);
}

std::string dump(const Settings& s)
{
    std::ostringstream os;
    s.print(os);
    return os.str();
}

TEST(SettingsDump, ExactText)
{
    Settings none;
    EXPECT_EQ(dump(none), "Settings:\nNo linesets\n\n");

    Settings one;
    one.linesets = {night()};
    EXPECT_EQ(dump(one),
              "Settings:\n"
              "-- Lineset #0:\n"
              "name: Night\n"
              "mode: CNT\n"
              "interval: 00:00:30\n"
              "schedule: Daily, 07:05\n"
              "lines: 1, 2\n"
              "\n"
              "\n");

    LinesetSettings empty;
    empty.interval = seconds(-1);
    empty.schedule.periodicMinutes = 30;
    LinesetSettings longer = night();
    longer.interval = boost::posix_time::hours(100) + boost::posix_time::milliseconds(250);
    Settings two;
    two.linesets = {empty, longer};
    EXPECT_EQ(dump(two),
              "Settings:\n"
              "-- Lineset #0:\n"
              "name: \n"
              "mode: \n"
              "interval: -00:00:01\n"
              "schedule: INVALID\n"
              "lines: \n"
              "\n"
              "-- Lineset #1:\n"
              "name: Night\n"
              "mode: CNT\n"
              "interval: 100:00:00.250000\n"
              "schedule: Daily, 07:05\n"
              "lines: 1, 2\n"
              "\n"
              "\n");
}

}  // namespace
