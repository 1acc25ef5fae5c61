// The schedule of one lineset, the merge of several, and the schedule of a
// whole configuration, including a property test over random settings.

#include "Ostrel/scheduling/CompositeSchedule.h"
#include "Ostrel/scheduling/LinesetSchedule.h"

#include <map>
#include <random>
#include <vector>

#include <boost/pointer_cast.hpp>
#include <gtest/gtest.h>

#include "scheduling/ScheduleTestSupport.h"

using namespace scheduling_test;
using Ostrel::LinesetSettings;
using Ostrel::LinesetToggleEvent;
using boost::posix_time::hours;
using boost::posix_time::ptime;
using EventPtr = boost::shared_ptr<const ScheduleEvent>;

namespace {

boost::shared_ptr<const LinesetToggleEvent> asToggle(const EventPtr& event)
{
    auto toggle = boost::dynamic_pointer_cast<const LinesetToggleEvent>(event);
    EXPECT_TRUE(toggle) << "not a lineset event";
    return toggle;
}

// Draws n events, each from the previous one.
std::vector<EventPtr> draw(Schedule& schedule, int n)
{
    std::vector<EventPtr> events;
    EventPtr previous;
    for (int i = 0; i < n; ++i) {
        previous = schedule.nextEvent(previous);
        events.push_back(previous);
    }
    return events;
}

TEST(LinesetToggleEvent, WithoutAMomentNeverBecomesDue)
{
    auto l = boost::make_shared<const LinesetSettings>(lineset("a", daily(8, 0)));
    const LinesetToggleEvent event(l);
    EXPECT_TRUE(event.time.is_not_a_date_time());
    EXPECT_EQ(event.lineset, l);
}

TEST(LinesetSchedule, CountsFromThePreviousEventNotFromTheClock)
{
    ManualClock clock(at("2024-03-04 07:30:00"));
    auto l = boost::make_shared<const LinesetSettings>(lineset("a", daily(8, 0)));
    Ostrel::LinesetSchedule schedule(l, clock);

    const EventPtr first = schedule.nextEvent(EventPtr());
    EXPECT_EQ(first->time, at("2024-03-04 08:00:00"));
    EXPECT_EQ(asToggle(first)->lineset, l) << "the event carries the schedule's own lineset";

    // Three days later every missed moment still comes, one per call.
    clock.set(at("2024-03-07 10:00:00"));
    EventPtr previous = first;
    for (const char* expected :
         {"2024-03-05 08:00:00", "2024-03-06 08:00:00", "2024-03-07 08:00:00", "2024-03-08 08:00:00"}) {
        previous = schedule.nextEvent(previous);
        EXPECT_EQ(previous->time, at(expected));
    }
    // Without a previous event it starts from the clock.
    EXPECT_EQ(schedule.nextEvent(EventPtr())->time, at("2024-03-08 08:00:00"));
}

TEST(LinesetSchedule, ALinesetWithoutMomentsStillGivesEvents)
{
    ManualClock clock(at("2024-03-04 07:30:00"));
    for (const Ostrel::ScheduleSettings& s : {invalid(), daily(-1, 0), periodic(0, 0, at("2024-03-04 00:00:00"))}) {
        Ostrel::LinesetSchedule schedule(boost::make_shared<const LinesetSettings>(lineset("a", s)), clock);
        const EventPtr first = schedule.nextEvent(EventPtr());
        ASSERT_TRUE(first);
        EXPECT_TRUE(first->time.is_not_a_date_time());
        const EventPtr second = schedule.nextEvent(first);
        ASSERT_TRUE(second);
        EXPECT_TRUE(second->time.is_not_a_date_time());
    }
}

boost::shared_ptr<const Ostrel::Settings> settingsOf(const std::vector<LinesetSettings>& linesets)
{
    auto s = boost::make_shared<Ostrel::Settings>();
    s->linesets = linesets;
    return s;
}

TEST(OstrelSchedule, WithoutLinesetsHasNoEvent)
{
    Ostrel::Schedule schedule(settingsOf({}), ManualClock(at("2024-03-04 07:30:00")));
    EXPECT_FALSE(schedule.nextEvent(EventPtr()));
    EXPECT_FALSE(schedule.nextEvent(EventPtr()));
}

// Lineset names in the order the schedule delivers them, with their times.
std::vector<std::pair<std::string, ptime>> namesAndTimes(const std::vector<EventPtr>& events)
{
    std::vector<std::pair<std::string, ptime>> result;
    for (const EventPtr& e : events)
        result.emplace_back(asToggle(e)->lineset->name, e->time);
    return result;
}

TEST(OstrelSchedule, EqualMomentsComeInListOrderOnePerCall)
{
    Ostrel::Schedule schedule(settingsOf({lineset("first", daily(8, 0)), lineset("second", daily(8, 0))}),
                              ManualClock(at("2024-03-04 07:30:00")));
    const std::vector<std::pair<std::string, ptime>> expected = {{"first", at("2024-03-04 08:00:00")},
                                                                 {"second", at("2024-03-04 08:00:00")},
                                                                 {"first", at("2024-03-05 08:00:00")},
                                                                 {"second", at("2024-03-05 08:00:00")}};
    EXPECT_EQ(namesAndTimes(draw(schedule, 4)), expected);
}

TEST(OstrelSchedule, MergesADailyAndAnHourlyLineset)
{
    Ostrel::Schedule schedule(
        settingsOf({lineset("A", daily(8, 0)), lineset("B", periodic(1, 0, at("2024-03-04 00:00:00")))}),
        ManualClock(at("2024-03-04 07:30:00")));
    std::vector<std::pair<std::string, ptime>> expected = {{"A", at("2024-03-04 08:00:00")}};
    for (int h = 8; h <= 24 + 7; ++h)
        expected.emplace_back("B", at("2024-03-04 00:00:00") + hours(h));
    expected.emplace_back("A", at("2024-03-05 08:00:00"));
    expected.emplace_back("B", at("2024-03-05 08:00:00"));
    expected.emplace_back("B", at("2024-03-05 09:00:00"));
    EXPECT_EQ(namesAndTimes(draw(schedule, int(expected.size()))), expected);
}

TEST(OstrelSchedule, ALinesetWithoutMomentsIsNeverDelivered)
{
    Ostrel::Schedule schedule(settingsOf({lineset("none", invalid()), lineset("daily", daily(8, 0)),
                                          lineset("refused", daily(-1, 0)), lineset("weekly", weekly(1, 9, 30))}),
                              ManualClock(at("2024-03-04 07:30:00")));
    for (const auto& [name, time] : namesAndTimes(draw(schedule, 20))) {
        EXPECT_TRUE(name == "daily" || name == "weekly") << name;
        EXPECT_FALSE(time.is_special());
    }
}

TEST(OstrelSchedule, WhenNoLinesetHasAMomentTheFirstOnesEventIsDeliveredAgainAndAgain)
{
    Ostrel::Schedule schedule(settingsOf({lineset("first", invalid()), lineset("second", invalid())}),
                              ManualClock(at("2024-03-04 07:30:00")));
    for (const auto& [name, time] : namesAndTimes(draw(schedule, 3))) {
        EXPECT_EQ(name, "first");
        EXPECT_TRUE(time.is_not_a_date_time());
    }
}

TEST(OstrelSchedule, ItsEventsKeepTheLinesetAlive)
{
    auto settings = boost::make_shared<Ostrel::Settings>();
    settings->linesets = {lineset("first", weekly(1, 9, 0)), lineset("second", daily(8, 0))};
    auto schedule = boost::make_shared<Ostrel::Schedule>(settings, ManualClock(at("2024-03-04 07:30:00")));
    const Ostrel::LinesetSettings* const second = &settings->linesets[1];

    EventPtr event = schedule->nextEvent(EventPtr());
    schedule.reset();
    settings.reset();
    EXPECT_EQ(event->time, at("2024-03-04 08:00:00"));
    EXPECT_EQ(asToggle(event)->lineset.get(), second) << "the settings' own lineset, not a copy";
    EXPECT_EQ(asToggle(event)->lineset->name, "second");
}

TEST(CompositeSchedule, IgnoresThePreviousEventPassedIn)
{
    auto build = [] {
        ManualClock clock(at("2024-03-04 07:30:00"));
        std::vector<boost::shared_ptr<Schedule>> members = {
            boost::make_shared<Ostrel::LinesetSchedule>(
                boost::make_shared<const LinesetSettings>(lineset("A", daily(8, 0))), clock),
            boost::make_shared<Ostrel::LinesetSchedule>(
                boost::make_shared<const LinesetSettings>(lineset("B", weekly(1, 9, 0))), clock)};
        return boost::make_shared<CompositeSchedule>(members);
    };
    auto fedBack = build();
    auto fedNothing = build();
    auto fedNonsense = build();
    const EventPtr nonsense = boost::make_shared<const ScheduleEvent>(at("2030-01-01 00:00:00"));
    EventPtr previous;
    for (int i = 0; i < 12; ++i) {
        previous = fedBack->nextEvent(previous);
        EXPECT_EQ(fedNothing->nextEvent(EventPtr())->time, previous->time);
        EXPECT_EQ(fedNonsense->nextEvent(nonsense)->time, previous->time);
    }
}

TEST(CompositeSchedule, WithoutMembersHasNoEvent)
{
    CompositeSchedule composite({});
    EXPECT_FALSE(composite.nextEvent(EventPtr()));
}

// Random valid settings: hours and minutes zero or positive, a positive
// period, start times on both sides of the clock. Small hours make equal
// moments of different linesets common.
Ostrel::ScheduleSettings randomSchedule(std::mt19937& rng)
{
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    switch (pick(0, 2)) {
    case 0:
        return pick(0, 3) == 0 ? daily(pick(0, 72), pick(0, 600)) : daily(pick(0, 3), 30 * pick(0, 2));
    case 1:
        return weekly(pick(0, 6), pick(0, 40), pick(0, 90));
    default: {
        int h = pick(0, 30), m = pick(0, 120);
        if (h == 0 && m == 0)
            m = 1;
        if (pick(0, 2) == 0) {
            h = pick(0, 2);
            m = 30 * pick(h == 0 ? 1 : 0, 2);
        }
        return periodic(h, m,
                        at("2024-03-04 00:00:00") + boost::posix_time::minutes(pick(-2000000, 2000000)) +
                            boost::posix_time::microseconds(pick(0, 1) * pick(0, 59999999)));
    }
    }
}

TEST(ScheduleProperty, RandomLinesetEventsStrictlyIncreaseAndTheCompositeMergesThem)
{
    std::mt19937 rng(20240304);
    const int rounds = 200, perMember = 60;
    for (int round = 0; round < rounds; ++round) {
        ManualClock clock(at("2024-03-04 00:00:00") +
                          boost::posix_time::seconds(std::uniform_int_distribution<int>(0, 86400 * 14)(rng)));
        const int memberCount = std::uniform_int_distribution<int>(1, 5)(rng);
        std::vector<boost::shared_ptr<const LinesetSettings>> linesets;
        std::vector<boost::shared_ptr<Schedule>> members;
        std::vector<std::vector<EventPtr>> streams;  // each member alone
        for (int i = 0; i < memberCount; ++i) {
            linesets.push_back(boost::make_shared<const LinesetSettings>(lineset("l", randomSchedule(rng))));
            members.push_back(boost::make_shared<Ostrel::LinesetSchedule>(linesets.back(), clock));
            Ostrel::LinesetSchedule alone(linesets.back(), clock);
            streams.push_back(draw(alone, perMember + 1));
            const std::vector<EventPtr>& stream = streams.back();
            SCOPED_TRACE(::testing::Message() << "round " << round << ", " << linesets.back()->schedule);
            ASSERT_TRUE(isLater(stream[0]->time, clock())) << "the first event is after now";
            for (int k = 1; k < int(stream.size()); ++k)
                ASSERT_TRUE(isLater(stream[k]->time, stream[k - 1]->time))
                    << stream[k - 1]->time << " then " << stream[k]->time;
        }

        // The composite's output: in time order, equal moments in member
        // order, each member's own stream without gap or repeat, and nothing
        // left behind that should have come earlier.
        CompositeSchedule composite(members);
        std::map<const LinesetSettings*, int> memberOf;
        for (int i = 0; i < memberCount; ++i)
            memberOf[linesets[i].get()] = i;
        std::vector<int> taken(memberCount, 0);
        int lastMember = -1;
        ptime lastTime;
        SCOPED_TRACE(::testing::Message() << "round " << round);
        for (int n = 0; n < perMember; ++n) {
            const EventPtr event = composite.nextEvent(EventPtr());
            const int member = memberOf.at(asToggle(event)->lineset.get());
            ASSERT_EQ(event->time, streams[member][taken[member]]->time)
                << "member " << member << " event " << taken[member];
            ++taken[member];
            if (n > 0) {
                ASSERT_FALSE(isLater(lastTime, event->time)) << "out of time order";
                if (event->time == lastTime) {
                    ASSERT_GT(member, lastMember) << "tie not in member order";
                }
            }
            lastMember = member;
            lastTime = event->time;
        }
        for (int i = 0; i < memberCount; ++i) {
            const ptime waiting = streams[i][taken[i]]->time;
            EXPECT_TRUE(isLater(waiting, lastTime) || (waiting == lastTime && i > lastMember))
                << "member " << i << " left an event at " << waiting << " behind";
        }
    }
}

}  // namespace
