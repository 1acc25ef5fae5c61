// P2, the line-mode write: setLineModeInLoggerINI on a logger.ini of 256
// line sections (about 30 KB, the keys a logging application keeps per
// line) against the cost nobody can avoid: the same file opened, locked,
// read whole, rewritten whole from offset 0, cut, unlocked and closed with
// the same Win32 calls and nothing else.
//
// Also the durable revert: a line's revert step (revertLineInLoggerINI,
// which brings logger.ini to disk before the line's record may go) against
// the same raw rewrite followed by FlushFileBuffers; and restoreLine whole,
// with the backup file's own durable replace, for comparison.
//
// Usage: bench_line_mode_write [calls of each side]

#include "bench/BenchSupport.h"

#include <cstdlib>
#include <stdexcept>

#include "Ostrel/modebackup/ModeBackup.h"
#include "support/TempDirectory.h"
#include "utillib_configfile/CfgRenderedText.h"
#include "utillib_configfile/ConfigFile.h"

namespace {

const int sectionCount = 256;

std::string loggerIni()
{
    std::string text = "[General]\r\nStation=Bench FM\r\nLines=256\r\n\r\n";
    for (int line = 1; line <= sectionCount; ++line) {
        const std::string n = std::to_string(line);
        text += "[" + Ostrel::lineSectionName(line) + "]\r\n";
        text += "Name=Studio line " + n + "\r\n";
        text += "Mode=REC\r\n";
        text += "Source=Input " + n + "\r\n";
        text += "Path=D:\\Logger\\Line" + n + "\\\r\n";
        text += "Retention=90\r\n";
        text += "; split at the top of each hour\r\n";
        text += "\r\n";
    }
    return text;
}

// The stages of a write, timed one by one, to show where the time goes.
enum Stage { openAndLock, read, edit, write, unlockAndClose, stageCount };
const char* const stageNames[stageCount] = {"open+lock", "read", "edit", "write", "unlock+close"};
using StageTimes = std::vector<double>[stageCount];

class StageClock {
public:
    explicit StageClock(StageTimes& times) : times(times), start(bench::now()) {}
    void done(Stage stage)
    {
        const double end = bench::now();
        times[stage].push_back(end - start);
        start = end;
    }

private:
    StageTimes& times;
    double start;
};

// Everything the write cannot do without: the calls of the file layer
// (CreateFileA with the same access and sharing, LockFileEx, ReadFile until
// the end, SetFilePointer, WriteFile, SetEndOfFile, UnlockFileEx,
// CloseHandle), the bytes read written back unchanged; a durable one also
// calls FlushFileBuffers before the unlock.
enum class Flush { none, toDisk };
void rawRewrite(const std::string& path, std::string& buffer, StageTimes& times, Flush flush = Flush::none)
{
    StageClock clock(times);
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED whole = {};
    LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 0xFFFFFFFF, 0xFFFFFFFF, &whole);
    clock.done(openAndLock);
    buffer.resize(64 * 1024);
    DWORD total = 0, got = 0;
    while (ReadFile(file, &buffer[total], DWORD(buffer.size() - total), &got, nullptr) && got > 0)
        total += got;
    clock.done(read);
    clock.done(edit);
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    DWORD written = 0;
    WriteFile(file, buffer.data(), total, &written, nullptr);
    SetEndOfFile(file);
    if (flush == Flush::toDisk)
        FlushFileBuffers(file);
    clock.done(write);
    UnlockFileEx(file, 0, 0xFFFFFFFF, 0xFFFFFFFF, &whole);
    CloseHandle(file);
    clock.done(unlockAndClose);
}

// The steps setLineModeInLoggerINI takes on a file in the form the INI model
// writes, with the same calls, each stage timed; the lookup is kept from
// call to call as the service keeps its own.
void productStages(const std::string& path, int line, const std::string& mode, C_CfgRenderedLookup& lookup,
                   StageTimes& times)
{
    StageClock clock(times);
    {
        C_ConfigFile ini(path, C_ConfigFile::modeRead | C_ConfigFile::modeUpdate | C_ConfigFile::modeNoLoad);
        clock.done(openAndLock);
        std::string text = ini.readText();
        clock.done(read);
        if (!lookup.set(text, Ostrel::lineSectionName(line), "Mode", mode))
            throw std::logic_error("the benchmark's logger.ini is not in rendered form");
        clock.done(edit);
        ini.commitText(text);
        clock.done(write);
    }
    clock.done(unlockAndClose);
}

template <class F>
double secondsOf(F f)
{
    const double start = bench::now();
    f();
    return bench::now() - start;
}

}  // namespace

