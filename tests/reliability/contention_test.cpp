// The real OstrelService.exe in "/console" toggling while another process
// (ini_contender) takes the exclusive lock of logger.ini for random spans
// and rewrites other sections. Afterwards no write of either side is lost:
// the file parses, the contender's counter holds its last value, and every
// line has its original mode again.
//
// Environment: OSTREL_CONTENTION_SECONDS (default 12; the long form uses
// 600) and OSTREL_SEED.

#include <chrono>
#include <cstdio>
#include <thread>

#include "reliability/ReliabilityFixture.h"
#include "support/RunProgram.h"

namespace {

using std::chrono::milliseconds;

// Runs ini_contender (beside this program) to its end; its one output line.
std::string runContender(const std::string& iniPath, long seconds, unsigned seed)
{
    const ProgramResult result =
        runProgram(L"\"" + besideThisProgram(L"ini_contender.exe") + L"\" \"" +
                       boost::locale::conv::utf_to_utf<wchar_t>(iniPath) + L"\" " + std::to_wstring(seconds) + L" " +
                       std::to_wstring(seed),
                   INFINITE);
    return result.exitCode == 0 ? result.output : result.output + " exit " + std::to_string(result.exitCode);
}

class ContentionTest : public ReliabilityFixture {};

TEST_F(ContentionTest, NoWriteIsLostWhileAnotherProcessHoldsAndRewritesTheFile)
{
    const long seconds = environmentNumber("OSTREL_CONTENTION_SECONDS", 12);
    const unsigned seed = static_cast<unsigned>(environmentNumber("OSTREL_SEED", long(GetTickCount())));
    const std::string original = eightLineIni() + "[Contender]\r\nWrites=0\r\n";
    setIni(original);
    const auto originalModes = iniModes();
    storeTogglingLinesets();

    ServiceProcess service;
    ASSERT_TRUE(service.waitForOutput("Settings:", milliseconds(60000))) << service.output();
    setCount(togglingLinesets);
    const std::string contender = runContender(iniPath, seconds, seed);

    // Switched off; the toggles still running revert within their 2 s.
    setCount(0);
    std::this_thread::sleep_for(milliseconds(4000));
    for (int wait = 0; wait < 100 && service.count("] : Reverting [") < service.count("] : Setting ["); ++wait)
        std::this_thread::sleep_for(milliseconds(100));
    EXPECT_TRUE(service.running()) << service.output();
    const std::size_t toggles = service.count("] : Setting [");
    service.kill();

    long writes = -1, lost = -1;
    ASSERT_EQ(std::sscanf(contender.c_str(), "writes %ld lost %ld", &writes, &lost), 2) << contender;
    std::map<std::string, std::string> modes;
    ASSERT_NO_THROW(modes = iniModes()) << ini();
    C_CfgFileSnapshot now;
    now.parse(ini());
    EXPECT_EQ(now.getSection("Contender").getValue("Writes"), std::to_string(writes));
    EXPECT_EQ(linesOff(originalModes, modes), 0) << ini();
    EXPECT_EQ(backupRecords(), 0u) << backup();
    EXPECT_EQ(lost, 0);
    EXPECT_GT(toggles, 0u);
    EXPECT_GT(writes, 0);
    std::printf("contention for %ld s (seed %u): %zu toggles, %ld writes by the other process, writes lost: %ld\n",
                seconds, seed, toggles, writes, lost);
    std::fflush(stdout);
}

}  // namespace
