// Loading and saving the settings against the real registry key.

#include "Ostrel/settings/Settings.h"

#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>

#include "Ostrel/settings_registry/SettingsRegistry.h"
#include "registry/Reg.h"
#include "support/RegistryFixture.h"

using namespace Ostrel;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;
using Lines = std::vector<std::int32_t>;

namespace {

class SettingsLoadTest : public RegistryFixture {};

std::string dump(const Settings& s)
{
    std::ostringstream os;
    s.print(os);
    return os.str();
}

TEST_F(SettingsLoadTest, NoKeyOrNoCountGivesNoLinesets)
{
    EXPECT_TRUE(loadSettings()->linesets.empty());
    EXPECT_EQ(dump(*loadSettings()), "Settings:\nNo linesets\n\n");

    setDword(L"1", L"Interval", 5);  // the key exists now, Count is missing
    EXPECT_TRUE(loadSettings()->linesets.empty());
    setDword(L"", L"Count", 0);
    EXPECT_TRUE(loadSettings()->linesets.empty());
}

// The configuration is in the 32-bit view; a key of the same name in the
// 64-bit view is another key, which the loader never reads.
TEST_F(SettingsLoadTest, OnlyThe32BitViewIsRead)
{
    const REGSAM otherView = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
    {
        Reg::create(HKEY_LOCAL_MACHINE, configurationKeyName(L""), otherView).write(L"Count", std::int32_t(1));
        Reg::create(HKEY_LOCAL_MACHINE, configurationKeyName(L"1"), otherView).write(L"Name", L"64-bit view");
    }
    EXPECT_TRUE(loadSettings()->linesets.empty());

    setDword(L"", L"Count", 1);
    setString(L"1", L"Name", L"32-bit view");
    const auto loaded = loadSettings();
    ASSERT_EQ(loaded->linesets.size(), 1u);
    EXPECT_EQ(loaded->linesets[0].name, "32-bit view");
    deleteConfigurationKey(L"", KEY_WOW64_64KEY);
}

TEST_F(SettingsLoadTest, AMissingSubkeyEndsTheList)
{
    setDword(L"", L"Count", 3);
    setString(L"1", L"Name", L"first");
    setString(L"3", L"Name", L"third");
    auto s = loadSettings();
    ASSERT_EQ(s->linesets.size(), 1u);
    EXPECT_EQ(s->linesets[0].name, "first");
}

TEST_F(SettingsLoadTest, CountIsUnsignedSoAHugeCountReadsUpToTheFirstGap)
{
    setDword(L"", L"Count", 0xFFFFFFFF);
    setString(L"1", L"Name", L"a");
    setString(L"2", L"Name", L"b");
    EXPECT_EQ(loadSettings()->linesets.size(), 2u);
}

TEST_F(SettingsLoadTest, ASubkeyWithoutValuesTakesEveryDefault)
{
    setDword(L"", L"Count", 1);
    Reg::create(HKEY_LOCAL_MACHINE, configurationKeyName(L"1"), KEY_ALL_ACCESS | settingsKeyView);
    auto s = loadSettings();
    ASSERT_EQ(s->linesets.size(), 1u);
    const LinesetSettings& l = s->linesets[0];
    EXPECT_EQ(l.name, "");
    EXPECT_EQ(l.mode, "CNT");
    EXPECT_EQ(l.interval, seconds(30));
    EXPECT_TRUE(l.lines.empty());
    EXPECT_EQ(l.schedule.scheduleMode, Invalid);
    EXPECT_EQ(l.schedule.dailyHour, 0);
    EXPECT_EQ(l.schedule.dailyMinute, 0);
    EXPECT_EQ(l.schedule.weeklyHour, 0);
    EXPECT_EQ(l.schedule.weeklyMinute, 0);
    EXPECT_EQ(l.schedule.weeklyWeekday, boost::date_time::Sunday);
    EXPECT_EQ(l.schedule.periodicHours, 0);
    EXPECT_EQ(l.schedule.periodicMinutes, 30);
    EXPECT_EQ(l.schedule.periodicStartTime, time_from_string("1970-01-01 00:00:00"));
}

TEST_F(SettingsLoadTest, LinesAreSplitAtCommasAndUnparsableItemsSkipped)
{
    const struct {
        const wchar_t* stored;
        Lines expected;
    } cases[] = {
        {L"1,2,,3", {1, 2, 3}},
        {L"1, 2", {1}},  // " 2" is not trimmed, so it is no number
        {L"5,x,-2,5", {5, -2, 5}},
        {L"+7,0012", {7, 12}},
        {L"2147483647,2147483648,-2147483648", {2147483647, -2147483647 - 1}},
        {L",,", {}},
        {L"", {}},
        // An invalid UTF-16 unit between digits makes the item no number; it
        // never joins the digits around it into another one.
        {L"1\xDC00"
         L"2,3",
         {3}},
        {L"1\xD800"
         L"2,3",
         {3}},
        {L"4,\xD800,5", {4, 5}},
        {L"6\r\n,7", {7}},
    };
    setDword(L"", L"Count", 1);
    for (const auto& c : cases) {
        setString(L"1", L"Lines", c.stored);
        auto s = loadSettings();
        ASSERT_EQ(s->linesets.size(), 1u);
        EXPECT_EQ(s->linesets[0].lines, c.expected) << std::string(c.stored, c.stored + wcslen(c.stored));
    }
}

TEST_F(SettingsLoadTest, ValuesAreConvertedAsStored)
{
    setDword(L"", L"Count", 1);
    setDword(L"1", L"Interval", 0xFFFFFFFF);
    setDword(L"1", L"ScheduleMode", 7);
    setDword(L"1", L"WeeklyWeekday", 0);
    setDword(L"1", L"DailyHour", 0xFFFFFFFE);
    setString(L"1", L"Name", L"Nacht \u00fcber");
    setString(L"1", L"LineMode", L"REC");
    setString(L"1", L"PeriodicStartTime", L"2014-05-01T06:30:00");
    const LinesetSettings l = loadSettings()->linesets.at(0);
    EXPECT_EQ(l.interval, seconds(-1));
    EXPECT_EQ(l.schedule.scheduleMode, Invalid);
    EXPECT_EQ(l.schedule.weeklyWeekday, boost::date_time::Monday);
    EXPECT_EQ(l.schedule.dailyHour, -2);
    EXPECT_EQ(l.name,
              "Nacht \xc3\xbc"
              "ber");
    EXPECT_EQ(l.mode, "REC");
    EXPECT_EQ(l.schedule.periodicStartTime, time_from_string("2014-05-01 06:30:00"));
}

TEST_F(SettingsLoadTest, ScheduleModeCodes)
{
    const struct {
        std::uint32_t stored;
        ScheduleMode expected;
    } cases[] = {
        {0, Daily}, {1, Weekly}, {2, Periodic}, {3, Invalid}, {100, Invalid}, {0xFFFFFFFF, Invalid},
    };
    setDword(L"", L"Count", 1);
    for (const auto& c : cases) {
        setDword(L"1", L"ScheduleMode", c.stored);
        EXPECT_EQ(loadSettings()->linesets.at(0).schedule.scheduleMode, c.expected) << c.stored;
    }
}

LinesetSettings lineset(const char* name, ScheduleMode mode)
{
    LinesetSettings l;
    l.name = name;
    l.mode =
        "M\xc3\xa9"
        "1";
    l.interval = seconds(95);
    l.lines = {3, 1, -12, 3};
    l.schedule.scheduleMode = mode;
    l.schedule.dailyHour = 7;
    l.schedule.dailyMinute = 5;
    l.schedule.weeklyHour = 9;
    l.schedule.weeklyMinute = 30;
    l.schedule.weeklyWeekday = boost::date_time::Saturday;
    l.schedule.periodicHours = 1;
    l.schedule.periodicMinutes = 45;
    l.schedule.periodicStartTime = time_from_string("2020-02-29 23:59:58.250");
    return l;
}

TEST_F(SettingsLoadTest, SaveThenLoadGivesEqualSettings)
{
    auto saved = boost::make_shared<Settings>();
    saved->linesets = {lineset("daily", Daily), lineset("weekly", Weekly), lineset("periodic", Periodic),
                       lineset("invalid", Invalid), LinesetSettings()};
    saved->linesets.back().schedule.periodicStartTime = boost::posix_time::from_time_t(0);
    saveSettings(saved);
    auto loaded = loadSettings();
    EXPECT_EQ(*loaded, *saved);
    // Every field survives, not only the compared ones.
    for (std::size_t i = 0; i < saved->linesets.size(); ++i) {
        const ScheduleSettings& a = saved->linesets[i].schedule;
        const ScheduleSettings& b = loaded->linesets[i].schedule;
        EXPECT_EQ(a.dailyHour, b.dailyHour);
        EXPECT_EQ(a.weeklyWeekday, b.weeklyWeekday);
        EXPECT_EQ(a.periodicStartTime, b.periodicStartTime);
    }
    EXPECT_EQ(dump(*loaded), dump(*saved));
}

TEST_F(SettingsLoadTest, SavingFewerLinesetsLeavesTheSubkeysBeyondCountInPlace)
{
    auto two = boost::make_shared<Settings>();
    two->linesets = {lineset("a", Daily), lineset("b", Daily)};
    saveSettings(two);
    auto one = boost::make_shared<Settings>();
    one->linesets = {lineset("c", Daily)};
    saveSettings(one);
    EXPECT_EQ(*loadSettings(), *one);
    EXPECT_NO_THROW(Reg::open(HKEY_LOCAL_MACHINE, configurationKeyName(L"2"), KEY_READ | settingsKeyView));
}

// A read of the settings remembers the values of a lineset subkey that has
// not been written for a while and takes them from memory while the key's
// last write time stays the same: an edit, a deleted value and a subkey
// deleted and created again must still be read afresh, and the untouched
// lineset read as before.
TEST_F(SettingsLoadTest, RememberedLinesetsAreReadAfreshOnceEdited)
{
    auto saved = boost::make_shared<Settings>();
    saved->linesets = {lineset("kept", Daily), lineset("renamed", Weekly), lineset("shortened", Periodic),
                       lineset("replaced", Daily)};
    saveSettings(saved);
    // Longer than a subkey must stay unwritten before its values are
    // remembered; the first read after it remembers them, the second uses them.
    Sleep(2500);
    ASSERT_EQ(*loadSettings(), *saved);
    ASSERT_EQ(*loadSettings(), *saved);

    setString(L"2", L"Name", L"Weekend");
    saved->linesets[1].name = "Weekend";
    HKEY opened;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, configurationKeyName(L"3").c_str(), 0, KEY_SET_VALUE | settingsKeyView,
                            &opened),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(RegKey(opened).get(), L"Lines"), ERROR_SUCCESS);
    saved->linesets[2].lines.clear();
    deleteConfigurationKey(L"4");
    setString(L"4", L"Name", L"new");
    saved->linesets[3] = LinesetSettings();
    saved->linesets[3].name = "new";
    saved->linesets[3].mode = "CNT";  // the defaults of the missing values
    saved->linesets[3].interval = seconds(30);
    EXPECT_EQ(dump(*loadSettings()), dump(*saved));
    // Once the edits have settled too, their new times tell the memories
    // made before them apart.
    Sleep(2500);
    EXPECT_EQ(dump(*loadSettings()), dump(*saved));
    EXPECT_EQ(dump(*loadSettings()), dump(*saved));
}

}  // namespace

// The backup wait, read at start: the stored milliseconds from the
// program's own wait up to ten minutes; anything else, and no key, gives
// the program's own.
TEST_F(SettingsLoadTest, TheBackupWaitOnlyLengthensTheProgramsOwn)
{
    const boost::chrono::milliseconds own(2000);
    EXPECT_EQ(Ostrel::backupWaitSetting(own), own) << "no key";
    setDword(L"", L"Count", 0);
    EXPECT_EQ(Ostrel::backupWaitSetting(own), own) << "no value";
    struct Case {
        std::uint32_t stored;
        std::int64_t expected;
    };
    for (const Case& c : {Case{5000, 5000}, Case{2000, 2000}, Case{600000, 600000}, Case{1999, 2000}, Case{0, 2000},
                          Case{600001, 2000}, Case{0xFFFFFFFF, 2000}}) {
        setDword(L"", Ostrel::backupWaitValue, c.stored);
        EXPECT_EQ(Ostrel::backupWaitSetting(own).count(), c.expected) << c.stored;
    }
    // A text is data like any other: "5" with its NUL is the number 53.
    setString(L"", Ostrel::backupWaitValue, L"5");
    EXPECT_EQ(Ostrel::backupWaitSetting(own), own);
}
