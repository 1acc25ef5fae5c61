// The real OstrelService.exe in "/console" on bad input: registry values of
// the wrong type, a huge Count, garbage in Lines, schedules the scheduling
// code refuses, and a damaged backup file. The service stays up, takes the
// defaults, reports what it refuses or cannot use, and toggles no more
// often than its settings ask.

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "Ostrel/modebackup/ModeBackup.h"
#include "reliability/ReliabilityFixture.h"

namespace {

using namespace std::string_literals;
using std::chrono::milliseconds;
using testing::HasSubstr;
using testing::Not;

const milliseconds startTimeout(60000);

// Long enough for a lineset that fired on every pass to toggle a few
// dozen times.
const milliseconds runFor(6000);

class BadRegistryTest : public ReliabilityFixture {};

TEST_F(BadRegistryTest, TheServiceStaysUpTakesTheDefaultsAndRefusesWhatCannotBeScheduled)
{
    setIni(eightLineIni());
    const DWORD huge = 0xFFFFFFFF;
    setDword(L"", L"Count", huge);

    // 1: every value of the wrong type. Numbers stored as longer strings or
    // binaries read as their defaults; the start time stored as a number is
    // no date. So: every 30 minutes from the epoch, interval 30 s.
    setDword(L"1", L"Name", 0x00410042);  // read as the text "BA"
    setString(L"1", L"Interval", L"20 seconds");
    setDword(L"1", L"ScheduleMode", 2);
    const std::uint8_t eightBytes[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    setRaw(L"1", L"PeriodicHours", REG_BINARY, eightBytes, sizeof eightBytes);
    setString(L"1", L"PeriodicMinutes", L"1 minute");
    setDword(L"1", L"PeriodicStartTime", 5);
    setString(L"1", L"Lines", L"1");

    // 2: garbage in Lines; what converts stays, in order. Daily, 23:59 of
    // yesterday's date plus a day: never within the run.
    setDword(L"2", L"ScheduleMode", 0);
    setDword(L"2", L"DailyHour", 47);
    setString(L"2", L"Lines", L"2,x,,-0,3.5, 4,99999999999,+5,0x6,;");

    // 3: a zero period, which would fire on every pass.
    setDword(L"3", L"ScheduleMode", 2);
    setDword(L"3", L"PeriodicHours", 0);
    setDword(L"3", L"PeriodicMinutes", 0);
    setString(L"3", L"PeriodicStartTime", L"2026-01-01T00:00:00");
    setDword(L"3", L"Interval", 0);
    setString(L"3", L"Lines", L"3");

    // 4: negative hours.
    setDword(L"4", L"ScheduleMode", 2);
    setDword(L"4", L"PeriodicHours", DWORD(-1));
    setDword(L"4", L"PeriodicMinutes", 1);
    setString(L"4", L"PeriodicStartTime", L"2026-01-01T00:00:00");
    setDword(L"4", L"Interval", 0);
    setString(L"4", L"Lines", L"4");

    // 5: a start time that is not a date: the epoch, so once a minute on
    // the minute, with a negative interval (taken as none).
    setDword(L"5", L"ScheduleMode", 2);
    setDword(L"5", L"PeriodicMinutes", 1);
    setString(L"5", L"PeriodicStartTime", L"next Tuesday");
    setDword(L"5", L"Interval", DWORD(-5));
    setString(L"5", L"Lines", L"5");

    // 6: a negative daily minute and a weekday out of range.
    setDword(L"6", L"ScheduleMode", 0);
    setDword(L"6", L"DailyMinute", DWORD(-30));
    setDword(L"6", L"WeeklyWeekday", 9);
    setString(L"6", L"Lines", L"6");
    // Subkey 7 is missing: the list ends at 6 whatever Count says.
    setDword(L"8", L"ScheduleMode", 2);

    ServiceProcess service;
    ASSERT_TRUE(service.waitForOutput("Settings:", startTimeout)) << service.output();
    std::this_thread::sleep_for(runFor);
    EXPECT_TRUE(service.running()) << service.output();
    const std::string out = service.output();
    service.kill();

    EXPECT_THAT(out, HasSubstr("-- Lineset #0:\nname: BA\nmode: CNT\ninterval: 00:00:30\n"
                               "schedule: Every 0h 30m from 1970-Jan-01 00:00:00\nlines: 1\n"));
    EXPECT_THAT(out, HasSubstr("schedule: Daily, 47:00\nlines: 2, 0, 5\n"));
    EXPECT_THAT(out, HasSubstr("schedule: Every 0h 0m from 2026-Jan-01 00:00:00\nlines: 3\n"));
    EXPECT_THAT(out, HasSubstr("schedule: Every -1h 1m from 2026-Jan-01 00:00:00\nlines: 4\n"));
    EXPECT_THAT(out, HasSubstr("interval: -00:00:05\nschedule: Every 0h 1m from 1970-Jan-01 00:00:00\nlines: 5\n"));
    EXPECT_THAT(out, HasSubstr("-- Lineset #5:"));
    EXPECT_THAT(out, Not(HasSubstr("-- Lineset #6:")));

    EXPECT_THAT(out, HasSubstr("[3] is never toggled: zero period"));
    EXPECT_THAT(out, HasSubstr("[4] is never toggled: negative period (hours -1, minutes 1)"));
    EXPECT_THAT(out, HasSubstr("[6] is never toggled: negative daily hour or minute (hour 0, minute -30)"));
    EXPECT_EQ(service.count("is never toggled"), 3u) << out;

    // What is refused never toggles; what is accepted toggles at most once
    // in the run, as its period asks.
    EXPECT_EQ(service.count("Setting [3]"), 0u);
    EXPECT_EQ(service.count("Setting [4]"), 0u);
    EXPECT_EQ(service.count("Setting [6]"), 0u);
    EXPECT_EQ(service.count("Setting [2, 0, 5]"), 0u);
    EXPECT_LE(service.count("Setting [1]"), 1u);
    EXPECT_LE(service.count("Setting [5]"), 1u);
}

// A backup file left damaged: the service starts, reverts the records it
// can use and reports the others. logger.ini shows CNT on lines 1 to 4 as
// a killed run would have left them.
struct DamagedBackup {
    const char* what;
    const char* xml;
    std::vector<int> reverted;  // lines whose original mode comes back
    const char* reported;       // text of the ERROR about the rest
    bool keptAside;             // the file is set aside as damaged
};

class DamagedBackupTest : public ReliabilityFixture, public testing::WithParamInterface<DamagedBackup> {};

TEST_P(DamagedBackupTest, TheServiceStartsRevertsWhatItCanAndReportsTheRest)
{
    const DamagedBackup& c = GetParam();
    const std::string original = eightLineIni();
    setIni(original);
    const auto originalModes = iniModes();
    for (int line = 1; line <= 4; ++line)
        Ostrel::setLineModeInLoggerINI(line, "CNT", iniPath);
    setBackup(std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") + c.xml);

    ServiceProcess service;
    ASSERT_TRUE(service.waitForOutput("Settings:", startTimeout)) << service.output();
    EXPECT_TRUE(service.running());
    const std::string out = service.output();
    service.kill();

    EXPECT_THAT(out, HasSubstr(c.reported));
    const auto modes = iniModes();
    for (int line = 1; line <= 8; ++line) {
        const std::string section = Ostrel::lineSectionName(line);
        const bool reverted = line > 4 || std::find(c.reverted.begin(), c.reverted.end(), line) != c.reverted.end();
        EXPECT_EQ(modes.at(section), reverted ? originalModes.at(section) : "CNT") << section;
    }
    EXPECT_EQ(damaged().size(), c.keptAside ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Backups, DamagedBackupTest,
    testing::Values(DamagedBackup{"truncated",
                                  "<Line01><current_mode>CNT</current_mode><saved_mode>REC</saved_mode></Line01>"
                                  "<Line02><current_mode>CNT</current_mode><saved_mo",
                                  {},
                                  "Backup file damaged, kept as",
                                  true},
                    DamagedBackup{"unknown element names",
                                  "<Bogus><current_mode>CNT</current_mode><saved_mode>REC</saved_mode></Bogus>"
                                  "<Line2><current_mode>CNT</current_mode><saved_mode>VOX</saved_mode></Line2>"
                                  "<Line02><current_mode>CNT</current_mode><saved_mode>VOX</saved_mode></Line02>",
                                  {2},
                                  "Backup record Bogus is no line with a saved mode",
                                  false},
                    DamagedBackup{
                        "an element without saved_mode",
                        "<Line03><current_mode>CNT</current_mode></Line03>"
                        "<Line04><current_mode>CNT</current_mode><saved_mode>ALWAYS_RECORDING</saved_mode></Line04>",
                        {4},
                        "Backup record Line03 is no line with a saved mode",
                        false}),
    [](const testing::TestParamInfo<DamagedBackup>& info) {
        std::string name;
        for (const char* p = info.param.what; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p)))
                name += *p;
        return name;
    });

class BackupBytesTest : public ReliabilityFixture {};

// Modes XML cannot carry, recorded as a run killed while its lines were
// switched leaves them: the next start reads the backup and puts every
// mode back, byte for byte.
TEST_F(BackupBytesTest, ModesXmlCannotCarryComeBackAtTheNextStart)
{
    const std::vector<std::string> modes = {"A\0B"s, "REC\x01\x1F"s, "caf\xE9"s, "\xED\xA0\x80"s};
    std::string original;
    for (std::size_t i = 0; i < modes.size(); ++i)
        original += "[" + Ostrel::lineSectionName(static_cast<int>(i) + 1) + "]\r\nMode=" + modes[i] + "\r\n";
    setIni(original);
    Ostrel::ModeBackup killedRun(files());
    for (std::size_t i = 0; i < modes.size(); ++i)
        killedRun.setLineMode(static_cast<int>(i) + 1, "CNT");
    EXPECT_THAT(readFileBytes(backupPath), HasSubstr("escape=\"percent\""));

    ServiceProcess service;
    ASSERT_TRUE(service.waitForOutput("Settings:", startTimeout)) << service.output();
    const std::string out = service.output();
    service.kill();
    EXPECT_THAT(out, HasSubstr("Reverting Line01, Line02, Line03, Line04"));
    EXPECT_THAT(out, Not(HasSubstr("damaged")));
    EXPECT_EQ(readFileBytes(iniPath), original);
}

}  // namespace
