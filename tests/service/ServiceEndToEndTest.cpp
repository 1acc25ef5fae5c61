// The real OstrelService.exe from outside, as a user runs it: "/console" in
// a console of its own, the other arguments, and the service installed with
// "/install", driven through Wine's service manager, killed, and removed
// with "/remove". The configuration goes into the real registry key,
// logger.ini and the backup file are the real ones in the Windows directory.
//
// A service process has no standard output, so under the service manager
// the tests watch logger.ini, the backup file and the reported status; the
// messages and their order are checked in console mode, which runs the same
// engine. OstrelService is auto-start: it is stopped and deleted before and
// after every test, so that no later Wine session starts it again.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/optional.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/EndToEnd.h"
#include "support/FileHolder.h"
#include "support/LiveProcess.h"
#include "support/Occurrences.h"
#include "support/RunProgram.h"
#include "support/SetPhaseHold.h"
#include "support/ZoneOffset.h"
#include "utf/Utf.h"
#include "windows_service/ServiceHandle.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;

namespace {

const char installed[] = "OstrelService is installed.\n";
const char removed[] = "OstrelService is removed.\n";
// What "/install" adds where the service manager does not know the
// failure-actions flag (Wine): ERROR_INVALID_LEVEL.
const char flagRefused[] = "ChangeServiceConfig2 (failure actions flag) failed, GetLastError: 0x0000007c\n";

// The program as built, for the runs in the foreground.
std::wstring builtProgram()
{
    return programDirectory() + L"\\" OSTREL_SERVICE_PROGRAM;
}

// The installed copy lives in a folder with a blank in its name: the
// service manager would start a program "...\ostrel" for an unquoted path.
std::wstring installDirectory()
{
    return programDirectory() + L"\\ostrel service";
}

std::wstring installedProgram()
{
    return installDirectory() + L"\\" OSTREL_SERVICE_PROGRAM;
}

// --- log lines ---------------------------------------------------------------

std::string escapeRegex(const std::string& text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// A log line of this level with exactly this message.
std::string logged(const char* level, const std::string& message)
{
    return std::string(": ") + level + ": \\[[^\\]]*\\] : " + escapeRegex(message) + "$";
}

// The index of the first line matching the pattern, or -1.
int lineIndex(const std::vector<std::string>& lines, const std::string& pattern)
{
    const std::regex expression(pattern);
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (std::regex_search(lines[i], expression))
            return int(i);
    return -1;
}

int lineCount(const std::vector<std::string>& lines, const std::string& pattern)
{
    const std::regex expression(pattern);
    return int(std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return std::regex_search(line, expression); }));
}

// --- processes ----------------------------------------------------------------

ProgramResult runInstalled(const std::wstring& action)
{
    return runProgram(L"\"" + installedProgram() + L"\" " + action, timeouts::state);
}

// The engine in the foreground, in a console of its own without a window,
// as it would run in a command prompt.
std::wstring consoleCommand(const std::wstring& arguments = L"/console")
{
    return L"\"" + builtProgram() + L"\" " + arguments;
}

BOOL WINAPI ignoreConsoleControl(DWORD)
{
    return TRUE;
}

// Presses Ctrl+C in the console of the process: this test program joins
// that console for the moment of the event (it has none of its own) and
// ignores the event itself. Wine delivers only CTRL_C_EVENT to a whole
// console; CTRL_BREAK_EVENT fails there with ERROR_INVALID_HANDLE. Under
// load Wine now and then refuses the attach or the event with that same
// error although the console is there; nothing was sent then, so the press
// is tried again. The last error stays for the caller's message.
bool pressCtrlC(DWORD processId)
{
    static const BOOL ignoring = SetConsoleCtrlHandler(ignoreConsoleControl, TRUE);
    if (!ignoring)
        return false;
    DWORD error = 0;
    const bool sent = eventually(
        [&] {
            FreeConsole();
            BOOL pressed = AttachConsole(processId) && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            error = GetLastError();
            FreeConsole();
            return pressed != FALSE;
        },
        timeouts::state, 100);
    SetLastError(error);
    return sent;
}

// --- the engine in the foreground ------------------------------------------------

class ConsoleMode : public EndToEnd, public ::testing::WithParamInterface<const char*> {};

// A mode with trailing blanks is stored without them: the revert must still
// recognise the mode it wrote and put the old one back.
TEST_P(ConsoleMode, TogglesTheLinesOnTimeAndRevertsThem)
{
    const std::string mode = GetParam();
    configure({{L"Studios", L"3,1", utf::widen(mode), 2, consoleDue}});
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);

    ASSERT_TRUE(engine.waitForLine(logged("INFO", "Setting [3, 1] mode to " + mode), timeouts::toggle))
        << engine.text();
    const DWORD set = GetTickCount();
    EXPECT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"}, 1500)) << readFileBytes(iniPath);
    ASSERT_TRUE(engine.waitForLine(logged("INFO", "Reverting [3, 1]"), timeouts::state)) << engine.text();
    EXPECT_GE(GetTickCount() - set, 1500u) << "the mode stays for the interval of 2 s";
    EXPECT_TRUE(showsToggle(originalIni, {})) << readFileBytes(iniPath);

    const std::vector<std::string> lines = engine.lines();
    const int started = lineIndex(lines, logged("INFO", "Ostrel started"));
    const int dump = lineIndex(lines, "^Settings:$");
    EXPECT_EQ(started, 0) << engine.text();
    // The source file is named from the project's root, wherever it was built.
    EXPECT_THAT(lines.at(0), MatchesRegex("Ostrel/engine/Service\\.cpp\\(\\d+\\): INFO: .*"));
    EXPECT_GT(dump, started);
    EXPECT_GT(lineIndex(lines, "^name: Studios$"), dump);
    EXPECT_GT(lineIndex(lines, "^interval: 00:00:02$"), dump);
    EXPECT_GT(lineIndex(lines, "^lines: 3, 1$"), dump);
    EXPECT_GT(lineIndex(lines, "Setting \\[3, 1\\]"), dump);
    EXPECT_EQ(lineCount(lines, "Settings changed"), 0) << "never on the first pass";
    EXPECT_EQ(lineCount(lines, ": ERROR: "), 0) << engine.text();
}

// Configured once the engine runs: it is told of the change, and the toggle
// comes within a second of its moment.
TEST_F(EndToEnd, ConsoleTogglesALinesetConfiguredWhileItRunsOnTime)
{
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    ASSERT_TRUE(engine.waitForLine("^No linesets$", timeouts::state)) << engine.text();
    configure({{L"Studios", L"2", L"CNT", 1, consoleDue}});
    EXPECT_TRUE(engine.waitForLine(logged("INFO", "Setting [2] mode to CNT"), onTimeMilliseconds(consoleDue)))
        << engine.text();
    EXPECT_TRUE(showsToggle(originalIni, {})) << readFileBytes(iniPath);
}

INSTANTIATE_TEST_SUITE_P(Modes, ConsoleMode, ::testing::Values("CNT", "CNT \t "),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return info.index == 0 ? std::string("PlainMode") : std::string("TrailingBlanks");
                         });

