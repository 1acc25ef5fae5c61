// P3, lock hand-off: a second process (file_holder) holds the exclusive lock
// of a logger.ini while the product's INI file (update mode, waiting without
// time-out) tries to take it; the holder releases at a random moment. The
// delay from the release to the acquisition is what the retry policy costs:
// ten yields, then sleeps growing by 10 ms to 100 ms, so it stays near
// 100 ms at most.
//
// Usage: bench_lock_handoff [samples (40)] [seed]
// The release moment is taken as the moment the command to unlock is sent,
// so the figures include the pipe to the holder (printed as well).

#include "bench/BenchSupport.h"

#include <atomic>
#include <cstdlib>
#include <random>

#include <boost/thread/thread.hpp>

#include "support/FileHolder.h"
#include "support/TempDirectory.h"
#include "utillib_configfile/ConfigFile.h"

int main(int argc, char** argv)
{
    const int samples = argc > 1 ? std::atoi(argv[1]) : 40;
    const unsigned seed = argc > 2 ? unsigned(std::atol(argv[2])) : unsigned(GetTickCount());
    std::mt19937 random(seed);
    // Holds from a few milliseconds (the yields still run) to well past the
    // point where the sleeps have reached their 100 ms ceiling.
    std::uniform_int_distribution<int> holdMs(5, 1500);

    TempDirectory dir;
    const std::string path = dir.write("logger.ini", "[Line01]\r\nMode=REC\r\n");
    FileHolder holder;
    holder.require("open " + path);

    std::vector<double> delays, pipe;
    for (int i = 0; i < samples; ++i) {
        holder.require("lock exclusive");
        std::atomic<double> acquired(0);
        boost::thread waiter([&] {
            C_ConfigFile ini(path, C_ConfigFile::modeRead | C_ConfigFile::modeUpdate);
            acquired = bench::now();
        });
        boost::this_thread::sleep_for(boost::chrono::milliseconds(holdMs(random)));
        const double released = bench::now();
        holder.send("unlock");
        const std::string answer = holder.reply();
        pipe.push_back(bench::now() - released);
        waiter.join();
        if (answer != "ok") {
            bench::print("P3 the holder could not unlock: %s\n", answer.c_str());
            return 1;
        }
        delays.push_back(acquired - released);
    }
    bench::print("P3 %d hand-offs (seed %u), holder's unlock round trip %.2f ms median; max delay %.1f ms\n", samples,
                 seed, bench::median(pipe) * 1e3, bench::percentile(delays, 1.0) * 1e3);
    bench::print("P3 lock hand-off delay from release to acquisition: p50 %.1f ms, p99 %.1f ms\n",
                 bench::median(delays) * 1e3, bench::percentile(delays, 0.99) * 1e3);
    return 0;
}
