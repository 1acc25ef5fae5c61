// P1, the idle pass: what the engine's change test (one full load of the
// settings from the registry and its comparison with the settings in force)
// costs over the registry calls it cannot avoid. 32 linesets are stored;
// the baseline opens the same keys and queries the same values with nothing
// but RegOpenKeyExW, RegQueryValueExW and RegCloseKey. Then the real run
// loop idles for a while (no lineset due) and the processor time it uses
// per second is measured.
//
// Usage: bench_idle_pass [calls of each side] [idle seconds]
// Environment: OSTREL_WINESERVER_PID, when set, adds the wineserver's own
// processor time (read from /proc through Wine's Z: drive) to the idle
// figure, since under Wine the registry lives in that process.

#include "bench/BenchSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "Ostrel/Service/Service.h"
#include "Ostrel/Service/Settings.h"
#include "Ostrel/Service/SettingsMonitor.h"
#include "support/ConfigurationKey.h"

namespace {

const int linesetCount = 32;
const wchar_t* const valueNames[] = {L"Name",          L"LineMode",      L"Interval",        L"ScheduleMode",
                                     L"DailyHour",     L"DailyMinute",   L"WeeklyHour",      L"WeeklyMinute",
                                     L"WeeklyWeekday", L"PeriodicHours", L"PeriodicMinutes", L"PeriodicStartTime",
                                     L"Lines"};

// 32 linesets as a site would have them, none due for the next twelve hours.
void storeSettings()
{
    using namespace boost::posix_time;
    auto settings = boost::make_shared<Ostrel::Settings>();
    const ptime start = second_clock::local_time() + hours(12);
    for (int i = 0; i < linesetCount; ++i) {
        Ostrel::LinesetSettings l;
        l.name = "Lineset " + std::to_string(i + 1) + " night recording";
        l.mode = i % 2 ? "CNT" : "ALWAYS";
        l.interval = seconds(1800);
        l.schedule.scheduleMode = Ostrel::Periodic;
        l.schedule.periodicHours = 24;
        l.schedule.periodicMinutes = 0;
        l.schedule.periodicStartTime = start + minutes(i);
        for (int line = 1; line <= 8; ++line)
            l.lines.push_back(i * 8 + line);
        settings->linesets.push_back(l);
    }
    deleteConfigurationKey();
    Ostrel::saveSettings(settings);
}

// The bare registry traffic of one load: every key opened once, every value
// queried once into a buffer large enough for it.
struct BareLoad {
    const std::wstring root = Ostrel::settingsKeyName();
    std::vector<std::wstring> subkeys;
    BareLoad()
    {
        for (int n = 1; n <= linesetCount; ++n)
            subkeys.push_back(Ostrel::settingsKeyName(n));
    }
    DWORD operator()() const
    {
        BYTE buffer[512];
        DWORD sum = 0;
        HKEY key;
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, KEY_READ | Ostrel::settingsKeyView, &key);
        DWORD size = sizeof buffer;
        RegQueryValueExW(key, L"Count", nullptr, nullptr, buffer, &size);
        sum += size;
        RegCloseKey(key);
        for (const std::wstring& subkey : subkeys) {
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ | Ostrel::settingsKeyView, &key);
            for (const wchar_t* name : valueNames) {
                size = sizeof buffer;
                RegQueryValueExW(key, name, nullptr, nullptr, buffer, &size);
                sum += size;
            }
            RegCloseKey(key);
        }
        return sum;
    }
};

template <class F>
double secondsOf(F f)
{
    const double start = bench::now();
    f();
    return bench::now() - start;
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

}  // namespace

int main(int argc, char** argv)
{
    const int calls = argc > 1 ? std::atoi(argv[1]) : 400;
    const double idleSeconds = argc > 2 ? std::atof(argv[2]) : 8;
    storeSettings();

    Ostrel::SettingsMonitor<Ostrel::Settings> monitor;
    monitor.setCurrent(Ostrel::loadSettings());
    const BareLoad bare;
    if (monitor.changed()) {
        bench::print("the change test sees a change in settings it was just given\n");
        return 1;
    }

    // Calls alternate one by one, so that a change of the machine's load
    // meets both sides alike; the medians of the single calls are compared.
    std::vector<double> engineTimes, bareTimes;
    for (int i = 0; i < 5; ++i)  // warm the registry's caches
        monitor.changed(), bare();
    for (int i = 0; i < calls; ++i) {
        engineTimes.push_back(secondsOf([&] { return monitor.changed(); }));
        bareTimes.push_back(secondsOf(bare));
    }
    const double ratio = bench::median(engineTimes) / bench::median(bareTimes);
    bench::print(
        "P1 change test, %d linesets, %d calls each: engine %.3f ms, bare registry calls %.3f ms per pass "
        "(medians)\n",
        linesetCount, calls, bench::median(engineTimes) * 1e3, bench::median(bareTimes) * 1e3);

    // The real loop, idle: four passes a second, nothing due.
    const char* wineserver = std::getenv("OSTREL_WINESERVER_PID");
    double serverCpu = -1;
    double cpu = 0, wall = 0;
    {
        bench::QuietLog quiet;
        auto service = boost::make_shared<Ostrel::Service>();
        boost::thread loop([service] { service->run(); });
        boost::this_thread::sleep_for(boost::chrono::seconds(1));  // past the start-up
        const double cpu0 = bench::processCpuSeconds(), wall0 = bench::now();
        const double server0 = wineserver ? linuxCpuSeconds(wineserver) : -1;
        boost::this_thread::sleep_for(boost::chrono::milliseconds(static_cast<long>(idleSeconds * 1000)));
        cpu = bench::processCpuSeconds() - cpu0;
        wall = bench::now() - wall0;
        if (server0 >= 0)
            serverCpu = linuxCpuSeconds(wineserver) - server0;
        loop.interrupt();
        loop.join();
    }
    bench::print("P1 idle run loop over %.1f s: %.1f ms of processor time per second in the process", wall,
                 cpu / wall * 1e3);
    if (serverCpu >= 0)
        bench::print(", %.1f ms per second in the wineserver (the registry under Wine)", serverCpu / wall * 1e3);
    bench::print("\n");
    deleteConfigurationKey();
    bench::print("P1 idle pass ratio (engine change test / bare registry calls): %.3f (target <= 1.10)\n", ratio);
    return 0;
}