// A configuration made with Windows' own tool: what "reg add /reg:32"
// stores is what the program reads, and a configuration of the same name
// in the 64-bit view is not its own.
TEST_F(EndToEnd, ConsoleReadsWhatRegExeStoresInThe32BitView)
{
    deleteConfigurationKey(L"", KEY_WOW64_64KEY);
    const auto reg = [](const std::wstring& subkey, const std::wstring& value, const std::wstring& view) {
        const ProgramResult result = runProgram(
            L"reg.exe add \"HKLM\\" + configurationKeyName(subkey) + L"\" " + value + L" /f " + view, timeouts::state);
        ASSERT_EQ(result.exitCode, 0u) << result.output;
    };
    reg(L"", L"/v Count /t REG_DWORD /d 1", L"/reg:32");
    reg(L"1", L"/v Name /t REG_SZ /d \"Written by reg\"", L"/reg:32");
    reg(L"1", L"/v Lines /t REG_SZ /d 2,3", L"/reg:32");
    reg(L"1", L"/v ScheduleMode /t REG_DWORD /d 0", L"/reg:32");
    reg(L"1", L"/v DailyHour /t REG_DWORD /d 7", L"/reg:32");
    reg(L"", L"/v Count /t REG_DWORD /d 2", L"/reg:64");
    reg(L"1", L"/v Name /t REG_SZ /d \"64-bit view\"", L"/reg:64");
    reg(L"2", L"/v Name /t REG_SZ /d \"64-bit view\"", L"/reg:64");

    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    ASSERT_TRUE(engine.waitForLine("^lines: 2, 3$", timeouts::state)) << engine.text();
    const std::vector<std::string> lines = engine.lines();
    EXPECT_GT(lineIndex(lines, "^name: Written by reg$"), lineIndex(lines, "^-- Lineset #0:$"));
    EXPECT_GT(lineIndex(lines, "^schedule: Daily, 07:00$"), 0);
    EXPECT_EQ(lineCount(lines, "64-bit view"), 0) << engine.text();
    EXPECT_EQ(lineCount(lines, "^-- Lineset #1:$"), 0) << engine.text();
    deleteConfigurationKey(L"", KEY_WOW64_64KEY);
}

TEST_F(EndToEnd, ConsoleSeesEachSettingsChangeOnceWithinAPass)
{
    // Due in an hour, every 23 hours: the lineset never fires meanwhile.
    Lineset lineset{L"Nightly", L"2", L"CNT", 30, 3600};
    lineset.periodicHours = 23;
    lineset.periodicMinutes = 0;
    configure({lineset});
    // A further argument is ignored.
    LiveProcess engine(consoleCommand(L"/console further"), CREATE_NO_WINDOW);
    ASSERT_TRUE(engine.waitForLine("^lines: 2$", timeouts::state)) << engine.text();

    const std::string changed = logged("INFO", "Settings changed, restart required...");
    setDword(L"1", L"Interval", 45);
    // A pass takes a quarter of a second; the bound leaves room for a busy
    // machine and still tells a change seen by the loop from none at all.
    ASSERT_TRUE(engine.waitForLine(changed, 2500)) << engine.text();
    ASSERT_TRUE(engine.waitForLine("^interval: 00:00:45$", 2500)) << engine.text();

    setString(L"1", L"LineMode", L"VOX");
    ASSERT_TRUE(engine.waitForLine("^mode: VOX$", 2500)) << engine.text();
    // Some passes without a change.
    Sleep(1000);

    const std::vector<std::string> lines = engine.lines();
    EXPECT_EQ(lineCount(lines, changed), 2) << engine.text();
    EXPECT_EQ(lineCount(lines, "^Settings:$"), 3);
    EXPECT_LT(lineIndex(lines, "^Settings:$"), lineIndex(lines, changed)) << "nothing on the first pass";
    EXPECT_THAT(engine.text(), Not(HasSubstr("Setting [")));
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
}

TEST_F(EndToEnd, KilledDuringAToggleIsRevertedAtTheNextStartBeforeTheSettingsAreRead)
{
    configure({{L"Studios", L"1,3", L"CNT", longInterval, consoleDue}});
    {
        LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
        ASSERT_TRUE(engine.waitForLine(logged("INFO", "Setting [1, 3] mode to CNT"), timeouts::toggle))
            << engine.text();
        ASSERT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);
        engine.kill();
    }
    // Nothing reverted the lines; only the backup knows their modes.
    EXPECT_EQ(readFileBytes(iniPath), loggerIni("CNT", "REC", "CNT"));
    EXPECT_THAT(backupRecords(), ElementsAre("Line01", "Line03"));

    deleteKey();
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    ASSERT_TRUE(engine.waitForLine("^No linesets$", timeouts::state)) << engine.text();
    const std::vector<std::string> lines = engine.lines();
    const int reverted = lineIndex(lines, logged("INFO", "Reverting Line01, Line03"));
    EXPECT_GT(reverted, lineIndex(lines, logged("INFO", "Ostrel started"))) << engine.text();
    EXPECT_LT(reverted, lineIndex(lines, "^Settings:$")) << engine.text();
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_THAT(backupRecords(), IsEmpty());
}

TEST_F(EndToEnd, CtrlCInTheConsoleRevertsRunningTogglesBeforeTheProcessEnds)
{
    configure({{L"Studios", L"1,3", L"CNT", longInterval, consoleDue}});
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    ASSERT_TRUE(engine.waitForLine(logged("INFO", "Setting [1, 3] mode to CNT"), timeouts::toggle)) << engine.text();
    ASSERT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);

    ASSERT_TRUE(pressCtrlC(engine.id())) << GetLastError();
    DWORD exitCode = 1;
    ASSERT_TRUE(engine.finish(timeouts::state, &exitCode)) << "still running after Ctrl+C: " << engine.text();
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_THAT(backupRecords(), IsEmpty());

    const std::vector<std::string> lines = engine.lines();
    const int set = lineIndex(lines, logged("INFO", "Setting [1, 3] mode to CNT"));
    const int interrupted = lineIndex(lines, logged("INFO", "Interruption requested"));
    const int reverted = lineIndex(lines, logged("INFO", "Reverting [1, 3]"));
    const int stopped = lineIndex(lines, logged("INFO", "Ostrel stopped"));
    EXPECT_LT(set, interrupted) << engine.text();
    EXPECT_LT(interrupted, reverted);
    EXPECT_LT(reverted, stopped);
    EXPECT_EQ(stopped, int(lines.size()) - 1);
}

// The engine in the console with a toggle held in its setting, or set and
// held in its revert.
class ConsoleToggleHeld : public EndToEnd {
protected:
    // Once the engine runs without linesets, takes logger.ini and configures
    // a lineset on lines 1 and 3: its toggle waits for logger.ini to change
    // line 1, no line changed yet.
    void holdTheSetting(LiveProcess& engine, SetPhaseHold& hold)
    {
        ASSERT_TRUE(engine.waitForLine("^No linesets$", timeouts::state)) << engine.text();
        hold.holdIni();
        configure({{L"Studios", L"1,3", L"CNT", longInterval, consoleDue}});
        ASSERT_TRUE(engine.waitForLine(logged("INFO", "Setting [1, 3] mode to CNT"), timeouts::state)) << engine.text();
    }

    // Once the engine runs without linesets, configures a lineset on lines 1
    // and 3 and holds its revert while it waits for logger.ini to put back
    // line 3, line 1 put back and its record dropped.
    void holdTheRevert(LiveProcess& engine, SetPhaseHold& hold)
    {
        ASSERT_TRUE(engine.waitForLine("^No linesets$", timeouts::state)) << engine.text();
        // Long enough to hold the saves once both lines are set.
        configure({{L"Studios", L"1,3", L"CNT", 5, consoleDue}});
        ASSERT_TRUE(hold.recorded("Line01") && hold.recorded("Line03")) << engine.text();
        hold.holdSaves();
        ASSERT_TRUE(hold.revertWaitsBetween("Line01", "Line03")) << engine.text();
    }

    void SetUp() override
    {
        EndToEnd::SetUp();
        writeBytes(backupPath, declaration);
        setPatientBackupWait();
    }
};

