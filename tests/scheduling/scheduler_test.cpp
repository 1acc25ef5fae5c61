// The scheduler: when an event fires, in which order, with what, and how an
// exhausted schedule is asked again. Every instant comes from a hand-set
// clock shared by the scheduler and the lineset schedules.

#include "scheduler/Scheduler.h"

#include <deque>
#include <stdexcept>
#include <vector>

#include <boost/pointer_cast.hpp>
#include <gtest/gtest.h>

#include "Ostrel/scheduling/LinesetSchedule.h"
#include "scheduling/ScheduleTestSupport.h"

using namespace scheduling_test;
using boost::posix_time::hours;
using boost::posix_time::microseconds;
using boost::posix_time::ptime;
using boost::posix_time::seconds;
using EventPtr = boost::shared_ptr<const ScheduleEvent>;

namespace {

const boost::posix_time::time_duration retry = seconds(60);
const boost::posix_time::time_duration tick = microseconds(1);

// What the handler was given, in call order.
struct Call {
    EventPtr due;
    EventPtr next;
};

class SchedulerTest : public ::testing::Test {
protected:
    ManualClock clock{at("2024-03-04 07:59:59.900000")};
    std::vector<Call> calls;

    Scheduler::Handler recorder()
    {
        return [this](const EventPtr& due, const EventPtr& next) { calls.push_back({due, next}); };
    }

    boost::shared_ptr<Schedule> scheduleOf(const std::vector<Ostrel::LinesetSettings>& linesets)
    {
        auto settings = boost::make_shared<Ostrel::Settings>();
        settings->linesets = linesets;
        return boost::make_shared<Ostrel::Schedule>(settings, clock);
    }

    std::string nameOf(const EventPtr& event)
    {
        return boost::dynamic_pointer_cast<const Ostrel::LinesetToggleEvent>(event)->lineset->name;
    }
};

TEST_F(SchedulerTest, FiresOnlyOnceTheClockIsStrictlyPastTheMoment)
{
    Scheduler scheduler(scheduleOf({lineset("a", daily(8, 0))}), recorder(), retry, clock);
    clock.set(at("2024-03-04 08:00:00"));
    scheduler.poll();
    EXPECT_TRUE(calls.empty()) << "a poll at exactly the moment does not fire";

    clock.advance(tick);
    scheduler.poll();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].due->time, at("2024-03-04 08:00:00"));
    ASSERT_TRUE(calls[0].next);
    EXPECT_EQ(calls[0].next->time, at("2024-03-05 08:00:00"));

    scheduler.poll();
    clock.set(at("2024-03-05 08:00:00"));
    scheduler.poll();
    EXPECT_EQ(calls.size(), 1u) << "the next event waits for its own moment";
    clock.advance(tick);
    scheduler.poll();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].due, calls[0].next) << "the event announced as next is the one that fires";
}

TEST_F(SchedulerTest, TheMomentOfCreationIsNeverAnEvent)
{
    clock.set(at("2024-03-04 08:00:00"));
    Scheduler scheduler(scheduleOf({lineset("a", daily(8, 0))}), recorder(), retry, clock);
    clock.set(at("2024-03-05 07:59:00"));
    scheduler.poll();
    EXPECT_TRUE(calls.empty());
    clock.set(at("2024-03-05 08:00:00.000001"));
    scheduler.poll();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].due->time, at("2024-03-05 08:00:00"));
}

TEST_F(SchedulerTest, EventsAtTheSameMomentFireOnConsecutivePollsInListOrder)
{
    Scheduler scheduler(scheduleOf({lineset("first", daily(8, 0)), lineset("second", daily(8, 0))}), recorder(), retry,
                        clock);
    clock.set(at("2024-03-04 08:00:01"));
    scheduler.poll();
    ASSERT_EQ(calls.size(), 1u) << "one event per poll";
    EXPECT_EQ(nameOf(calls[0].due), "first");
    EXPECT_EQ(calls[0].next->time, at("2024-03-04 08:00:00"));
    scheduler.poll();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(nameOf(calls[1].due), "second");
    EXPECT_EQ(calls[1].due->time, at("2024-03-04 08:00:00"));
    scheduler.poll();
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(SchedulerTest, MissedMomentsFireOnePerPollAfterASuspension)
{
    Scheduler scheduler(scheduleOf({lineset("a", daily(8, 0))}), recorder(), retry, clock);
    clock.set(at("2024-03-07 09:00:00"));  // three days later
    for (int i = 0; i < 6; ++i)
        scheduler.poll();
    std::vector<ptime> fired;
    for (const Call& c : calls)
        fired.push_back(c.due->time);
    EXPECT_EQ(fired, (std::vector<ptime>{at("2024-03-04 08:00:00"), at("2024-03-05 08:00:00"),
                                         at("2024-03-06 08:00:00"), at("2024-03-07 08:00:00")}));
    clock.set(at("2024-03-08 08:00:00.5"));
    scheduler.poll();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[4].due->time, at("2024-03-08 08:00:00"));
}

