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

namespace {

using std::chrono::milliseconds;

// Runs ini_contender (beside this program) to its end; its one output line.
std::string runContender(const std::string& iniPath, long seconds, unsigned seed)
{
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder(self, length);
    folder = folder.substr(0, folder.find_last_of("\\/") + 1);
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = INVALID_HANDLE_VALUE, write = INVALID_HANDLE_VALUE;
    if (!CreatePipe(&read, &write, &inheritable, 0))
        return "no pipe";
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + folder + "ini_contender.exe\" \"" + iniPath + "\" " + std::to_string(seconds) +
                              " " + std::to_string(seed);
    const BOOL started =
        CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(write);
    std::string out;
    if (started) {
        char block[256];
        DWORD got = 0;
        while (ReadFile(read, block, sizeof block, &got, nullptr) && got > 0)
            out.append(block, got);
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        if (code != 0)
            out += " exit " + std::to_string(code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(read);
    return started ? out : "not started";
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