// Ctrl+C while a toggle waits for logger.ini in its setting: the toggle
// ends its setting there, changing no line, and the process ends.
TEST_F(ConsoleToggleHeld, CtrlCWhileALineWaitsInTheSettingChangesNoLine)
{
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    SetPhaseHold hold(iniPath, backupPath);
    ASSERT_NO_FATAL_FAILURE(holdTheSetting(engine, hold));

    ASSERT_TRUE(pressCtrlC(engine.id())) << GetLastError();
    ASSERT_TRUE(engine.waitForLine(logged("INFO", "Reverting [1, 3]"), timeouts::state)) << engine.text();
    hold.releaseIni();
    DWORD exitCode = 1;
    ASSERT_TRUE(engine.finish(timeouts::state, &exitCode)) << "still running: " << engine.text();
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_THAT(backupRecords(), IsEmpty());
    const std::vector<std::string> lines = engine.lines();
    const int interrupted = lineIndex(lines, logged("INFO", "Interruption requested"));
    EXPECT_LT(lineIndex(lines, logged("INFO", "Setting [1, 3] mode to CNT")), interrupted) << engine.text();
    EXPECT_LT(interrupted, lineIndex(lines, logged("INFO", "Reverting [1, 3]")));
    EXPECT_EQ(lineCount(lines, ": ERROR: "), 0) << engine.text();
}

// Ctrl+C while a toggle's revert waits for a logger.ini that another
// process holds, one line put back and the next waiting: the revert goes on
// waiting, says so, and puts every line back before the process ends.
TEST_F(ConsoleToggleHeld, CtrlCWhileTheRevertWaitsForLoggerIniLetsItPutEveryLineBack)
{
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    SetPhaseHold hold(iniPath, backupPath);
    ASSERT_NO_FATAL_FAILURE(holdTheRevert(engine, hold));
    const std::string waiting = "Waiting for " + iniPath + ", which another program holds";
    ASSERT_TRUE(engine.waitForLine(logged("WARN", waiting), timeouts::state)) << engine.text();

    ASSERT_TRUE(pressCtrlC(engine.id())) << GetLastError();
    DWORD exitCode = 1;
    // Time for the stop to reach the toggle; an interrupted revert ends at once.
    EXPECT_FALSE(engine.finish(1500, &exitCode)) << "the stop cut the revert short: " << engine.text();
    hold.releaseIni();
    ASSERT_TRUE(engine.finish(timeouts::state, &exitCode)) << "still running: " << engine.text();
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_THAT(backupRecords(), IsEmpty());
    const std::vector<std::string> lines = engine.lines();
    const int reverting = lineIndex(lines, logged("INFO", "Reverting [1, 3]"));
    const int waited = lineIndex(lines,
                                 "INFO: \\[[^\\]]*\\] : Waited [0-9]+\\.[0-9] s for " + escapeRegex(iniPath) + "$");
    EXPECT_LT(reverting, lineIndex(lines, logged("WARN", waiting))) << engine.text();
    EXPECT_LT(lineIndex(lines, logged("WARN", waiting)), waited) << engine.text();
    EXPECT_LT(waited, lineIndex(lines, logged("INFO", "Ostrel stopped"))) << engine.text();
    EXPECT_EQ(lineCount(lines, ": ERROR: "), 0) << engine.text();
}

// A second Ctrl+C while the first one's revert waits for a logger.ini that
// another process holds ends the process at once; what was not reverted
// stays in the backup for the next start.
TEST_F(EndToEnd, ASecondCtrlCWhileTheRevertWaitsEndsTheProcessAtOnce)
{
    configure({{L"Studios", L"1,3", L"CNT", longInterval, consoleDue}});
    {
        LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
        ASSERT_TRUE(engine.waitForLine(logged("INFO", "Setting [1, 3] mode to CNT"), timeouts::toggle))
            << engine.text();
        ASSERT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);
        FileHolder logger;
        logger.require("open " + iniPath);
        logger.require("waitlock exclusive");
        ASSERT_TRUE(pressCtrlC(engine.id())) << GetLastError();
        ASSERT_TRUE(engine.waitForLine(logged("INFO", "Reverting [1, 3]"), timeouts::state)) << engine.text();
        ASSERT_TRUE(pressCtrlC(engine.id())) << GetLastError();
        DWORD exitCode = 0;
        ASSERT_TRUE(engine.finish(timeouts::state, &exitCode)) << "still running: " << engine.text();
        EXPECT_EQ(exitCode, DWORD(STATUS_CONTROL_C_EXIT));
        EXPECT_TRUE(engine.waitForLine(logged("WARN",
                                              "Stopped at once; lines not yet reverted are reverted at the "
                                              "next start"),
                                       0))
            << engine.text();
    }
    EXPECT_EQ(readFileBytes(iniPath), loggerIni("CNT", "REC", "CNT"));
    EXPECT_THAT(backupRecords(), ElementsAre("Line01", "Line03"));

    deleteKey();
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    ASSERT_TRUE(engine.waitForLine("^No linesets$", timeouts::state)) << engine.text();
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_THAT(backupRecords(), IsEmpty());
}

// A backup file that another process holds while the program starts is
// waited for, never taken for damaged; a stop ends that wait with the file
// untouched, and a later start reverts its records once the file is free.
TEST_F(EndToEnd, ABusyBackupFileAtStartIsWaitedForAndAStopEndsTheWait)
{
    const std::string toggled = loggerIni("CNT", "REC", "CNT");
    const std::string records = declaration + record("Line01", "CNT", "REC") + record("Line03", "CNT", "VOX");
    writeBytes(iniPath, toggled);
    writeBytes(backupPath, records);
    FileHolder holder;
    holder.require("deny " + backupPath);
    {
        LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
        ASSERT_TRUE(engine.waitForLine(logged("INFO", "Ostrel started"), timeouts::state)) << engine.text();
        ASSERT_TRUE(pressCtrlC(engine.id())) << GetLastError();
        DWORD exitCode = 1;
        ASSERT_TRUE(engine.finish(timeouts::state, &exitCode)) << "still running: " << engine.text();
        EXPECT_EQ(exitCode, 0u);
        const std::string out = engine.text();
        EXPECT_THAT(out, HasSubstr("Ostrel stopped"));
        EXPECT_THAT(out, Not(HasSubstr("Backup file")));
        EXPECT_THAT(out, Not(HasSubstr("Settings:")));
    }
    EXPECT_THAT(damaged(), IsEmpty());
    EXPECT_EQ(readFileBytes(iniPath), toggled);

    deleteKey();
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    ASSERT_TRUE(engine.waitForLine(logged("INFO", "Ostrel started"), timeouts::state)) << engine.text();
    // Long enough for a program that does not wait to have taken the file
    // for damaged and read its settings.
    Sleep(1000);
    EXPECT_THAT(engine.text(), Not(HasSubstr("Settings:")));
    holder.require("close");
    ASSERT_TRUE(engine.waitForLine("^No linesets$", timeouts::state)) << engine.text();
    EXPECT_THAT(engine.text(), HasSubstr("Reverting Line01, Line03"));
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_THAT(backupRecords(), IsEmpty());
    EXPECT_THAT(damaged(), IsEmpty());
}

// Linesets the engine must never fire, each with the reason it names.
struct Refusal {
    const char* name;
    Lineset lineset;
    const char* reason;
};

Lineset refusedLineset(const wchar_t* name, const wchar_t* mode, std::int32_t hours, std::int32_t minutes)
{
    Lineset lineset{name, L"2", mode, 0, 1};
    lineset.periodicHours = hours;
    lineset.periodicMinutes = minutes;
    return lineset;
}

Lineset negativeDailyHour()
{
    Lineset lineset{L"NegativeDaily", L"2", L"CNT", 0, 1};
    lineset.scheduleMode = 0;
    lineset.dailyHour = -1;
    return lineset;
}

const Refusal refusals[] = {
    {"ZeroPeriod", refusedLineset(L"ZeroPeriod", L"CNT", 0, 0), "zero period"},
    {"NegativeHours", refusedLineset(L"NegativeHours", L"CNT", -1, 1), "negative period (hours -1, minutes 1)"},
    {"NegativeDaily", negativeDailyHour(), "negative daily hour or minute (hour -1, minute 0)"},
    {"LineFeedInMode", refusedLineset(L"LineFeedInMode", L"CNT\nMode=OFF", 0, 1), "its mode contains a line break"},
    {"CarriageReturnInMode", refusedLineset(L"CarriageReturnInMode", L"CNT\r[Line09]", 0, 1),
     "its mode contains a line break"},
};

