// The real OstrelService.exe in "/console", killed (TerminateProcess, as a
// crash or a power cut would end it) at random moments while its toggles
// run, then started again: after the start-up repair every line of
// logger.ini shows its original mode and the backup file records no line.
//
// Environment: OSTREL_KILLS (default 6; the long form uses 200) and
// OSTREL_SEED (default: from the clock; printed, so a run can be repeated).
// A second test aims its kills at the moments around the record of a line:
// while its save waits, and after it with logger.ini not yet written.

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "reliability/ReliabilityFixture.h"
#include "support/SetPhaseHold.h"
#include "support/SettingsSamples.h"

namespace {

using std::chrono::milliseconds;

// Wine starts a process, and the engine loads 60 linesets, well within it.
const milliseconds startTimeout(60000);

class KillTest : public ReliabilityFixture {};

TEST_F(KillTest, EveryLineHasItsOriginalModeAfterEachRestart)
{
    const long kills = environmentNumber("OSTREL_KILLS", 6);
    const unsigned seed = static_cast<unsigned>(environmentNumber("OSTREL_SEED", long(GetTickCount())));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killAfterMs(300, 3500);

    const std::string original = eightLineIni();
    setIni(original);
    const auto originalModes = iniModes();
    storeTogglingLinesets();

    int linesLost = 0, killsMidToggle = 0, parseFailures = 0;
    for (long k = 0;; ++k) {
        ServiceProcess service;
        // The settings listing comes right after the start-up repair; with
        // Count 0 nothing toggles until the test says so.
        ASSERT_TRUE(service.waitForOutput("Settings:", startTimeout)) << service.output();
        try {
            linesLost += linesOff(originalModes, iniModes());
        } catch (const std::exception& e) {
            ++parseFailures;
            ADD_FAILURE() << "logger.ini does not parse after the repair: " << e.what() << "\n" << ini();
        }
        EXPECT_EQ(backupRecords(), 0u) << backup();
        EXPECT_EQ(ini(), original) << "after " << k << " kills\n" << service.output();
        if (k == kills)
            break;

        setCount(togglingLinesets);
        std::this_thread::sleep_for(milliseconds(killAfterMs(random)));
        service.kill();
        setCount(0);
        try {
            killsMidToggle += linesOff(originalModes, iniModes()) > 0 || backupRecords() > 0;
        } catch (const std::exception& e) {
            ++parseFailures;
            ADD_FAILURE() << "logger.ini or the backup does not parse after a kill: " << e.what() << "\n" << ini();
        }
    }
    std::printf("kills that left lines toggled: %d of %ld (seed %u)\n", killsMidToggle, kills, seed);
    std::printf("kills: %ld, lines lost: %d\n", kills, linesLost);
    std::fflush(stdout);
    EXPECT_EQ(linesLost, 0);
    EXPECT_EQ(parseFailures, 0);
    // A run whose kills all fell between toggles tested no repair.
    EXPECT_GT(killsMidToggle, 0) << "seed " << seed;
}

// Where the kill falls: a change of line 1 waits, holding logger.ini, for
// the save of its record; or the revert, line 1 put back, waits for the save
// that drops its record.
struct AimedKill {
    const char* name;
    bool inTheRevert;
};

class AimedKillTest : public ReliabilityFixture, public testing::WithParamInterface<AimedKill> {};

TEST_P(AimedKillTest, TheNextStartLeavesLoggerIniAsItWas)
{
    const std::string original = eightLineIni();
    setIni(original);
    setBackup(backupfile::declaration);  // the holders need the file
    setPatientBackupWait();
    {
        ServiceProcess service;
        ASSERT_TRUE(service.waitForOutput("Settings:", startTimeout)) << service.output();
        SetPhaseHold hold(iniPath, backupPath);
        if (!GetParam().inTheRevert)
            hold.holdSaves();
        // One toggle alone, so that its held save is the only one waiting:
        // lines 1 and 2, three seconds from now (Count written last), for
        // long enough to hold the saves once both lines are set.
        auto settings = boost::make_shared<Ostrel::Settings>();
        settings->linesets.push_back(
            minutelyLineset("Aimed", {1, 2}, "CNT", boost::posix_time::seconds(5),
                            boost::posix_time::second_clock::local_time() + boost::posix_time::seconds(3)));
        Ostrel::saveSettings(settings);
        if (GetParam().inTheRevert) {
            ASSERT_TRUE(hold.recorded("Line01") && hold.recorded("Line02")) << service.output();
            hold.holdSaves();
            ASSERT_TRUE(hold.revertWaitsBetween("Line01", "Line02")) << service.output();
        } else {
            ASSERT_TRUE(hold.saveHeld("Line01")) << service.output();
        }
        service.kill();
        setCount(0);
    }
    // The holders gone, the files can be read: no mode was written before
    // its record was saved, and a record goes only once its line is back.
    if (GetParam().inTheRevert) {
        EXPECT_THAT(backup(), testing::HasSubstr("<Line02>"));
    } else {
        EXPECT_EQ(ini(), original);
        EXPECT_EQ(backup(), backupfile::declaration);
    }
    ServiceProcess next;
    ASSERT_TRUE(next.waitForOutput("Settings:", startTimeout)) << next.output();
    EXPECT_EQ(ini(), original) << next.output();
    EXPECT_EQ(backupRecords(), 0u) << backup();
}

INSTANTIATE_TEST_SUITE_P(Moments, AimedKillTest,
                         testing::Values(AimedKill{"WhileTheChangesRecordIsSaved", false},
                                         AimedKill{"WhileTheRevertWaitsForLoggerIni", true}),
                         [](const testing::TestParamInfo<AimedKill>& info) { return info.param.name; });

}  // namespace
