// P4, event latency: from a lineset's moment to its new mode being visible
// in logger.ini, with the real OstrelService.exe in "/console". Thirty
// linesets, each on its own line and on its own even second of the minute
// (every minute, interval 1 s), so events come every two seconds without
// overlapping. A watcher reads logger.ini every 2 ms (a plain read, which
// the service's lock may refuse for a moment) and notes when a line first
// shows the new mode. The run loop wakes just past an event's moment, so
// the latency is the wake-up, the toggle thread's start and the write of
// the backup file and logger.ini (plus up to 2 ms of the watcher's own
// polling). Goal: p99 at most 20 ms under Wine. The moment the toggle
// thread's "Setting" line is read from the service's output is reported as
// well: that part is the run loop's.
//
// Usage: bench_event_latency [events (50)]
// It uses the logger.ini, backup file and configuration key of the Wine
// prefix it runs in.

#include "bench/BenchSupport.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "Ostrel/Service/ModeBackup.h"
#include "Ostrel/Service/Settings.h"
#include "support/ConfigurationKey.h"
#include "support/ServiceProcess.h"
#include "utillib_configfile/CfgFileSnapshot.h"

namespace {

using namespace boost::posix_time;

const int linesets = 30;
const char* const eventMode = "EVENT";
const char* const setting = "] : Setting [";

// The whole file, or an empty text while the service's lock refuses it.
std::string readUnlocked(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string text(64 * 1024, '\0');
    DWORD got = 0;
    const bool read = ReadFile(file, &text[0], DWORD(text.size()), &got, nullptr);
    CloseHandle(file);
    text.resize(read ? got : 0);
    return text;
}

// The moment of lineset k (second 2k of each minute) that came last before t.
ptime momentBefore(int k, const ptime& t)
{
    const time_duration ofDay = t.time_of_day();
    ptime moment(t.date(), hours(ofDay.hours()) + minutes(ofDay.minutes()) + seconds(2 * k));
    if (moment > t)
        moment -= minutes(1);
    return moment;
}

}  // namespace

int main(int argc, char** argv)
{
    const int events = argc > 1 ? std::atoi(argv[1]) : 50;
    const std::string path = Ostrel::loggerConfigFilePath(Ostrel::LoggerIni);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (int line = 1; line <= linesets; ++line)
            out << "[" << Ostrel::lineSectionName(line) << "]\r\nName=Studio " << line << "\r\nMode=REC\r\n";
    }
    DeleteFileA((Ostrel::windowsDirectory() + "brevik_ostrel_saved_modes.bak").c_str());
    auto settings = boost::make_shared<Ostrel::Settings>();
    for (int k = 0; k < linesets; ++k) {
        Ostrel::LinesetSettings l;
        l.name = "Even second " + std::to_string(2 * k);
        l.mode = eventMode;
        l.interval = seconds(1);
        l.schedule.scheduleMode = Ostrel::Periodic;
        l.schedule.periodicMinutes = 1;
        l.schedule.periodicStartTime = ptime(boost::gregorian::date(2026, 1, 1), seconds(2 * k));
        l.lines = {k + 1};
        settings->linesets.push_back(l);
    }
    deleteConfigurationKey();
    Ostrel::saveSettings(settings);

    std::vector<double> latencies;
    std::vector<double> fired;
    {
        ServiceProcess service;
        if (!service.waitForOutput("Settings:", std::chrono::seconds(60))) {
            bench::print("P4 the service did not start:\n%s\n", service.output().c_str());
            return 1;
        }
        std::map<std::string, bool> shown;  // line section -> shows the event mode
        std::size_t scanned = 0;            // the service's output looked at so far
        const double deadline = bench::now() + 2.5 * events + 30;
        while (int(latencies.size()) < events && bench::now() < deadline) {
            const std::string text = readUnlocked(path);
            const ptime seen = microsec_clock::local_time();
            // The toggle thread's first statement: the event has fired.
            const std::string output = service.output();
            for (std::size_t at; (at = output.find(setting, scanned)) != std::string::npos;) {
                const int line = std::atoi(output.c_str() + at + std::strlen(setting));
                if (line >= 1 && line <= linesets)
                    fired.push_back((seen - momentBefore(line - 1, seen)).total_microseconds() / 1e6);
                scanned = at + 1;
            }
            C_CfgFileSnapshot snapshot;
            try {
                snapshot.parse(text);
            } catch (const std::exception&) {
                continue;  // caught in the middle of a write
            }
            for (int k = 0; k < linesets; ++k) {
                const C_CfgFileSection* section = snapshot.findSection(Ostrel::lineSectionName(k + 1));
                if (!section)
                    continue;  // a read cut short
                const bool now = section->getValueOr("Mode", "") == eventMode;
                bool& before = shown[section->name()];
                if (now && !before)
                    latencies.push_back((seen - momentBefore(k, seen)).total_microseconds() / 1e6);
                before = now;
            }
            Sleep(2);
        }
        if (!service.running()) {
            bench::print("P4 the service ended:\n%s\n", service.output().c_str());
            return 1;
        }
    }
    deleteConfigurationKey();
    bench::print("P4 %zu events fired (the toggle's first log line read): p50 %.1f ms, p99 %.1f ms\n", fired.size(),
                 bench::median(fired) * 1e3, bench::percentile(fired, 0.99) * 1e3);
    bench::print("P4 %zu events, latency max %.1f ms (goal: p99 at most 20 ms)\n", latencies.size(),
                 bench::percentile(latencies, 1.0) * 1e3);
    bench::print("P4 event latency from a lineset's moment to its mode in logger.ini: p50 %.1f ms, p99 %.1f ms\n",
                 bench::median(latencies) * 1e3, bench::percentile(latencies, 0.99) * 1e3);
    return 0;
}