TEST_F(EndToEnd, RefusedLinesetsAreReportedByNameAndNeverFire)
{
    std::vector<Lineset> linesets;
    for (const Refusal& refusal : refusals)
        linesets.push_back(refusal.lineset);
    // A lineset that does fire, after the others would have.
    linesets.push_back({L"Clock", L"1", L"CNT", 0, consoleDue + 1});
    configure(linesets);
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    ASSERT_TRUE(engine.waitForLine(logged("INFO", "Reverting [1]"), timeouts::state)) << engine.text();
    Sleep(500);  // two more passes

    const std::vector<std::string> lines = engine.lines();
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        EXPECT_EQ(lineCount(lines, logged("ERROR", std::string("Lineset ") + refusal.name +
                                                       " [2] is never toggled: " + refusal.reason)),
                  1)
            << engine.text();
    }
    EXPECT_EQ(lineCount(lines, "Setting \\[2\\]"), 0) << engine.text();
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_THAT(backupRecords(), IsEmpty());
}

// A logger.ini that a toggle cannot use, and what the engine then reports.
struct BrokenIni {
    const char* name;
    std::string ini;
    const char* error;
    bool repaired;  // logger.ini is put right after the error
};

class ToggleFailure : public EndToEnd, public ::testing::WithParamInterface<BrokenIni> {};

TEST_P(ToggleFailure, IsLoggedAtErrorAndTheEngineGoesOn)
{
    const BrokenIni& broken = GetParam();
    writeBytes(iniPath, broken.ini);
    configure({{L"Broken", L"2", L"CNT", 0, consoleDue}, {L"Later", L"1", L"CNT", 0, consoleDue + 3}});
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    ASSERT_TRUE(
        engine.waitForLine(logged("ERROR", std::string("Can't set mode of line 2: ") + broken.error), timeouts::state))
        << engine.text();
    ASSERT_TRUE(engine.waitForLine(logged("INFO", "Reverting [2]"), timeouts::state)) << engine.text();
    const std::string after = broken.repaired ? originalIni : broken.ini;
    if (broken.repaired)
        writeBytes(iniPath, originalIni);

    // The process goes on and the next lineset toggles as usual.
    ASSERT_TRUE(engine.waitForLine(logged("INFO", "Reverting [1]"), timeouts::state)) << engine.text();
    EXPECT_TRUE(engine.running());
    EXPECT_TRUE(engine.waitForLine(logged("INFO", "Setting [1] mode to CNT"), 0));
    EXPECT_TRUE(showsToggle(after, {})) << readFileBytes(iniPath);
}

INSTANTIATE_TEST_SUITE_P(Ini, ToggleFailure,
                         ::testing::Values(BrokenIni{"SectionWithoutMode",
                                                     "[Line01]\r\nMode=REC\r\n\r\n[Line02]\r\nName=Studio B\r\n",
                                                     "Key not found: Mode", false},
                                           BrokenIni{"Malformed", "[Line01\r\nMode=REC\r\n[Line02]\r\nMode=REC\r\n",
                                                     "Syntax error. Section header invalid: \"[Line01\"", true}),
                         [](const ::testing::TestParamInfo<BrokenIni>& info) { return std::string(info.param.name); });

// --- "/check" --------------------------------------------------------------------------

// The local date `days` from today in the listing's form ("2026-Dec-10").
std::string localDateText(int days)
{
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME time;
    SystemTimeToFileTime(&now, &time);
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    ticks.QuadPart += std::uint64_t(days) * 24 * 3600 * 10000000;
    time.dwLowDateTime = ticks.LowPart;
    time.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME day;
    FileTimeToSystemTime(&time, &day);
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%s-%02u", day.wYear, months[day.wMonth - 1], day.wDay);
    return text;
}

// "{n}" in the text becomes the local date n days from today.
std::string withDates(std::string text)
{
    for (int days = 1; days <= 3; ++days) {
        const std::string mark = "{" + std::to_string(days) + "}";
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), localDateText(days));
    }
    return text;
}

Lineset dailyAtMidnight(const wchar_t* name, const wchar_t* lines)
{
    Lineset lineset{name, lines, L"CNT", 30, 0};
    lineset.scheduleMode = 0;
    return lineset;
}

Lineset everyDayFrom2020(const wchar_t* name, const wchar_t* lines)
{
    Lineset lineset{name, lines, L"CNT", 30, 0};
    lineset.periodicHours = 24;
    lineset.periodicMinutes = 0;
    lineset.periodicStart = L"2020-01-01T00:00:00";
    return lineset;
}

Lineset withScheduleMode(Lineset lineset, DWORD mode)
{
    lineset.scheduleMode = mode;
    return lineset;
}

const char midnights[] = "next {1} 00:00:00, {2} 00:00:00, {3} 00:00:00";

// A configuration (none: no configuration key), the lines "/check" prints
// after its timetable heading ("{n}": the date n days from today) and its
// exit code.
struct CheckCase {
    const char* name;
    boost::optional<std::vector<Lineset>> linesets;
    std::vector<std::string> timetable;
    DWORD exitCode;
};

const CheckCase checkCases[] = {
    {"DailyAtMidnight",
     std::vector<Lineset>{dailyAtMidnight(L"Night", L"1,2")},
     {std::string("Lineset #0 Night [1, 2]: ") + midnights},
     0},
    {"PeriodicFromAStartLongPast",
     std::vector<Lineset>{everyDayFrom2020(L"Daily", L"3")},
     {std::string("Lineset #0 Daily [3]: ") + midnights},
     0},
    {"ZeroPeriod",
     std::vector<Lineset>{refusedLineset(L"Zero", L"CNT", 0, 0)},
     {"Lineset #0 Zero [2]: never fires, refused: zero period"},
     1},
    {"LineBreakInMode",
     std::vector<Lineset>{refusedLineset(L"Forged", L"CNT\nMode=OFF", 0, 1)},
     {"Lineset #0 Forged [2]: never fires, refused: its mode contains a line break"},
     1},
    {"UnknownScheduleMode",
     std::vector<Lineset>{withScheduleMode(dailyAtMidnight(L"Odd", L"4,5"), 7)},
     {"Lineset #0 Odd [4, 5]: never fires, its schedule (INVALID) has no moment"},
     1},
    {"OneOfThreeNeverFires",
     std::vector<Lineset>{dailyAtMidnight(L"Night", L"1"), refusedLineset(L"Zero", L"CNT", 0, 0),
                          everyDayFrom2020(L"Daily", L"")},
     {std::string("Lineset #0 Night [1]: ") + midnights, "Lineset #1 Zero [2]: never fires, refused: zero period",
      std::string("Lineset #2 Daily []: ") + midnights},
     1},
    {"WithoutAName",
     std::vector<Lineset>{dailyAtMidnight(L"", L"6")},
     {std::string("Lineset #0 [6]: ") + midnights},
     0},
    {"NoLinesets", std::vector<Lineset>{}, {}, 1},
    {"NoConfigurationKey", boost::none, {}, 1},
};

const char dayPictureHeading[] =
    "^The next 24 hours from [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]+, one character per "
    "20 minutes:$";

class Check : public EndToEnd, public ::testing::WithParamInterface<CheckCase> {};

