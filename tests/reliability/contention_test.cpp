// The real OstrelService.exe in "/console" toggling while another process
// (ini_contender) takes the exclusive lock of logger.ini for random spans
// and rewrites other sections. The two writers must have taken turns on the
// file, and the service must have logged no error. Afterwards no write of
// either side is lost: the file is the original byte for byte but for the
// contender's two values, and the backup records no line.
//
// Environment: OSTREL_CONTENTION_SECONDS (default 12; the long form uses
// 600) and OSTREL_SEED.

#include <chrono>
#include <cstdio>

#include "reliability/ReliabilityFixture.h"
#include "support/Eventually.h"
#include "support/RunProgram.h"
#include "utf/Utf.h"

namespace {

using std::chrono::milliseconds;

// Runs ini_contender (beside this program) to its end; its one output line.
std::string runContender(const std::string& iniPath, long seconds, unsigned seed)
{
    const ProgramResult result = runProgram(L"\"" + besideThisProgram(L"ini_contender.exe") + L"\" \"" +
                                                utf::widen(iniPath) + L"\" " + std::to_wstring(seconds) + L" " +
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

    // Switched off: once the engine has read Count 0 (its settings listing
    // follows), no toggle starts, and those still running revert within
    // their 2 s, whatever the contender left locked meanwhile.
    const std::size_t listings = service.count("Settings:");
    setCount(0);
    ASSERT_TRUE(
        service.waitForText([&](const std::string& out) { return occurrences(out, "Settings:") > listings; }, 60000))
        << service.output();
    EXPECT_TRUE(service.waitForText(
        [&](const std::string& out) {
            return occurrences(out, "] : Reverting [") >= occurrences(out, "] : Setting [");
        },
        60000))
        << service.output();
    // A revert is logged before it writes: the last one is done once the
    // backup records no line (a record goes only after its revert is on
    // disk).
    EXPECT_TRUE(eventually(
        [&] {
            try {
                return backupRecords() == 0;
            } catch (const std::exception&) {
                return false;  // held by the service or read while being replaced
            }
        },
        60000))
        << backup();
    EXPECT_TRUE(service.running()) << service.output();
    EXPECT_EQ(service.count("ERROR"), 0u) << service.output();
    const std::size_t toggles = service.count("] : Setting [");
    service.kill();
    const std::string log = service.output();

    long writes = -1, lost = -1, foreign = -1;
    ASSERT_EQ(std::sscanf(contender.c_str(), "writes %ld lost %ld foreign %ld", &writes, &lost, &foreign), 3)
        << contender;
    std::map<std::string, std::string> modes;
    ASSERT_NO_THROW(modes = iniModes()) << ini();
    EXPECT_EQ(linesOff(originalModes, modes), 0) << ini() << log;
    // Every other key, comment and blank line as it was: only the
    // contender's counter and stamp differ.
    C_CfgFileSnapshot now;
    now.parse(ini());
    std::string expected = original;
    expected.replace(expected.find("Writes=0"), 8, "Writes=" + std::to_string(writes));
    expected.replace(expected.find("Stamp=0"), 7, "Stamp=" + now.getSection("General").getValue("Stamp"));
    EXPECT_EQ(ini(), expected);
    EXPECT_EQ(backupRecords(), 0u) << backup() << log;
    EXPECT_EQ(lost, 0);
    EXPECT_GT(toggles, 0u);
    EXPECT_GT(writes, 0);
    // The service wrote between the contender's writes: they overlapped.
    EXPECT_GT(foreign, 0);
    std::printf(
        "contention for %ld s (seed %u): %zu toggles, %ld writes by the other process, %ld of its locks "
        "found the service's writes, writes lost: %ld\n",
        seconds, seed, toggles, writes, foreign, lost);
    std::fflush(stdout);
}

}  // namespace