int main(int argc, char** argv)
{
    const int calls = argc > 1 ? std::atoi(argv[1]) : 400;
    TempDirectory dir;
    const std::string text = loggerIni();
    const std::string path = dir.write("logger.ini", text);
    std::string buffer;

    // Same-length modes keep the file's size, so both sides move the same bytes.
    const char* const modes[] = {"CNT", "REC"};
    std::vector<double> product, raw, unseen, parse, render;
    StageTimes productStageTimes, rawStageTimes;
    C_CfgFileSnapshot snapshot;
    C_CfgRenderedLookup stagesLookup;
    for (int i = 0; i < 10; ++i)
        Ostrel::setLineModeInLoggerINI(1 + i, modes[i % 2], path), rawRewrite(path, buffer, rawStageTimes);
    // The figure: nothing else writes the file meanwhile, as at a site where
    // only the service changes the modes.
    for (int i = 0; i < calls; ++i) {
        const int line = 1 + (i * 37) % sectionCount;
        product.push_back(secondsOf([&] { Ostrel::setLineModeInLoggerINI(line, modes[i % 2], path); }));
        raw.push_back(secondsOf([&] { rawRewrite(path, buffer, rawStageTimes); }));
    }
    // Where the time goes, and what a text costs that the lookup has not
    // seen (logger.ini changed by another program since the last write).
    for (auto& times : rawStageTimes)
        times.clear();
    for (int i = 0; i < calls; ++i) {
        const int line = 1 + (i * 37) % sectionCount;
        productStages(path, line, modes[i % 2], stagesLookup, productStageTimes);
        rawRewrite(path, buffer, rawStageTimes);
        std::string copy = text;
        unseen.push_back(secondsOf([&] { setRenderedValue(copy, Ostrel::lineSectionName(line), "Mode", "CNT"); }));
        parse.push_back(secondsOf([&] { snapshot.parse(text); }));
        render.push_back(secondsOf([&] { snapshot.render(); }));
    }
    // The durable revert. Each call is preceded, untimed, by the write of
    // the mode being reverted, so that both sides bring the same cached
    // data to disk.
    std::vector<double> revertStep, rawDurable, restoreLine;
    StageTimes durableStageTimes;
    const std::vector<std::string> written = {"CNT"};
    for (int i = 0; i < calls; ++i) {
        const int line = 1 + (i * 37) % sectionCount;
        Ostrel::setLineModeInLoggerINI(line, "CNT", path);
        revertStep.push_back(secondsOf([&] { Ostrel::revertLineInLoggerINI(line, "REC", written, path); }));
        Ostrel::setLineModeInLoggerINI(line, "CNT", path);
        Ostrel::setLineModeInLoggerINI(line, "REC", path);
        rawDurable.push_back(secondsOf([&] { rawRewrite(path, buffer, durableStageTimes, Flush::toDisk); }));
    }
    {
        bench::QuietLog quiet;
        Ostrel::ModeBackup backup(Ostrel::LoggerFiles{path, dir.path("modes.bak")});
        for (int i = 0; i < calls / 4; ++i) {
            const int line = 1 + (i * 37) % sectionCount;
            backup.setLineMode(line, "CNT");
            restoreLine.push_back(secondsOf([&] { backup.restoreLine(line); }));
        }
    }
    for (int line = 1; line <= sectionCount; ++line)
        Ostrel::setLineModeInLoggerINI(line, "REC", path);
    if (dir.read("logger.ini") != text) {
        bench::print("P2 logger.ini is not what it was after every mode was put back\n");
        return 1;
    }
    bench::print(
        "P2 logger.ini of %d sections, %zu bytes, %d calls each: setLineModeInLoggerINI %.3f ms, "
        "raw locked read + rewrite + truncate %.3f ms (medians)\n",
        sectionCount, text.size(), calls, bench::median(product) * 1e3, bench::median(raw) * 1e3);
    bench::print("P2 fastest tenth: setLineModeInLoggerINI %.3f ms, raw %.3f ms (ratio %.3f)\n",
                 bench::percentile(product, 0.1) * 1e3, bench::percentile(raw, 0.1) * 1e3,
                 bench::percentile(product, 0.1) / bench::percentile(raw, 0.1));
    for (int stage = 0; stage < stageCount; ++stage)
        bench::print("P2 stage %-12s setLineModeInLoggerINI's steps %.4f ms, raw %.4f ms (medians)\n",
                     stageNames[stage], bench::median(productStageTimes[stage]) * 1e3,
                     bench::median(rawStageTimes[stage]) * 1e3);
    bench::print("P2 edit of a text the lookup has not seen (changed by another program): %.4f ms (median)\n",
                 bench::median(unseen) * 1e3);
    bench::print(
        "P2 for comparison, the INI model alone on the same text: parsing %.3f ms, rendering %.3f ms "
        "(not used when the file is in the form the model writes)\n",
        bench::median(parse) * 1e3, bench::median(render) * 1e3);
    bench::print(
        "P2 durable revert: revertLineInLoggerINI %.3f ms, raw locked read + rewrite + truncate + "
        "FlushFileBuffers %.3f ms; restoreLine with the backup's durable replace %.3f ms (medians)\n",
        bench::median(revertStep) * 1e3, bench::median(rawDurable) * 1e3, bench::median(restoreLine) * 1e3);
    bench::print(
        "P2 durable revert ratio (revertLineInLoggerINI / raw locked rewrite + FlushFileBuffers): %.3f "
        "(target <= 1.2)\n",
        bench::median(revertStep) / bench::median(rawDurable));
    bench::print("P2 line-mode write ratio (setLineModeInLoggerINI / raw locked rewrite): %.3f (target <= 1.5)\n",
                 bench::median(product) / bench::median(raw));
    return 0;
}