// The run also shows that "/check" reads nothing but the registry: with
// logger.ini and the backup file missing, neither is created, and, no
// linesets overlapping, it writes no log statement (each of which also goes
// to the event log).
TEST_P(Check, PrintsTheListingAndTheTimetableAndTellsWhetherEveryLinesetFires)
{
    const CheckCase& c = GetParam();
    if (c.linesets)
        configure(*c.linesets);
    removeFiles();
    const std::string before = localDateText(0);
    const ProgramResult result = runProgram(L"\"" + builtProgram() + L"\" /check", timeouts::state);
    // Across midnight the dates of the timetable are a day off: the row cannot tell.
    if (localDateText(0) != before)
        GTEST_SKIP() << "the date changed during the run";

    EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
    const std::vector<std::string> lines = result.lines();
    const int heading = lineIndex(lines, "^Timetable from [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:.]+:$");
    ASSERT_GE(heading, 0) << result.output;
    const int picture = lineIndex(lines, dayPictureHeading);
    ASSERT_GT(picture, heading) << result.output;
    std::vector<std::string> expected;
    for (const std::string& line : c.timetable)
        expected.push_back(withDates(line));
    EXPECT_EQ(std::vector<std::string>(lines.begin() + heading + 1, lines.begin() + picture), expected)
        << result.output;
    EXPECT_EQ(lines.front(), "Settings:");
    EXPECT_EQ(lineCount(lines, "^-- Lineset #"), c.linesets ? int(c.linesets->size()) : 0);
    if (!c.linesets || c.linesets->empty()) {
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + heading),
                  (std::vector<std::string>{"Settings:", "No linesets", ""}));
    }
    EXPECT_EQ(lineCount(lines, "\\([0-9]+\\): [A-Z]+: \\["), 0) << "a log statement: " << result.output;
    EXPECT_FALSE(fileExists(iniPath));
    EXPECT_FALSE(fileExists(backupPath));
}

