// The real OstrelService.exe in "/console", killed (TerminateProcess, as a
// crash or a power cut would end it) at random moments while its toggles
// run, then started again: after the start-up repair every line of
// logger.ini shows its original mode and the backup file records no line.
//
// Environment: OSTREL_KILLS (default 6; the long form uses 200) and
// OSTREL_SEED (default: from the clock; printed, so a run can be repeated).

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "reliability/ReliabilityFixture.h"

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
}

}  // namespace
