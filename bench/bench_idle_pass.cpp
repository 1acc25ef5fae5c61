// The idle run loop and the way to a new timetable. For 32, 256 and 1024
// linesets, none due: the processor time per second of the real run loop
// idling (and of the wineserver, which holds the registry under Wine, when
// its process id is given), with the allocations it made meanwhile; then
// the time from a registry write that changes the settings to the
// timetable rebuilt from them (p50, p99; goal: one pass, 250 ms), and of
// that the part spent reading the settings from the registry alone.
//
// The wineserver's time with no engine running is measured first, as the
// floor of the figures after it (Wine's own background work).
//
// Usage: bench_idle_pass [idle seconds (10)] [writes per size (40)]
// Environment: OSTREL_WINESERVER_PID, when set, adds the wineserver's own
// processor time (read from /proc through Wine's Z: drive).

#include "bench/BenchSupport.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "Ostrel/engine/Service.h"
#include "Ostrel/settings/Settings.h"
#include "support/ConfigurationKey.h"

// Every allocation of the program counted, to show that an idle pass makes
// none.
namespace {
std::atomic<unsigned long> allocations{0};
}

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

// Linesets as a site would have them, none due for the next twelve hours.
void storeSettings(int linesets)
{
    using namespace boost::posix_time;
    auto settings = boost::make_shared<Ostrel::Settings>();
    const ptime start = second_clock::local_time() + hours(12);
    for (int i = 0; i < linesets; ++i) {
        Ostrel::LinesetSettings l;
        l.name = "Lineset " + std::to_string(i + 1) + " night recording";
        l.mode = i % 2 ? "CNT" : "ALWAYS";
        l.interval = seconds(1800);
        l.schedule.scheduleMode = Ostrel::Periodic;
        l.schedule.periodicHours = 24;
        l.schedule.periodicMinutes = 0;
        l.schedule.periodicStartTime = start + minutes(i % 600);
        for (int line = 1; line <= 8; ++line)
            l.lines.push_back(i * 8 % 256 + line);
        settings->linesets.push_back(l);
    }
    deleteConfigurationKey();
    Ostrel::saveSettings(settings);
}

// utime + stime of a Linux process in seconds, or a negative number.
double linuxCpuSeconds(const char* pid)
{
    std::ifstream stat(std::string("Z:\\proc\\") + pid + "\\stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::atof(field.c_str());
    return ticks / 100.0;  // USER_HZ
}

// Waits until the engine has built more than `built` timetables.
bool waitForTimetable(const Ostrel::Service& service, unsigned built, double seconds)
{
    const double deadline = bench::now() + seconds;
    while (service.timetablesBuilt() <= built) {
        if (bench::now() > deadline)
            return false;
        Sleep(1);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 10;
    const int writes = argc > 2 ? std::atoi(argv[2]) : 40;
    const char* wineserver = std::getenv("OSTREL_WINESERVER_PID");
    if (wineserver) {
        // What the Wine session costs the wineserver without the engine.
        const double server0 = linuxCpuSeconds(wineserver), wall0 = bench::now();
        boost::this_thread::sleep_for(boost::chrono::milliseconds(static_cast<long>(idleSeconds * 1000)));
        const double wall = bench::now() - wall0;
        const double server = linuxCpuSeconds(wineserver) - server0;
        bench::print("no engine, %.1f s: wineserver %.2f ms/s (%.3f %% of a core)\n", wall, server / wall * 1e3,
                     server / wall * 100);
    }
    for (const int linesets : {32, 256, 1024}) {
        storeSettings(linesets);
        bench::QuietLog quiet;
        auto service = boost::make_shared<Ostrel::Service>(Ostrel::loggerFilesInWindowsDirectory());
        boost::thread loop([service] { service->run(); });
        if (!waitForTimetable(*service, 0, 120)) {
            bench::print("the engine built no timetable\n");
            return 1;
        }
        boost::this_thread::sleep_for(boost::chrono::seconds(1));  // past the start-up

        const double cpu0 = bench::processCpuSeconds(), wall0 = bench::now();
        const double server0 = wineserver ? linuxCpuSeconds(wineserver) : -1;
        const unsigned long allocated0 = allocations;
        boost::this_thread::sleep_for(boost::chrono::milliseconds(static_cast<long>(idleSeconds * 1000)));
        const unsigned long allocated = allocations - allocated0;
        const double wall = bench::now() - wall0;
        const double cpu = bench::processCpuSeconds() - cpu0;
        bench::print("idle, %4d linesets, %.1f s: program %.2f ms/s (%.3f %% of a core), %lu allocations", linesets,
                     wall, cpu / wall * 1e3, cpu / wall * 100, allocated);
        if (server0 >= 0) {
            const double server = linuxCpuSeconds(wineserver) - server0;
            bench::print(", wineserver %.2f ms/s (%.3f %% of a core)", server / wall * 1e3, server / wall * 100);
        }
        bench::print("\n");

        // Each write changes the first lineset's interval; the clock runs
        // from just before the write to the timetable built from it.
        std::vector<double> rebuilt, read;
        for (int i = 0; i < writes; ++i) {
            const unsigned built = service->timetablesBuilt();
            const double start = bench::now();
            setConfigurationDword(L"1", L"Interval", DWORD(1000 + i));
            if (!waitForTimetable(*service, built, 10)) {
                bench::print("a write was never applied\n");
                return 1;
            }
            rebuilt.push_back(bench::now() - start);
            boost::this_thread::sleep_for(boost::chrono::milliseconds(50 + 37 * (i % 5)));
        }
        loop.interrupt();
        loop.join();
        // The same read as the engine's after such a write, without it.
        for (int i = 0; i < writes; ++i) {
            setConfigurationDword(L"1", L"Interval", DWORD(2000 + i));
            const double start = bench::now();
            Ostrel::loadSettings();
            read.push_back(bench::now() - start);
        }
        bench::print(
            "write to rebuilt timetable, %4d linesets, %d writes: p50 %.1f ms, p99 %.1f ms (goal: one pass, "
            "250 ms); the settings read alone: p50 %.1f ms, p99 %.1f ms\n",
            linesets, writes, bench::median(rebuilt) * 1e3, bench::percentile(rebuilt, 0.99) * 1e3,
            bench::median(read) * 1e3, bench::percentile(read, 0.99) * 1e3);
    }
    deleteConfigurationKey();
    return 0;
}