INSTANTIATE_TEST_SUITE_P(Configurations, Check, ::testing::ValuesIn(checkCases),
                         [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

// A daily lineset at a whole local hour near now: the next one, due today
// (tomorrow after 23:00), and the one just begun, due tomorrow. The tests
// run in a zone with a half-hour offset, so a program that took UTC for
// local time, or the other way round, shows other dates and hours and
// another start of its timetable.
struct LocalHourCase {
    const char* name;
    int hoursFromNow;
};

class CheckAtALocalHour : public EndToEnd, public ::testing::WithParamInterface<LocalHourCase> {};

TEST_P(CheckAtALocalHour, ShowsTheDailyMomentsInLocalTime)
{
    expectAZoneWithAHalfHourOffset();
    SYSTEMTIME now;
    GetLocalTime(&now);
    const int hour = (int(now.wHour) + GetParam().hoursFromNow + 24) % 24;
    // The first moment is today when its hour is still to come.
    const int first = hour > int(now.wHour) ? 0 : 1;
    Lineset lineset{L"Hourly", L"1", L"CNT", 30, 0};
    lineset.scheduleMode = 0;
    lineset.dailyHour = hour;
    configure({lineset});
    char at[8];
    std::snprintf(at, sizeof at, "%02d:00", hour);
    char from[8];
    std::snprintf(from, sizeof from, "%02u:%02u", now.wHour, now.wMinute);
    const ProgramResult result = runProgram(L"\"" + builtProgram() + L"\" /check", timeouts::state);
    SYSTEMTIME after;
    GetLocalTime(&after);
    if (after.wHour != now.wHour || after.wMinute != now.wMinute)
        GTEST_SKIP() << "the minute changed during the run";

    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_THAT(result.output, HasSubstr("Timetable from " + localDateText(0) + " " + from + ":")) << result.output;
    const std::string moments = "Lineset #0 Hourly [1]: next " + localDateText(first) + " " + at + ":00, " +
                                localDateText(first + 1) + " " + at + ":00, " + localDateText(first + 2) + " " + at +
                                ":00\n";
    EXPECT_THAT(result.output, HasSubstr(moments)) << result.output;
}

INSTANTIATE_TEST_SUITE_P(Zone, CheckAtALocalHour,
                         ::testing::Values(LocalHourCase{"NextLocalHour", 1}, LocalHourCase{"LocalHourJustBegun", 0}),
                         [](const ::testing::TestParamInfo<LocalHourCase>& info) {
                             return std::string(info.param.name);
                         });

// The settings listing of "/check" is the one the engine prints.
TEST_F(EndToEnd, CheckPrintsTheListingOfTheEngine)
{
    configure({dailyAtMidnight(L"Night", L"1,2"), refusedLineset(L"Zero", L"VOX", 0, 0),
               everyDayFrom2020(L"Daily", L"3"), withScheduleMode(dailyAtMidnight(L"Odd", L"4"), 9)});
    const ProgramResult check = runProgram(L"\"" + builtProgram() + L"\" /check", timeouts::state);
    const std::string listing = check.output.substr(0, check.output.find("Timetable from "));

    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    // Refusals are reported right after the listing.
    ASSERT_TRUE(engine.waitForLine(logged("ERROR", "Lineset Zero [2] is never toggled: zero period"), timeouts::state))
        << engine.text();
    std::string printed;
    for (const std::string& line : engine.lines())
        if (lineCount({line}, "\\([0-9]+\\): [A-Z]+: \\[") == 0)
            printed += line + "\n";
    EXPECT_EQ(listing, printed);
    EXPECT_THAT(listing, HasSubstr("schedule: Every 24h 0m from 2020-Jan-01 00:00:00\n")) << listing;
}

// Night and Sweep are both due at midnight and share line 2. Forged would
// overlap both, and itself, but the engine refuses it for its mode.
std::vector<Lineset> overlappingLinesets()
{
    Lineset night = dailyAtMidnight(L"Night", L"1,2");
    night.interval = 3600;
    Lineset forged = refusedLineset(L"Forged", L"CNT\nMode=OFF", 0, 1);
    forged.interval = 3600;
    return {night, everyDayFrom2020(L"Sweep", L"2,3"), forged};
}

const char overlapWarning[] = "Linesets Night [1, 2] and Sweep [2, 3] overlap on line 2 from {1} 00:00:00";

TEST_F(EndToEnd, CheckWarnsAboutOverlapsAndEndsWithThePictureOfTheDay)
{
    configure(overlappingLinesets());
    const std::string before = localDateText(0);
    const ProgramResult result = runProgram(L"\"" + builtProgram() + L"\" /check", timeouts::state);
    if (localDateText(0) != before)
        GTEST_SKIP() << "the date changed during the run";

    EXPECT_EQ(result.exitCode, 1u) << "Forged never fires: " << result.output;
    const std::vector<std::string> lines = result.lines();
    const int timetable = lineIndex(lines, "^Lineset #2 Forged \\[2\\]: never fires");
    const int warning = lineIndex(lines, logged("WARN", withDates(overlapWarning)));
    const int picture = lineIndex(lines, dayPictureHeading);
    EXPECT_GT(warning, timetable) << result.output;
    EXPECT_GT(picture, warning) << result.output;
    EXPECT_EQ(lineCount(lines, "\\([0-9]+\\): [A-Z]+: \\["), 1) << "only the warning: " << result.output;
    ASSERT_GT(picture, 0) << result.output;

    const std::vector<std::string> drawn(lines.begin() + picture, lines.end());
    EXPECT_EQ(lineCount(drawn, "^Line [ 0-9]+$"), 1) << result.output;
    // Midnight is in the picture whatever the hour: only line 2 has both.
    EXPECT_EQ(lineCount(drawn, "^   2 [.AB]*\\*[.AB*]*$"), 1) << result.output;
    EXPECT_EQ(lineCount(drawn, "^   1 [.A]*A[.A]*$"), 1) << result.output;
    EXPECT_EQ(lineCount(drawn, "^   3 [.B]*B[.B]*$"), 1) << result.output;
    EXPECT_EQ(lineCount(drawn, "^  A  Night \\[1, 2\\]: CNT for 01:00:00, Daily, 00:00$"), 1) << result.output;
    EXPECT_EQ(lineCount(drawn, "^  B  Sweep \\[2, 3\\]: CNT for 00:00:30, Every 24h 0m from 2020-Jan-01 00:00:00$"), 1)
        << result.output;
    EXPECT_EQ(lineCount(drawn, "Forged"), 0) << result.output;
    for (const std::string& line : drawn)
        EXPECT_LT(line.size(), 80u) << line;
}

// The engine warns once each time it builds its timetable, and names the
// lineset the engine refuses in none of them.
TEST_F(EndToEnd, ConsoleWarnsAboutOverlapsOnceForEachTimetable)
{
    configure(overlappingLinesets());
    const std::string before = localDateText(0);
    LiveProcess engine(consoleCommand(), CREATE_NO_WINDOW);
    const std::string warning = logged("WARN", withDates(overlapWarning));
    ASSERT_TRUE(engine.waitForLine(warning, timeouts::state)) << engine.text();
    setDword(L"1", L"Interval", 7200);
    ASSERT_TRUE(engine.waitForLine("^interval: 02:00:00$", timeouts::state)) << engine.text();
    EXPECT_TRUE(engine.waitForLine(logged("INFO", "Settings changed, restart required..."), timeouts::state));
    const std::string text = withDates(overlapWarning);
    EXPECT_TRUE(
        engine.waitForText([&](const std::string& all) { return occurrences(all, text) == 2; }, timeouts::state))
        << engine.text();
    if (localDateText(0) != before)
        GTEST_SKIP() << "the date changed during the run";
    EXPECT_EQ(occurrences(engine.text(), ": WARN: "), 2u) << engine.text();
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
}

// --- the other arguments -------------------------------------------------------------

class IgnoredArgument : public EndToEnd, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(IgnoredArgument, DoesNothingAndExitsWithZero)
{
    const ProgramResult result = runProgram(L"\"" + builtProgram() + L"\" " + GetParam(), timeouts::state);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_FALSE(serviceExists());
    EXPECT_FALSE(eventSourceExists(eventSourceKey));
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
}

// The actions are compared case-sensitively and as whole strings.
INSTANTIATE_TEST_SUITE_P(Arguments, IgnoredArgument,
                         ::testing::Values(L"/INSTALL", L"/Install", L"-REMOVE", L"/Console", L"-console", L"/console2",
                                           L"install", L"/help", L"/CHECK", L"-check"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                             std::string name;
                             for (const wchar_t* c = info.param; *c; ++c)
                                 name += *c == L'/'   ? std::string("Slash")
                                         : *c == L'-' ? std::string("Dash")
                                                      : std::string(1, char(*c));
                             return name;
                         });

TEST_F(EndToEnd, WithoutArgumentOutsideTheServiceManagerExitsQuietly)
{
    configure({{L"Studios", L"1,3", L"CNT", 2, 1}});
    // Wine's dispatcher may take about 10 s to give up (it waits on the
    // control pipe of the service process started last).
    const ProgramResult result = runProgram(L"\"" + builtProgram() + L"\"", 2 * timeouts::state);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_FALSE(fileExists(backupPath));
}

// --- under the service manager ----------------------------------------------------

// What "/remove" of a running service prints.
const char* const removedAfterItsStop =
    "Stopping OstrelService\\.\\.*\n"
    "OstrelService is stopped\\.\n"
    "OstrelService is removed\\.\n";

// OstrelService installed by its own "/install" from the folder with a
// blank, and a handle to it.
class InstalledService : public EndToEnd {
protected:
    static void SetUpTestSuite()
    {
        removeOstrelService();
        placeProgram(L"" OSTREL_SERVICE_PROGRAM, installDirectory());
    }

    static void TearDownTestSuite() { removeOstrelService(); }

    void SetUp() override
    {
        EndToEnd::SetUp();
        const ProgramResult result = runInstalled(L"/install");
        ASSERT_EQ(result.exitCode, 0u);
        manager = openManager();
        service = ServiceHandle(OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(service);
        ASSERT_EQ(result.output, std::string(installed) + (keepsFailureActions() ? "" : flagRefused));
    }

    // Starts the service and sets the lines of a toggle, which then runs
    // its interval. The start-up repair reverts a record first: once it is
    // gone, the start is done and the backup file may be held.
    void startAToggle(SetPhaseHold& hold, DWORD interval)
    {
        writeBytes(iniPath, loggerIni("REC", "CNT", "VOX"));
        writeBytes(backupPath, declaration + record("Line02", "CNT", "REC"));
        setPatientBackupWait();
        start();
        ASSERT_TRUE(showsToggle(originalIni, {})) << readFileBytes(iniPath);
        configure({{L"Studios", L"1,3", L"CNT", interval, consoleDue}});
        ASSERT_TRUE(hold.recorded("Line01") && hold.recorded("Line03"));
    }

    // What "/remove" of a service stopped in a toggle leaves: its output
    // tells the stop and the removal, every line is back at its original
    // mode, the backup has no record and the service is gone.
    void expectRemovedAfterItsStop(const std::string& output, DWORD exitCode)
    {
        EXPECT_THAT(output, MatchesRegex(removedAfterItsStop));
        EXPECT_EQ(exitCode, 0u);
        EXPECT_EQ(readFileBytes(iniPath), originalIni);
        EXPECT_THAT(backupRecords(), IsEmpty());
        service = ServiceHandle();
        EXPECT_TRUE(eventually([] { return !serviceExists(); }));
    }

    bool keepsFailureActions()
    {
        DWORD error = 0;
        return bool(queryFailureActions(service.get(), &error));
    }

    void TearDown() override
    {
        service = ServiceHandle();
        manager = ServiceHandle();
        EndToEnd::TearDown();
    }

    // Starts the service with the command a user would type and waits until
    // it runs.
    SERVICE_STATUS_PROCESS start(const wchar_t* command = L"net start OstrelService")
    {
        const ProgramResult started = runProgram(command, timeouts::state);
        EXPECT_EQ(started.exitCode, 0u) << started.output;
        return waitForState(service.get(), SERVICE_RUNNING);
    }

    ServiceHandle manager;
    ServiceHandle service;
};

TEST_F(InstalledService, IsAnAutoStartOwnProcessServiceForSystemWithAQuotedPath)
{
    const std::vector<BYTE> buffer = queryConfig(service.get());
    const auto& config = *reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
    EXPECT_EQ(std::wstring(config.lpBinaryPathName), L"\"" + installedProgram() + L"\"");
    EXPECT_EQ(config.dwServiceType, DWORD(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.dwStartType, DWORD(SERVICE_AUTO_START));
    EXPECT_EQ(config.dwErrorControl, DWORD(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(std::wstring(config.lpDisplayName), L"Brevik Ostrel service");
    EXPECT_EQ(std::wstring(config.lpServiceStartName), L"NT AUTHORITY\\SYSTEM");
    EXPECT_EQ(queryDescription(service.get()),
              L"Switches the recording mode of groups of logger lines on a timetable.");
    // Installing does not start it.
    EXPECT_EQ(queryStatus(service.get()).dwCurrentState, DWORD(SERVICE_STOPPED));

    wchar_t messageFile[MAX_PATH] = {};
    DWORD size = sizeof messageFile;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, eventSourceKey, L"EventMessageFile",
                           RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, messageFile, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(messageFile), installedProgram());
    DWORD types = 0;
    size = sizeof types;
    ASSERT_EQ(
        RegGetValueW(HKEY_LOCAL_MACHINE, eventSourceKey, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &size),
        ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);

    const ProgramResult again = runInstalled(L"/install");
    EXPECT_EQ(again.output, "CreateService failed, GetLastError: 0x00000431\n");
    EXPECT_EQ(again.exitCode, 0u);
}

// A start that fails, or an error out of the engine, stops the service with
// a non-zero exit code; the manager then starts it again, and with it the
// start-up repair, twice a day at most.
TEST_F(InstalledService, IsRestartedAMinuteAfterItsFirstAndSecondFailureAndThenLeftStoppedForADay)
{
    DWORD error = 0;
    const boost::optional<FailureActions> recovery = queryFailureActions(service.get(), &error);
    if (!recovery) {
        // Wine's manager accepts the actions (SetUp saw no failure for them)
        // but keeps none, and knows neither the flag nor the queries.
        EXPECT_EQ(error, DWORD(ERROR_INVALID_LEVEL));
        GTEST_SKIP() << "this service manager keeps no recovery actions";
    }
    EXPECT_EQ(recovery->resetPeriod, 86400u);
    EXPECT_THAT(recovery->actions, ElementsAre(std::make_pair(int(SC_ACTION_RESTART), DWORD(60000)),
                                               std::make_pair(int(SC_ACTION_RESTART), DWORD(60000)),
                                               std::make_pair(int(SC_ACTION_NONE), DWORD(0))));
    EXPECT_TRUE(recovery->onNonCrashFailures);
}

TEST_F(InstalledService, RemoveOfTheStoppedServiceDeletesItAndItsEventSource)
{
    service = ServiceHandle();
    const ProgramResult result = runInstalled(L"/remove");
    EXPECT_EQ(result.output, removed);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_FALSE(serviceExists());
    EXPECT_FALSE(eventSourceExists(eventSourceKey));

    const ProgramResult again = runInstalled(L"-remove");
    EXPECT_EQ(again.output, "OpenService failed, GetLastError: 0x00000424\n");
    EXPECT_EQ(again.exitCode, 0u);
}

// Configured once the service runs, so that its start takes nothing from
// the moment: the service is told of the change, and the toggle comes
// within a second of its moment, not a minute or hours and a half later as
// for a service that mixed up local time and UTC.
TEST_F(InstalledService, RunsUnderTheManagerAndTogglesOnTime)
{
    const SERVICE_STATUS_PROCESS running = start(L"sc start OstrelService");
    EXPECT_EQ(running.dwCheckPoint, 0u);
    EXPECT_EQ(running.dwControlsAccepted, DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_THAT(runProgram(L"sc query OstrelService", timeouts::state).output,
                ::testing::ContainsRegex("STATE\\s*:\\s*4\\s+RUNNING"));

    configure({{L"Studios", L"1,3", L"CNT", 2, serviceDue}});
    EXPECT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"}, onTimeMilliseconds(serviceDue)))
        << readFileBytes(iniPath);
    EXPECT_TRUE(showsToggle(originalIni, {})) << readFileBytes(iniPath);

    const ProgramResult stopped = runProgram(L"net stop OstrelService", timeouts::state);
    EXPECT_EQ(stopped.exitCode, 0u) << stopped.output;
    const SERVICE_STATUS_PROCESS end = waitForState(service.get(), SERVICE_STOPPED);
    EXPECT_EQ(end.dwWin32ExitCode, DWORD(NO_ERROR));
    EXPECT_EQ(end.dwCheckPoint, 0u);
}

// The statuses from a stopped service to its stop, as polled: only the
// service's own reports carry check points, and a start sequence is too
// short to be seen every time (the stop is held pending by the test).
void expectLifeReports(std::vector<StatusReport> seen)
{
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    for (const StatusReport& report : seen) {
        if (report.state == SERVICE_START_PENDING)
            EXPECT_LE(report.checkPoint, 1u) << ::testing::PrintToString(seen);
        else if (report.state == SERVICE_STOP_PENDING)
            EXPECT_EQ(report.checkPoint, 2u) << ::testing::PrintToString(seen);
        else
            EXPECT_EQ(report.checkPoint, 0u) << ::testing::PrintToString(seen);
    }
    const auto running = std::find(seen.begin(), seen.end(), StatusReport{SERVICE_RUNNING, 0});
    ASSERT_NE(running, seen.end()) << ::testing::PrintToString(seen);
    EXPECT_THAT(std::vector<StatusReport>(running, seen.end()),
                ElementsAre(StatusReport{SERVICE_RUNNING, 0}, StatusReport{SERVICE_STOP_PENDING, 2},
                            StatusReport{SERVICE_STOPPED, 0}));
}

TEST_F(InstalledService, StopDuringAToggleRevertsBeforeTheServiceReportsStopped)
{
    configure({{L"Studios", L"1,3", L"CNT", longInterval, serviceDue}});
    std::vector<StatusReport> seen;
    {
        LiveProcess starting(L"net start OstrelService");
        waitForState(service.get(), SERVICE_RUNNING, &seen);
        DWORD exitCode = 1;
        ASSERT_TRUE(starting.finish(timeouts::state, &exitCode));
        EXPECT_EQ(exitCode, 0u) << starting.text();
    }
    ASSERT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);

    // logger.ini held by another process keeps the revert, and with it the
    // stop, pending until the test has seen the pending state.
    FileHolder logger;
    logger.require("open " + iniPath);
    logger.require("waitlock exclusive");
    LiveProcess stopping(L"net stop OstrelService");
    waitForState(service.get(), SERVICE_STOP_PENDING, &seen);
    logger.require("close");
    const SERVICE_STATUS_PROCESS stopped = waitForState(service.get(), SERVICE_STOPPED, &seen);
    // Looked at the moment the service reports stopped, without waiting.
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
    EXPECT_THAT(backupRecords(), IsEmpty());
    DWORD exitCode = 1;
    ASSERT_TRUE(stopping.finish(timeouts::state, &exitCode));
    EXPECT_EQ(exitCode, 0u) << stopping.text();
    EXPECT_EQ(stopped.dwWin32ExitCode, DWORD(NO_ERROR));
    expectLifeReports(seen);
}

// "/status" of the installed service in the middle of a toggle: the lines
// it switched, the lineset and when its revert is due; then, while the stop
// waits for a logger.ini another process keeps, that it is stopping (and
// "/status" itself does not wait for that file); and once it has stopped.
TEST_F(InstalledService, StatusTellsWhatAToggleSwitchedUntilWhenAndWhetherTheServiceRuns)
{
    configure({{L"Studios", L"1,3", L"CNT", longInterval, serviceDue}});
    const SERVICE_STATUS_PROCESS running = start();
    ASSERT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);
    const std::wstring statusCommand = L"\"" + builtProgram() + L"\" /status";
    const std::string process = "process " + std::to_string(running.dwProcessId);

    const ProgramResult toggled = runProgram(statusCommand, timeouts::state);
    EXPECT_EQ(toggled.exitCode, 0u) << toggled.output;
    EXPECT_THAT(toggled.output, HasSubstr("Service: running, " + process + "\n"));
    EXPECT_THAT(toggled.output, HasSubstr("  Line 1: current CNT, saved REC\n  Line 3: current CNT, saved VOX\n"));
    std::smatch toggle;
    const std::regex toggleLine("\n  lineset #0 Studios \\[1, 3\\]: mode CNT since (.+), revert due (.+)\n");
    ASSERT_TRUE(std::regex_search(toggled.output, toggle, toggleLine)) << toggled.output;
    const boost::posix_time::ptime since = boost::posix_time::time_from_string(toggle[1]);
    EXPECT_EQ(boost::posix_time::time_from_string(toggle[2]) - since, boost::posix_time::seconds(longInterval));
    // Every minute, for two: the next toggle comes before the revert.
    std::ostringstream next;
    next << "Next event: " << since + boost::posix_time::minutes(1) << ", lineset #0 Studios [1, 3] switches to CNT\n";
    EXPECT_THAT(toggled.output, HasSubstr(next.str()));
    EXPECT_THAT(toggled.output, HasSubstr("\nOK: "));

    FileHolder logger;
    logger.require("open " + iniPath);
    logger.require("waitlock exclusive");
    LiveProcess stopping(L"net stop OstrelService");
    waitForState(service.get(), SERVICE_STOP_PENDING);
    const ProgramResult pending = runProgram(statusCommand, timeouts::state);
    EXPECT_EQ(pending.exitCode, 1u) << pending.output;
    EXPECT_THAT(pending.output, HasSubstr("Service: stop pending, " + process + "\n"));
    EXPECT_THAT(pending.output, HasSubstr("  Line 1: current unknown (logger.ini can't be read: "));
    EXPECT_THAT(pending.output, HasSubstr("Not OK: the service is not running (stop pending, " + process + ")\n"));
    logger.require("close");
    waitForState(service.get(), SERVICE_STOPPED);
    DWORD exitCode = 1;
    ASSERT_TRUE(stopping.finish(timeouts::state, &exitCode));

    const ProgramResult stopped = runProgram(statusCommand, timeouts::state);
    EXPECT_EQ(stopped.exitCode, 1u) << stopped.output;
    EXPECT_THAT(stopped.output, HasSubstr("Service: stopped\n"));
    EXPECT_THAT(stopped.output, HasSubstr(": no line is switched\n"));
    EXPECT_THAT(stopped.output, HasSubstr("Not OK: the service is not running (stopped)\n"));
    EXPECT_EQ(readFileBytes(iniPath), originalIni);
}

TEST_F(InstalledService, RemoveDuringAToggleStopsRevertsAndDeletesTheService)
{
    configure({{L"Studios", L"1,3", L"CNT", longInterval, serviceDue}});
    start();
    ASSERT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);

    service = ServiceHandle();
    const ProgramResult result = runInstalled(L"/remove");
    expectRemovedAfterItsStop(result.output, result.exitCode);
    EXPECT_FALSE(eventSourceExists(eventSourceKey));
}

// "/remove" while a toggle's revert has to wait for logger.ini: every line
// ends at its original mode and the backup without records. The service's
// control handler waits for the stop, so logger.ini is let go soon after
// the stop was asked for.
TEST_F(InstalledService, RemoveWhileAToggleWaitsForLoggerIniLeavesEveryLineAsItWas)
{
    SetPhaseHold hold(iniPath, backupPath);
    ASSERT_NO_FATAL_FAILURE(startAToggle(hold, longInterval));
    hold.holdIni();

    LiveProcess removing(L"\"" + installedProgram() + L"\" /remove");
    waitForState(service.get(), SERVICE_STOP_PENDING);
    // Time for the run loop to pass the stop on to the toggle (a pass is a
    // quarter of a second).
    Sleep(1000);
    hold.releaseIni();
    DWORD exitCode = 1;
    ASSERT_TRUE(removing.finish(timeouts::state, &exitCode)) << removing.text();
    expectRemovedAfterItsStop(removing.text(), exitCode);
}

// The same stop held for longer than the service manager waits for the
// service's answer (10 s under Wine, 30 s on Windows): "/remove" still waits
// for the stop before it reports the service stopped and removed.
TEST_F(InstalledService, RemoveWaitsForAStopThatOutlastsTheManagersPatience)
{
    SetPhaseHold hold(iniPath, backupPath);
    ASSERT_NO_FATAL_FAILURE(startAToggle(hold, longInterval));
    hold.holdIni();

    LiveProcess removing(L"\"" + installedProgram() + L"\" /remove");
    waitForState(service.get(), SERVICE_STOP_PENDING);
    // The manager answers "Stopping" only once it has given up on the
    // service, which cannot answer while logger.ini is held.
    ASSERT_TRUE(removing.waitForText(
        [](const std::string& text) { return text.find("Stopping OstrelService") != std::string::npos; }, 60000))
        << removing.text();
    EXPECT_TRUE(removing.running()) << removing.text();
    hold.releaseIni();
    DWORD exitCode = 1;
    ASSERT_TRUE(removing.finish(timeouts::state, &exitCode)) << removing.text();
    expectRemovedAfterItsStop(removing.text(), exitCode);
}

// How a stop reaches the service while its revert waits.
enum class RevertStop { netStop, remove, removeWhileAStopIsPending };

struct RevertStopCase {
    const char* name;
    RevertStop way;
};

class StopDuringTheRevert : public InstalledService, public ::testing::WithParamInterface<RevertStopCase> {
protected:
    bool stopsWithin(DWORD milliseconds)
    {
        return ::eventually([&] { return queryStatus(service.get()).dwCurrentState == SERVICE_STOPPED; }, milliseconds,
                            10);
    }
};

// A stop that meets the revert of a toggle while it waits for logger.ini,
// one line put back and the next waiting, lets the revert wait: the service
// reports stopped, and "/remove" reports it stopped and removed, only once
// every line is back and no record is left. "/remove" of a service whose
// stop is already pending (the manager answers that it cannot accept the
// control) waits for that stop.
TEST_P(StopDuringTheRevert, LetsItPutEveryLineBack)
{
    SetPhaseHold hold(iniPath, backupPath);
    // Long enough to hold the saves once both lines are set.
    ASSERT_NO_FATAL_FAILURE(startAToggle(hold, 5));
    hold.holdSaves();
    ASSERT_TRUE(hold.revertWaitsBetween("Line01", "Line03"));

    const std::wstring removal = L"\"" + installedProgram() + L"\" /remove";
    boost::optional<LiveProcess> stopping, removing;
    if (GetParam().way == RevertStop::remove)
        removing.emplace(removal);
    else
        stopping.emplace(L"net stop OstrelService");
    waitForState(service.get(), SERVICE_STOP_PENDING);
    if (GetParam().way == RevertStop::removeWhileAStopIsPending) {
        removing.emplace(removal);
        ASSERT_TRUE(removing->waitForText(
            [](const std::string& text) { return text.find("OstrelService") != std::string::npos; }, timeouts::state))
            << removing->text();
        EXPECT_THAT(removing->text(), ::testing::StartsWith("Stopping OstrelService.")) << removing->text();
    }
    // Time for the stop to reach the toggle; an interrupted revert ends at once.
    EXPECT_FALSE(stopsWithin(1500)) << "the stop cut the revert short";
    if (removing) {
        EXPECT_TRUE(removing->running()) << removing->text();
    }
    hold.releaseIni();

    DWORD exitCode = 1;
    if (stopping) {
        ASSERT_TRUE(stopping->finish(timeouts::state, &exitCode)) << stopping->text();
        EXPECT_EQ(exitCode, 0u) << stopping->text();
    }
    if (removing) {
        ASSERT_TRUE(removing->finish(timeouts::state, &exitCode)) << removing->text();
        expectRemovedAfterItsStop(removing->text(), exitCode);
    } else {
        waitForState(service.get(), SERVICE_STOPPED);
        EXPECT_EQ(readFileBytes(iniPath), originalIni);
        EXPECT_THAT(backupRecords(), IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, StopDuringTheRevert,
    ::testing::Values(RevertStopCase{"NetStop", RevertStop::netStop}, RevertStopCase{"Remove", RevertStop::remove},
                      RevertStopCase{"RemoveWhileAStopIsPending", RevertStop::removeWhileAStopIsPending}),
    [](const ::testing::TestParamInfo<RevertStopCase>& info) { return std::string(info.param.name); });

TEST_F(InstalledService, KilledDuringAToggleIsRevertedAtItsNextStart)
{
    configure({{L"Studios", L"1,3", L"CNT", longInterval, serviceDue}});
    const SERVICE_STATUS_PROCESS running = start();
    ASSERT_TRUE(showsToggle(loggerIni("CNT", "REC", "CNT"), {"Line01", "Line03"})) << readFileBytes(iniPath);

    const KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, running.dwProcessId));
    ASSERT_TRUE(process) << GetLastError();
    EXPECT_TRUE(TerminateProcess(process.get(), 1));
    WaitForSingleObject(process.get(), timeouts::state);
    // Nothing reverted the lines; only the backup knows their modes.
    EXPECT_EQ(readFileBytes(iniPath), loggerIni("CNT", "REC", "CNT"));
    EXPECT_THAT(backupRecords(), ElementsAre("Line01", "Line03"));

    deleteKey();
    // Wine's manager goes on showing the killed service as running (so
    // "net start" refuses), but StartService starts a new process.
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    waitForStatus(service.get(), [&](const SERVICE_STATUS_PROCESS& s) {
        return s.dwCurrentState == SERVICE_RUNNING && s.dwProcessId != running.dwProcessId;
    });
    EXPECT_TRUE(showsToggle(originalIni, {})) << readFileBytes(iniPath);
}

}  // namespace
