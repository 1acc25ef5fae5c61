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

// The kill falls while a toggle's record of line 1 waits to be saved, or
// once it is saved and logger.ini, held by another process, not yet written.
struct AimedKill {
    const char* name;
    bool recordSaved;
};

class AimedKillTest : public ReliabilityFixture, public testing::WithParamInterface<AimedKill> {};

TEST_P(AimedKillTest, TheNextStartLeavesLoggerIniAsItWas)
{
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
    const std::string original = eightLineIni();
    setIni(original);
    setBackup(declaration);  // the holders need the file
    {
        ServiceProcess service;
        ASSERT_TRUE(service.waitForOutput("Settings:", startTimeout)) << service.output();
        SetPhaseHold hold(iniPath, backupPath);
        hold.holdSaves();
        // One toggle alone, so that its held save is the only one waiting:
        // lines 1 and 2, three seconds from now (Count written last).
        auto settings = boost::make_shared<Ostrel::Settings>();
        settings->linesets.push_back(
            minutelyLineset("Aimed", {1, 2}, "CNT", boost::posix_time::seconds(2),
                            boost::posix_time::second_clock::local_time() + boost::posix_time::seconds(3)));
        Ostrel::saveSettings(settings);
        if (GetParam().recordSaved)
            ASSERT_TRUE(hold.stopBefore("Line01")) << service.output();
        else
            ASSERT_TRUE(hold.saveHeld("Line01")) << service.output();
        service.kill();
        setCount(0);
    }
    // The holders gone, the files can be read: no mode was written before
    // its record was saved.
    EXPECT_EQ(ini(), original);
    if (GetParam().recordSaved)
        EXPECT_THAT(backup(), testing::HasSubstr("<Line01>"));
    else
        EXPECT_EQ(backup(), declaration);
    ServiceProcess next;
    ASSERT_TRUE(next.waitForOutput("Settings:", startTimeout)) << next.output();
    EXPECT_EQ(ini(), original) << next.output();
    EXPECT_EQ(backupRecords(), 0u) << backup();
}

INSTANTIATE_TEST_SUITE_P(Moments, AimedKillTest,
                         testing::Values(AimedKill{"WhileTheRecordIsSaved", false},
                                         AimedKill{"AfterTheRecordBeforeLoggerIni", true}),
                         [](const testing::TestParamInfo<AimedKill>& info) { return info.param.name; });

}  // namespace
