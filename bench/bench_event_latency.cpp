// Event latency: from a lineset's moment to its new mode in logger.ini, split
// into the stages of the way there, with the engine's real run loop (the
// run() the program runs) in this process: 30 linesets that fire, each on
// its own line and its own even second of the minute (every minute,
// interval 1 s), alone and beside 994 more that stay idle (1024 in all).
// Stages, each counted from the moment:
//   wake-up          the loop has woken and its poll calls the handler
//   thread started   the toggle thread runs toggleLines
//   backup durable   the line's record is in the backup file (it is flushed
//                    before it replaces the old file)
//   logger.ini       the line shows the new mode
// The files are read every millisecond by a watcher thread (a plain read,
// which the service's lock may refuse for a moment). Goal: logger.ini p99
// at most 20 ms at both sizes under Wine on a quiet machine.
//
// Usage: bench_event_latency [events per size (30)]
// It uses the logger.ini, backup file and configuration key of the Wine
// prefix it runs in.

#include "bench/BenchSupport.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "Ostrel/engine/Service.h"
#include "Ostrel/modebackup/ModeBackup.h"
#include "Ostrel/settings/Settings.h"
#include "support/ConfigurationKey.h"
#include "utillib_configfile/CfgFileSnapshot.h"

namespace {

using namespace boost::posix_time;

const int firing = 30;
const char* const eventMode = "EVENT";

// The whole file, or an empty text while the service's lock refuses it.
std::string readUnlocked(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string text(64 * 1024, '\0');
    DWORD got = 0;
    const bool read = ReadFile(file, &text[0], DWORD(text.size()), &got, nullptr);
    CloseHandle(file);
    text.resize(read ? got : 0);
    return text;
}

// The moment of firing lineset k (second 2k of each minute) that came last
// before t.
ptime momentBefore(int k, const ptime& t)
{
    const time_duration ofDay = t.time_of_day();
    ptime moment(t.date(), hours(ofDay.hours()) + minutes(ofDay.minutes()) + seconds(2 * k));
    if (moment > t)
        moment -= minutes(1);
    return moment;
}

double millisecondsAfter(const ptime& moment, const ptime& t)
{
    return (t - moment).total_microseconds() / 1e3;
}

enum Stage { wakeUp, threadStarted, backupDurable, iniWritten, stages };
const char* const stageNames[stages] = {"wake-up of the loop", "toggle thread started", "backup record durable",
                                        "logger.ini written"};

// Latencies of each stage, in milliseconds.
struct Latencies {
    std::mutex mutex;
    std::vector<double> of[stages];

    void add(Stage stage, double ms)
    {
        std::lock_guard<std::mutex> lock(mutex);
        of[stage].push_back(ms);
    }
    std::size_t count(Stage stage)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return of[stage].size();
    }
};

// The engine noting when its loop hands an event over and when the toggle
// thread begins.
class TimedService : public Ostrel::Service {
public:
    explicit TimedService(Latencies& latencies) : Service(Ostrel::loggerFilesInWindowsDirectory()), latencies(latencies)
    {
    }

    void handleScheduleEvent(const boost::shared_ptr<const ScheduleEvent>& due,
                             const boost::shared_ptr<const ScheduleEvent>& following) override
    {
        const ptime now = microsec_clock::local_time();
        latencies.add(wakeUp, millisecondsAfter(due->time, now));
        Service::handleScheduleEvent(due, following);
    }

    void toggleLines(boost::shared_ptr<const Ostrel::LinesetSettings> lineset) override
    {
        const ptime now = microsec_clock::local_time();
        latencies.add(threadStarted, millisecondsAfter(momentBefore(lineset->lines.front() - 1, now), now));
        Service::toggleLines(lineset);
    }

private:
    Latencies& latencies;
};

