// What "/status" prints and concludes, from the real registry, logger.ini
// and backup file, at a moment the test sets; and that it changes nothing
// and waits for no file that another process holds.

#include "Ostrel/program/Status.h"

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Ostrel/settings/Settings.h"
#include "Ostrel/settings_registry/SettingsRegistry.h"
#include "support/EndToEnd.h"
#include "support/FileHolder.h"

using namespace Ostrel;
using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using testing::HasSubstr;

namespace {

const ptime start = time_from_string("2024-03-04 06:00:00");  // a Monday

LinesetSettings lineset(const std::string& name, std::vector<std::int32_t> lines, const std::string& mode,
                        int intervalMinutes, const ScheduleSettings& schedule)
{
    LinesetSettings l;
    l.name = name;
    l.lines = std::move(lines);
    l.mode = mode;
    l.interval = boost::posix_time::minutes(intervalMinutes);
    l.schedule = schedule;
    return l;
}

ScheduleSettings everyMinutes(int minutes)
{
    ScheduleSettings s;
    s.scheduleMode = Periodic;
    s.periodicMinutes = minutes;
    s.periodicStartTime = start;
    return s;
}

ScheduleSettings dailyAt(int hour, int minute)
{
    ScheduleSettings s;
    s.scheduleMode = Daily;
    s.dailyHour = hour;
    s.dailyMinute = minute;
    return s;
}

// Every ten minutes from 06:00, five minutes long.
const LinesetSettings morning = lineset("Morning", {1, 2}, "OFF", 5, everyMinutes(10));
// 23:30 for an hour, across midnight.
const LinesetSettings evening = lineset("Evening", {3}, "REC", 60, dailyAt(23, 30));
// Never fired by the engine: a zero period.
const LinesetSettings broken = lineset("Broken", {2}, "OFF", 5, everyMinutes(0));

const std::string toggledIni = loggerIni("OFF", "OFF", "VOX");
const std::string morningRecords = declaration + record("Line01", "OFF", "REC") + record("Line02", "OFF", "VOX");

// What Morning's records print, and Morning at 10:03, inside its interval.
const std::string morningRecordLines =
    "Backup file {backup}: 2 records\n"
    "  Line 1: current OFF, saved REC\n"
    "  Line 2: current OFF, saved VOX\n";
const std::string morningAt1003 =
    "Toggled now (2024-Mar-04 10:03:00):\n"
    "  lineset #0 Morning [1, 2]: mode OFF since 2024-Mar-04 10:00:00, revert due 2024-Mar-04 10:05:00\n"
    "Next event: 2024-Mar-04 10:05:00, lineset #0 Morning [1, 2] reverts\n";
const std::string allWell =
    "OK: the service runs and every line in the backup belongs to a lineset inside its interval\n";

const ServiceState running{ServiceState::running, 42};

struct StatusCase {
    const char* name;
    std::vector<LinesetSettings> linesets;
    std::string ini;     // empty: no logger.ini
    std::string backup;  // empty: no backup file
    ServiceState service;
    const char* now;
    std::string expected;  // "{backup}" stands for the backup file's path
    bool ok;
};

void PrintTo(const StatusCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string replaced(std::string text, const std::string& placeholder, const std::string& by)
{
    for (std::size_t at; (at = text.find(placeholder)) != std::string::npos;)
        text.replace(at, placeholder.size(), by);
    return text;
}

class StatusFixture : public ::testing::Test, protected ScopedConfigurationKey, protected ScopedLoggerIni {
protected:
    void configure(const std::vector<LinesetSettings>& linesets)
    {
        const auto settings = boost::make_shared<Settings>();
        settings->linesets = linesets;
        saveSettings(settings);
    }

    // The status at `now` for a service in `state`: its output and verdict.
    std::pair<std::string, bool> status(const std::function<ServiceState()>& askManager, const char* now)
    {
        std::ostringstream out;
        const bool ok = printStatus(askManager, time_from_string(now), files(), out);
        return {out.str(), ok};
    }
};

class Status : public StatusFixture, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(Status, PrintsWhatIsSwitchedAndWhetherTheRunningTogglesExplainIt)
{
    const StatusCase& c = GetParam();
    configure(c.linesets);
    if (!c.ini.empty())
        setIni(c.ini);
    if (!c.backup.empty())
        setBackup(c.backup);

    const auto result = status([&c] { return c.service; }, c.now);
    EXPECT_EQ(result.first, replaced(c.expected, "{backup}", backupPath));
    EXPECT_EQ(result.second, c.ok);

    // Nothing changed, nothing set aside, no file made.
    EXPECT_EQ(fileExists(iniPath), !c.ini.empty());
    if (!c.ini.empty()) {
        EXPECT_EQ(ini(), c.ini);
    }
    EXPECT_EQ(fileExists(backupPath), !c.backup.empty());
    if (!c.backup.empty()) {
        EXPECT_EQ(backup(), c.backup);
    }
    EXPECT_FALSE(fileExists(backupPath + ".tmp"));
    EXPECT_THAT(damaged(), testing::IsEmpty());
}

const StatusCase statusCases[] = {
    {"AToggleInsideItsInterval",
     {morning, evening},
     toggledIni,
     morningRecords,
     running,
     "2024-03-04 10:03:00",
     "Service: running, process 42\n" + morningRecordLines + morningAt1003 + allWell,
     true},
    // At the revert's due moment the interval is over: what the backup
    // still holds then is a revert that has not happened.
    {"RecordsLeftOnceTheIntervalIsOver",
     {morning, evening},
     toggledIni,
     morningRecords,
     running,
     "2024-03-04 10:05:00",
     "Service: running, process 42\n" + morningRecordLines +
         "Toggled now (2024-Mar-04 10:05:00): no lineset is inside its interval\n"
         "Next event: 2024-Mar-04 10:10:00, lineset #0 Morning [1, 2] switches to OFF\n"
         "Not OK: line 1 is in the backup, but no lineset inside its interval switches it\n"
         "Not OK: line 2 is in the backup, but no lineset inside its interval switches it\n",
     false},
    {"AnIntervalAcrossMidnight",
     {morning, evening},
     loggerIni("REC", "VOX", "REC"),
     declaration + record("Line03", "REC", "VOX"),
     running,
     "2024-03-05 00:02:00",
     "Service: running, process 42\n"
     "Backup file {backup}: 1 record\n"
     "  Line 3: current REC, saved VOX\n"
     "Toggled now (2024-Mar-05 00:02:00):\n"
     "  lineset #0 Morning [1, 2]: mode OFF since 2024-Mar-05 00:00:00, revert due 2024-Mar-05 00:05:00\n"
     "  lineset #1 Evening [3]: mode REC since 2024-Mar-04 23:30:00, revert due 2024-Mar-05 00:30:00\n"
     "Next event: 2024-Mar-05 00:05:00, lineset #0 Morning [1, 2] reverts\n" +
         allWell,
     true},
    {"AStoppedServiceWithNothingSwitched",
     {evening},
     toggledIni,
     "",
     {ServiceState::stopped, 0},
     "2024-03-04 10:03:00",
     "Service: stopped\n"
     "Backup file {backup}: no line is switched\n"
     "Toggled now (2024-Mar-04 10:03:00): no lineset is inside its interval\n"
     "Next event: 2024-Mar-04 23:30:00, lineset #0 Evening [3] switches to REC\n"
     "Not OK: the service is not running (stopped)\n",
     false},
    {"NotInstalled",
     {},
     "",
     "",
     {ServiceState::notInstalled, 0},
     "2024-03-04 10:03:00",
     "Service: not installed\n"
     "Backup file {backup}: no line is switched\n"
     "Toggled now (2024-Mar-04 10:03:00): no lineset is inside its interval\n"
     "Next event: none\n"
     "Not OK: the service is not running (not installed)\n",
     false},
    {"AStopPendingWithItsProcess",
     {morning},
     toggledIni,
     morningRecords,
     {ServiceState::stopPending, 7},
     "2024-03-04 10:03:00",
     "Service: stop pending, process 7\n" + morningRecordLines + morningAt1003 +
         "Not OK: the service is not running (stop pending, process 7)\n",
     false},
    // A lineset the engine refuses never toggles, so it explains nothing,
    // even inside what would be its interval.
    {"RecordsNeitherLoggerIniNorTheSettingsExplain",
     {broken},
     "[Line01]\r\nName=Studio A\r\n[Line03]\r\nMode=VOX\r\n",
     declaration + record("Line01", "OFF", "REC") + record("Line02", "OFF", "VOX") + record("Stray", "OFF", "REC"),
     running,
     "2024-03-04 10:03:00",
     "Service: running, process 42\n"
     "Backup file {backup}: 3 records\n"
     "  Line 1: current unknown (no Mode in Line01), saved REC\n"
     "  Line 2: current unknown (no section Line02 in logger.ini), saved VOX\n"
     "  Stray: not a line's record\n"
     "Toggled now (2024-Mar-04 10:03:00): no lineset is inside its interval\n"
     "Next event: none\n"
     "Not OK: line 1 is in the backup, but no lineset inside its interval switches it\n"
     "Not OK: line 2 is in the backup, but no lineset inside its interval switches it\n"
     "Not OK: the backup holds Stray, which names no line\n",
     false},
    {"NoLoggerIni",
     {morning},
     "",
     declaration + "<Line01><current_mode>OFF</current_mode></Line01>",
     running,
     "2024-03-04 10:03:00",
     "Service: running, process 42\n"
     "Backup file {backup}: 1 record\n"
     "  Line 1: current unknown (no logger.ini), saved none\n" +
         morningAt1003 + allWell,
     true},
};

INSTANTIATE_TEST_SUITE_P(Cases, Status, ::testing::ValuesIn(statusCases),
                         [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST_F(StatusFixture, AServiceManagerThatCannotBeAskedIsNotOk)
{
    setIni(toggledIni);
    const auto result = status([]() -> ServiceState { throw std::runtime_error("OpenSCManager failed, error 5"); },
                               "2024-03-04 10:03:00");
    EXPECT_THAT(result.first, HasSubstr("Service: unknown, OpenSCManager failed, error 5\n"));
    EXPECT_THAT(result.first, HasSubstr("Not OK: the service manager can't tell whether the service runs\n"));
    EXPECT_FALSE(result.second);
}

// The service manager of this test's Wine prefix, asked for real: the
// fixture has removed any OstrelService.
TEST_F(StatusFixture, TheServiceManagerTellsOfAServiceThatIsNotInstalled)
{
    EXPECT_EQ(queryServiceState(L"OstrelService").kind, ServiceState::notInstalled);
    EXPECT_EQ(queryServiceState(L"OstrelService").processId, 0u);
}

TEST_F(StatusFixture, ADamagedBackupIsReportedAndLeftWhereItIs)
{
    configure({morning});
    setIni(toggledIni);
    const std::string damagedText = declaration + "<Line01><current_mode>OFF";
    setBackup(damagedText);
    const auto result = status([] { return running; }, "2024-03-04 10:03:00");
    EXPECT_THAT(result.first, HasSubstr("Backup file " + backupPath + ": can't be read: "));
    EXPECT_THAT(result.first, HasSubstr("Not OK: the backup file can't be read\n"));
    EXPECT_FALSE(result.second);
    EXPECT_EQ(backup(), damagedText);
    EXPECT_THAT(damaged(), testing::IsEmpty());
}

// A file that another process keeps locked is waited for a moment only;
// a shared lock held by a reader is no obstacle.
TEST_F(StatusFixture, FilesHeldByAnotherProcessAreReportedAfterAMoment)
{
    configure({morning});
    setIni(toggledIni);
    setBackup(morningRecords);
    struct Held {
        const char* lock;
        const std::string& path;
        std::string expected;
        bool ok;
    };
    const Held cases[] = {
        {"exclusive", iniPath, "  Line 1: current unknown (logger.ini can't be read: ", true},
        {"exclusive", backupPath, "Backup file " + backupPath + ": can't be read: ", false},
        {"shared", iniPath, "  Line 1: current OFF, saved REC\n", true},
        {"shared", backupPath, "  Line 1: current OFF, saved REC\n", true},
    };
    for (const Held& held : cases) {
        SCOPED_TRACE(std::string(held.lock) + " " + held.path);
        FileHolder other;
        other.require("open " + held.path);
        other.require(std::string("lock ") + held.lock);
        const DWORD begun = GetTickCount();
        const auto result = status([] { return running; }, "2024-03-04 10:03:00");
        // A generous bound that a wait without end would pass only by never
        // returning; the moment itself is a second.
        EXPECT_LT(GetTickCount() - begun, 15000u);
        EXPECT_THAT(result.first, HasSubstr(held.expected));
        EXPECT_EQ(result.second, held.ok) << result.first;
    }
    EXPECT_EQ(ini(), toggledIni);
    EXPECT_EQ(backup(), morningRecords);
}

}  // namespace
