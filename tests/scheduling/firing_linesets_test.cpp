// Which linesets the engine and "/check" fire: a refused schedule or a mode
// that would forge lines in logger.ini keeps a lineset out, the rest keep
// their order.

#include "Ostrel/scheduling/FiringLinesets.h"

#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "scheduling/ScheduleTestSupport.h"

using namespace scheduling_test;
using Ostrel::LinesetSettings;
using Ostrel::Settings;

namespace {

LinesetSettings withMode(const std::string& name, const std::string& mode)
{
    LinesetSettings l = lineset(name, daily(8, 0));
    l.mode = mode;
    return l;
}

TEST(LinesetRefusal, ALineBreakInTheModeOrARefusedScheduleKeepsALinesetOut)
{
    const struct {
        LinesetSettings lineset;
        const char* reason;  // empty: fires
    } cases[] = {
        {withMode("cr", "CNT\rX"), "its mode contains a line break"},
        {withMode("lf", "\n[Line99]"), "its mode contains a line break"},
        {withMode("plain", "CNT=1;[x]"), ""},
        {lineset("daily", daily(-1, 0)), "negative daily hour or minute (hour -1, minute 0)"},
        {lineset("period", periodic(0, 0, at("2024-03-04 00:00:00"))), "zero period"},
        {lineset("invalid", invalid()), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Ostrel::linesetRefusal(c.lineset).value_or(""), c.reason) << c.lineset.name;
}

TEST(FiringLinesets, DropsTheRefusedAndKeepsTheOrder)
{
    auto settings = boost::make_shared<Settings>();
    settings->linesets = {withMode("a", "CNT"), withMode("broken", "CNT\r\n"), lineset("b", weekly(1, 9, 0)),
                          lineset("negative", weekly(1, 9, -1)), withMode("c", "REC")};
    std::vector<std::string> refused;
    const boost::shared_ptr<const Settings> firing = Ostrel::firingLinesets(
        settings,
        [&](const LinesetSettings& l, const std::string& reason) { refused.push_back(l.name + ": " + reason); });
    std::vector<std::string> names;
    for (const LinesetSettings& l : firing->linesets)
        names.push_back(l.name);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(settings->linesets.size(), 5u) << "the loaded settings stay whole";
    // Each refused lineset is told once, in order, with its reason.
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[0], "broken: its mode contains a line break");
    EXPECT_EQ(refused[1].rfind("negative: ", 0), 0u) << refused[1];
}

TEST(FiringLinesets, SettingsWithoutARefusalAreSharedNotCopied)
{
    auto settings = boost::make_shared<Settings>();
    settings->linesets = {withMode("a", "CNT"), lineset("b", invalid())};
    EXPECT_EQ(Ostrel::firingLinesets(settings), settings);
    const auto empty = boost::make_shared<const Settings>();
    EXPECT_EQ(Ostrel::firingLinesets(empty), empty);
}

}  // namespace