void prepare(int linesets)
{
    const Ostrel::LoggerFiles files = Ostrel::loggerFilesInWindowsDirectory();
    {
        std::ofstream out(files.iniPath, std::ios::binary | std::ios::trunc);
        for (int line = 1; line <= firing; ++line)
            out << "[" << Ostrel::lineSectionName(line) << "]\r\nName=Studio " << line << "\r\nMode=REC\r\n";
    }
    DeleteFileA(files.backupPath.c_str());
    auto settings = boost::make_shared<Ostrel::Settings>();
    for (int k = 0; k < linesets; ++k) {
        Ostrel::LinesetSettings l;
        l.name = "Lineset " + std::to_string(k);
        l.mode = eventMode;
        l.interval = seconds(1);
        l.schedule.scheduleMode = Ostrel::Periodic;
        if (k < firing) {
            l.schedule.periodicMinutes = 1;
            l.schedule.periodicStartTime = ptime(boost::gregorian::date(2026, 1, 1), seconds(2 * k));
            l.lines = {k + 1};
        } else {
            // Idle: once a day, twelve hours from now.
            l.schedule.periodicHours = 24;
            l.schedule.periodicStartTime = second_clock::local_time() + hours(12);
            l.lines = {firing + 1 + k % 64};
        }
        settings->linesets.push_back(l);
    }
    deleteConfigurationKey();
    Ostrel::saveSettings(settings);
}

// Reads logger.ini and the backup file every millisecond and notes when a
// line first shows the event mode and when its record first appears.
void watch(Latencies& latencies, const std::atomic<bool>& stop)
{
    const Ostrel::LoggerFiles files = Ostrel::loggerFilesInWindowsDirectory();
    std::map<int, bool> shown, recorded;
    while (!stop) {
        const std::string ini = readUnlocked(files.iniPath);
        const ptime iniSeen = microsec_clock::local_time();
        const std::string backup = readUnlocked(files.backupPath);
        const ptime backupSeen = microsec_clock::local_time();
        C_CfgFileSnapshot snapshot;
        bool parsed = true;
        try {
            snapshot.parse(ini);
        } catch (const std::exception&) {
            parsed = false;  // caught in the middle of a write
        }
        for (int k = 0; k < firing; ++k) {
            const std::string section = Ostrel::lineSectionName(k + 1);
            const bool inBackup = backup.find("<" + section + ">") != std::string::npos;
            if (inBackup && !recorded[k])
                latencies.add(backupDurable, millisecondsAfter(momentBefore(k, backupSeen), backupSeen));
            if (!backup.empty())
                recorded[k] = inBackup;
            const C_CfgFileSection* found = parsed ? snapshot.findSection(section) : nullptr;
            if (!found)
                continue;  // a read refused or cut short
            const bool now = found->getValueOr("Mode", "") == eventMode;
            if (now && !shown[k])
                latencies.add(iniWritten, millisecondsAfter(momentBefore(k, iniSeen), iniSeen));
            shown[k] = now;
        }
        Sleep(1);
    }
}

// Runs the engine over `linesets` until `events` toggles reached logger.ini;
// prints each stage and returns the logger.ini p99.
double measure(int linesets, int events)
{
    prepare(linesets);
    Latencies latencies;
    {
        bench::QuietLog quiet;
        auto service = boost::make_shared<TimedService>(latencies);
        boost::thread loop([service] { service->run(); });
        std::atomic<bool> stop{false};
        boost::thread watcher([&] { watch(latencies, stop); });
        const double deadline = bench::now() + 2.5 * events + 60;
        while (latencies.count(iniWritten) < std::size_t(events) && bench::now() < deadline)
            Sleep(100);
        stop = true;
        watcher.join();
        loop.interrupt();
        loop.join();
    }
    bench::print("latency after the moment, %d linesets (%d firing), ms:   p50     p99     max   (events)\n", linesets,
                 firing);
    for (int s = 0; s < stages; ++s) {
        const std::vector<double>& v = latencies.of[s];
        bench::print("  %-24s %7.1f %7.1f %7.1f   (%zu)\n", stageNames[s], bench::median(v), bench::percentile(v, 0.99),
                     bench::percentile(v, 1.0), v.size());
    }
    return bench::percentile(latencies.of[iniWritten], 0.99);
}

}  // namespace

int main(int argc, char** argv)
{
    const int events = argc > 1 ? std::atoi(argv[1]) : 30;
    const double small = measure(firing, events);
    const double large = measure(1024, events);
    deleteConfigurationKey();
    bench::print("event latency to logger.ini, p99: %.1f ms at %d linesets, %.1f ms at 1024 (goal: at most 20 ms)\n",
                 small, firing, large);
    return 0;
}
