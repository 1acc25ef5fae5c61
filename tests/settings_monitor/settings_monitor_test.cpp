// The settings monitor against the real registry key: which edits of the
// stored configuration count as a change.

#include "Ostrel/settings_registry/SettingsMonitor.h"

#include <functional>
#include <ostream>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>

#include "registry/Reg.h"
#include "support/RegistryFixture.h"
#include "support/SettingsSamples.h"

using namespace Ostrel;
using boost::posix_time::time_from_string;

namespace {

LinesetSettings linesetOf(const std::string& name, ScheduleMode mode, std::vector<std::int32_t> lines)
{
    LinesetSettings l;
    l.name = name;
    l.mode = "REC";
    l.interval = boost::posix_time::seconds(30);
    l.schedule = sampleSchedule(mode);
    l.lines = std::move(lines);
    return l;
}

// Four linesets, subkeys 1 to 4: daily, weekly, and two invalid ones.
boost::shared_ptr<const Settings> fourLinesets()
{
    auto s = boost::make_shared<Settings>();
    s->linesets = {linesetOf("Night", Daily, {1, 2}), linesetOf("Week", Weekly, {3}), linesetOf("Off", Invalid, {4}),
                   linesetOf("AlsoOff", Invalid, {5, 6})};
    return s;
}

// The settings key itself for an empty name, otherwise one of its subkeys;
// created when missing.
Reg subkey(const std::wstring& n)
{
    return Reg::create(HKEY_LOCAL_MACHINE, configurationKeyName(n), KEY_ALL_ACCESS | settingsKeyView);
}

class SettingsMonitorTest : public RegistryFixture {
protected:
    SettingsMonitor<Settings> monitor;

    // Stores the four linesets and makes what the loader reads of them the
    // settings in force.
    void startWithFourLinesets()
    {
        saveSettings(fourLinesets());
        // The second invalid lineset carries a stored mode that is no kind at all.
        subkey(L"4").write(L"ScheduleMode", 7);
        monitor.setCurrent(loadSettings());
    }
};

TEST_F(SettingsMonitorTest, AMonitorWithoutSettingsReportsAChange)
{
    EXPECT_TRUE(monitor.changed()) << "no key at all";
    saveSettings(fourLinesets());
    EXPECT_TRUE(monitor.changed());
    monitor.setCurrent(boost::shared_ptr<const Settings>());
    EXPECT_TRUE(monitor.changed()) << "an empty pointer is no settings";
}

TEST_F(SettingsMonitorTest, TheRegistryAsLoadedIsNoChangeAndAskingChangesNothing)
{
    startWithFourLinesets();
    EXPECT_FALSE(monitor.changed());
    EXPECT_FALSE(monitor.changed());
    saveSettings(loadSettings());  // the same values written again
    EXPECT_FALSE(monitor.changed());
}

TEST_F(SettingsMonitorTest, AChangeLastsUntilTheNewSettingsAreSet)
{
    startWithFourLinesets();
    subkey(L"1").write(L"Name", L"Morning");
    EXPECT_TRUE(monitor.changed());
    EXPECT_TRUE(monitor.changed());
    monitor.setCurrent(loadSettings());
    EXPECT_FALSE(monitor.changed());
}

struct EditCase {
    const char* name;
    std::function<void()> edit;
    bool changed;
};

void PrintTo(const EditCase& c, std::ostream* os)
{
    *os << c.name;
}

class SettingsMonitorEdit : public SettingsMonitorTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(SettingsMonitorEdit, OnlyWhatTheLoaderTakesCounts)
{
    startWithFourLinesets();
    ASSERT_FALSE(monitor.changed());
    GetParam().edit();
    EXPECT_EQ(monitor.changed(), GetParam().changed);
}

void swapSubkeys1And2()
{
    auto swapped = boost::make_shared<Settings>(*loadSettings());
    std::swap(swapped->linesets[0], swapped->linesets[1]);
    saveSettings(swapped);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, SettingsMonitorEdit,
    ::testing::Values(
        EditCase{"WeeklyHourOfADailyLineset", [] { subkey(L"1").write(L"WeeklyHour", 13); }, false},
        EditCase{"PeriodicStartOfADailyLineset",
                 [] { subkey(L"1").write(L"PeriodicStartTime", time_from_string("2030-01-01 00:00:00")); }, false},
        EditCase{"DailyMinuteOfAWeeklyLineset", [] { subkey(L"2").write(L"DailyMinute", 59); }, false},
        EditCase{"DailyFieldsOfAnInvalidLineset", [] { subkey(L"3").write(L"DailyHour", 23); }, false},
        EditCase{"AnotherModeNumberThatIsNoKind", [] { subkey(L"4").write(L"ScheduleMode", 9); }, false},
        EditCase{"DailyMinuteOfADailyLineset", [] { subkey(L"1").write(L"DailyMinute", 6); }, true},
        EditCase{"WeekdayOfAWeeklyLineset", [] { subkey(L"2").write(L"WeeklyWeekday", boost::date_time::Tuesday); },
                 true},
        EditCase{"ScheduleModeFromInvalidToDaily", [] { subkey(L"3").write(L"ScheduleMode", 0); }, true},
        EditCase{"LinesWithAnEmptyItem", [] { subkey(L"1").write(L"Lines", L"1,,2"); }, false},
        EditCase{"LinesWithTrailingComma", [] { subkey(L"1").write(L"Lines", L"1,2,"); }, false},
        EditCase{"LinesReordered", [] { subkey(L"1").write(L"Lines", L"2,1"); }, true},
        EditCase{"LinesWithABlankLoseALine", [] { subkey(L"1").write(L"Lines", L"1, 2"); }, true},
        EditCase{"LinesetName", [] { subkey(L"2").write(L"Name", L"Weekend"); }, true},
        EditCase{"LineMode", [] { subkey(L"2").write(L"LineMode", L"CNT"); }, true},
        EditCase{"Interval", [] { subkey(L"2").write(L"Interval", 31); }, true},
        EditCase{"SwappedSubkeys1And2", swapSubkeys1And2, true},
        EditCase{"SubkeyBeyondCount", [] { subkey(L"5").write(L"Name", L"unreached"); }, false},
        EditCase{"CountLowered", [] { subkey(L"").write(L"Count", 3); }, true},
        EditCase{"SubkeyWithinCountDeleted", [] { deleteConfigurationKey(L"3"); }, true},
        EditCase{"KeyDeleted", [] { deleteConfigurationKey(); }, true}));

}  // namespace