TEST_F(SchedulerTest, AClockSetBackRepeatsNothing)
{
    Scheduler scheduler(scheduleOf({lineset("a", daily(8, 0))}), recorder(), retry, clock);
    clock.set(at("2024-03-04 08:00:01"));
    scheduler.poll();
    clock.set(at("2024-03-04 07:00:00"));
    scheduler.poll();
    clock.set(at("2024-03-04 08:00:01"));
    scheduler.poll();
    EXPECT_EQ(calls.size(), 1u);
    clock.set(at("2024-03-05 08:00:01"));
    scheduler.poll();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].due->time, at("2024-03-05 08:00:00"));
}

TEST_F(SchedulerTest, LinesetsWithoutMomentsNeverFire)
{
    Scheduler scheduler(scheduleOf({lineset("a", invalid()), lineset("b", periodic(0, 0, clock()))}), recorder(), retry,
                        clock);
    for (const char* when : {"2024-03-04 08:00:00", "2030-01-01 00:00:00", "9999-12-31 23:59:59.999999"}) {
        clock.set(at(when));
        scheduler.poll();
    }
    EXPECT_TRUE(calls.empty());
}

// A schedule that answers from a script and records what it was asked.
class ScriptedSchedule : public Schedule {
public:
    struct Answer {
        ptime time;  // not_a_date_time with event false: an empty answer
        bool event;
        bool fail;
    };
    static Answer event(ptime t) { return {t, true, false}; }
    static Answer nothing() { return {none, false, false}; }
    static Answer failure() { return {none, false, true}; }

    explicit ScriptedSchedule(std::deque<Answer> answers) : answers(std::move(answers)) {}

    EventPtr nextEvent(const EventPtr& previous) override
    {
        asked.push_back(previous);
        if (answers.empty())
            throw std::logic_error("asked more often than scripted");
        const Answer a = answers.front();
        answers.pop_front();
        if (a.fail)
            throw std::runtime_error("schedule failed");
        return a.event ? boost::make_shared<const ScheduleEvent>(a.time) : EventPtr();
    }

    std::deque<Answer> answers;
    std::vector<EventPtr> asked;
};

TEST_F(SchedulerTest, AScheduleWithoutEventsAtTheStartIsNeverAskedAgain)
{
    using S = ScriptedSchedule;
    auto empty = boost::make_shared<S>(std::deque<S::Answer>{S::nothing()});
    Scheduler scheduler(empty, recorder(), retry, clock);
    for (int day = 0; day < 3; ++day) {
        clock.advance(hours(24));
        scheduler.poll();
    }
    EXPECT_EQ(empty->asked.size(), 1u);
    EXPECT_TRUE(calls.empty());

    // The same holds for the schedule of settings without linesets.
    Scheduler withoutLinesets(scheduleOf({}), recorder(), retry, clock);
    clock.advance(hours(24));
    withoutLinesets.poll();
    EXPECT_TRUE(calls.empty());
}

TEST_F(SchedulerTest, AScheduleThatRunsOutIsAskedOncePerIntervalFromWhenItRanOut)
{
    using S = ScriptedSchedule;
    const ptime t0 = clock();
    auto scripted = boost::make_shared<S>(std::deque<S::Answer>{S::event(t0 + seconds(1)), S::nothing(), S::nothing(),
                                                                S::nothing(), S::event(t0 + seconds(500)),
                                                                S::nothing()});
    Scheduler scheduler(scripted, recorder(), retry, clock);

    const ptime ranOut = t0 + seconds(2);
    clock.set(ranOut);
    scheduler.poll();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].next) << "the handler learns that nothing follows";
    EXPECT_EQ(scripted->asked.size(), 2u);
    EXPECT_EQ(scripted->asked[1], calls[0].due) << "the schedule moves on from the due event";

    clock.set(ranOut + retry);
    scheduler.poll();
    EXPECT_EQ(scripted->asked.size(), 2u) << "not before the clock is past the retry time";

    // A late first retry: the next one still counts from when it ran out.
    clock.set(ranOut + seconds(100));
    scheduler.poll();
    ASSERT_EQ(scripted->asked.size(), 3u);
    EXPECT_FALSE(scripted->asked[2]) << "an exhausted schedule is asked from now";
    clock.set(ranOut + retry * 2);
    scheduler.poll();
    EXPECT_EQ(scripted->asked.size(), 3u);
    clock.advance(tick);
    scheduler.poll();
    EXPECT_EQ(scripted->asked.size(), 4u);

    clock.set(ranOut + retry * 3 + tick);
    scheduler.poll();
    ASSERT_EQ(scripted->asked.size(), 5u);
    EXPECT_EQ(calls.size(), 1u) << "a retry fires nothing by itself";

    clock.set(t0 + seconds(500) + tick);
    scheduler.poll();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].due->time, t0 + seconds(500));
}

TEST_F(SchedulerTest, AFailingScheduleKeepsTheDueEventForTheNextPoll)
{
    using S = ScriptedSchedule;
    const ptime t0 = clock();
    auto scripted = boost::make_shared<S>(
        std::deque<S::Answer>{S::event(t0 + seconds(1)), S::failure(), S::event(t0 + seconds(5))});
    Scheduler scheduler(scripted, recorder(), retry, clock);
    clock.set(t0 + seconds(2));
    EXPECT_THROW(scheduler.poll(), std::runtime_error);
    EXPECT_TRUE(calls.empty());
    scheduler.poll();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].due->time, t0 + seconds(1));
    EXPECT_EQ(scripted->asked[1], scripted->asked[2]) << "the same event is offered again";
}

TEST_F(SchedulerTest, TheScheduleMovesOnBeforeTheHandlerRunsSoAFailingHandlerLosesOnlyItsEvent)
{
    Scheduler scheduler(
        scheduleOf({lineset("a", daily(8, 0))}),
        [this](const EventPtr& due, const EventPtr& next) {
            calls.push_back({due, next});
            throw std::runtime_error("handler failed");
        },
        retry, clock);
    clock.set(at("2024-03-05 09:00:00"));
    EXPECT_THROW(scheduler.poll(), std::runtime_error);
    EXPECT_THROW(scheduler.poll(), std::runtime_error);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].due->time, at("2024-03-04 08:00:00"));
    EXPECT_EQ(calls[1].due->time, at("2024-03-05 08:00:00"));
}

TEST_F(SchedulerTest, AnEmptyHandlerIsABadFunctionCall)
{
    Scheduler scheduler(scheduleOf({lineset("a", daily(8, 0))}), Scheduler::Handler(), retry, clock);
    clock.set(at("2024-03-04 09:00:00"));
    EXPECT_THROW(scheduler.poll(), boost::bad_function_call);
}

// How long the engine's loop may sleep before its next poll, with the
// engine's period: a row polls at the given instants, then asks at `asked`.
struct WaitCase {
    const char* name;
    std::vector<Ostrel::LinesetSettings> linesets;  // created at 07:59:59.900 on 2024-03-04
    std::vector<const char*> polls;
    const char* asked;
    boost::posix_time::time_duration wait;
};

const boost::posix_time::time_duration period = boost::posix_time::milliseconds(250);

class WaitBeforeNextPoll : public SchedulerTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitBeforeNextPoll, EndsJustPastThePendingMomentOrAfterThePeriod)
{
    const WaitCase& c = GetParam();
    Scheduler scheduler(scheduleOf(c.linesets), recorder(), retry, clock);
    for (const char* instant : c.polls) {
        clock.set(at(instant));
        scheduler.poll();
    }
    clock.set(at(c.asked));
    EXPECT_EQ(scheduler.waitBeforeNextPoll(period), c.wait);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitBeforeNextPoll,
    ::testing::Values(
        WaitCase{"DueWithinThePeriod",
                 {lineset("a", daily(8, 0))},
                 {},
                 "2024-03-04 07:59:59.900000",
                 boost::posix_time::milliseconds(100) + tick},
        WaitCase{"DueAtThePeriodsEnd", {lineset("a", daily(8, 0))}, {}, "2024-03-04 07:59:59.750001", period},
        WaitCase{"DueAfterThePeriod", {lineset("a", daily(8, 0))}, {}, "2024-03-04 07:59:59.700000", period},
        WaitCase{"AtTheMomentItselfNotYetDue", {lineset("a", daily(8, 0))}, {}, "2024-03-04 08:00:00", tick},
        WaitCase{"DueButNotYetPolled",
                 {lineset("a", daily(8, 0))},
                 {},
                 "2024-03-04 08:00:00.000001",
                 boost::posix_time::time_duration(0, 0, 0)},
        WaitCase{"SecondEventAtTheSameMoment",
                 {lineset("first", daily(8, 0)), lineset("second", daily(8, 0))},
                 {"2024-03-04 08:00:00.002000"},
                 "2024-03-04 08:00:00.002100",
                 boost::posix_time::time_duration(0, 0, 0)},
        WaitCase{"NextDayAfterAFire",
                 {lineset("a", daily(8, 0))},
                 {"2024-03-04 08:00:00.002000"},
                 "2024-03-04 08:00:00.002100",
                 period},
        WaitCase{"MissedDuringASuspension",
                 {lineset("a", daily(8, 0))},
                 {"2024-03-07 09:00:00"},
                 "2024-03-07 09:00:00.000100",
                 period},
        WaitCase{"NoMoment", {lineset("a", invalid())}, {}, "2024-03-04 08:00:00", period},
        WaitCase{"NoLinesets", {}, {}, "2024-03-04 08:00:00", period}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

}  // namespace
