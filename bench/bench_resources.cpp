// P5, resources over months: toggles of a lineset with interval 0 fed to
// the engine's handleScheduleEvent with the reaping the run loop does once
// per pass (driving them through the real loop, which polls every 250 ms,
// would take hours). Handle count and private bytes of the process after
// the first 100 toggles and after all of them. With --loop N the real run
// loop is run instead until it has fired N events (sixty linesets, one on
// each second of the minute, so N events take about N seconds).
//
// Usage: bench_resources [toggles (10000)]      bench_resources --loop N
// It uses the logger.ini, backup file and configuration key of the Wine
// prefix it runs in.

#include "bench/BenchSupport.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "Ostrel/engine/Service.h"
#include "Ostrel/scheduling/LinesetSchedule.h"
#include "support/ConfigurationKey.h"

namespace {

void writeLoggerIni()
{
    std::ofstream out(Ostrel::loggerConfigFilePath(Ostrel::LoggerIni), std::ios::binary | std::ios::trunc);
    for (int line = 1; line <= 8; ++line)
        out << "[" << Ostrel::lineSectionName(line) << "]\r\nName=Studio " << line << "\r\nMode=REC\r\n";
}

// Counts the log lines that announce a toggle and drops all output. Toggle
// threads log at the same time, so every write takes the lock.
class ToggleCounter : public std::streambuf {
public:
    ToggleCounter() : previous(std::cout.rdbuf(this)) {}
    ~ToggleCounter() override { std::cout.rdbuf(previous); }
    long toggles()
    {
        boost::mutex::scoped_lock lock(mutex);
        return count;
    }

private:
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        boost::mutex::scoped_lock lock(mutex);
        for (std::streamsize i = 0; i < n; ++i)
            take(s[i]);
        return n;
    }
    int overflow(int c) override
    {
        boost::mutex::scoped_lock lock(mutex);
        if (c != traits_type::eof())
            take(char(c));
        return traits_type::not_eof(c);
    }
    void take(char c)
    {
        if (c == '\n') {
            count += line.find("] : Setting [") != std::string::npos;
            line.clear();
        } else {
            line += c;
        }
    }
    std::streambuf* previous;
    boost::mutex mutex;
    std::string line;
    long count = 0;
};

void report(const char* when, const bench::Resources& r)
{
    bench::print("P5 after %s: %lu handles, %.1f KB private bytes\n", when, r.handles, r.privateBytes / 1024.0);
}

void reportGrowth(const bench::Resources& a, const bench::Resources& b)
{
    const double handles = 100.0 * (double(b.handles) - a.handles) / a.handles;
    const double bytes = 100.0 * (double(b.privateBytes) - double(a.privateBytes)) / double(a.privateBytes);
    bench::print("P5 growth: handles %+.2f %%, private bytes %+.2f %% (target < 1 %%)\n", handles, bytes);
}

int viaHandler(long toggles)
{
    using namespace boost::posix_time;
    auto lineset = boost::make_shared<Ostrel::LinesetSettings>();
    lineset->name = "Resources";
    lineset->mode = "CNT";
    lineset->interval = seconds(0);
    lineset->lines = {1, 2};
    const auto event = boost::make_shared<const Ostrel::LinesetToggleEvent>(microsec_clock::local_time(), lineset);
    const boost::shared_ptr<const ScheduleEvent> none;

    bench::Resources early = {0, 0};
    double start = 0;
    {
        bench::QuietLog quiet;
        Ostrel::Service service(Ostrel::loggerFilesInWindowsDirectory());
        service.startUp();
        auto drain = [&] {
            while (service.toggleThreadCount() > 0) {
                boost::this_thread::sleep_for(boost::chrono::milliseconds(1));
                service.reapEndedToggles();
            }
        };
        start = bench::now();
        for (long i = 1; i <= toggles; ++i) {
            service.handleScheduleEvent(event, none);
            service.reapEndedToggles();
            // As many threads as the run loop could meet at once, no more.
            while (service.toggleThreadCount() > 4) {
                boost::this_thread::sleep_for(boost::chrono::milliseconds(1));
                service.reapEndedToggles();
            }
            if (i == 100) {
                drain();
                early = bench::processResources();
            }
        }
        drain();
        service.stopToggles();
    }
    const bench::Resources late = bench::processResources();
    report("100 toggles", early);
    bench::print("P5 %ld toggles in %.1f s\n", toggles, bench::now() - start);
    report((std::to_string(toggles) + " toggles").c_str(), late);
    reportGrowth(early, late);
    return 0;
}

int viaRunLoop(long events)
{
    using namespace boost::posix_time;
    auto settings = boost::make_shared<Ostrel::Settings>();
    const ptime minute(boost::gregorian::date(2026, 1, 1));
    for (int k = 0; k < 60; ++k) {
        Ostrel::LinesetSettings l;
        l.name = "Second " + std::to_string(k);
        l.mode = "CNT";
        l.interval = seconds(0);
        l.schedule.scheduleMode = Ostrel::Periodic;
        l.schedule.periodicMinutes = 1;
        l.schedule.periodicStartTime = minute + seconds(k);
        l.lines = {k % 8 + 1};
        settings->linesets.push_back(l);
    }
    deleteConfigurationKey();
    Ostrel::saveSettings(settings);

    bench::Resources early = {0, 0}, late = {0, 0};
    long fired = 0;
    {
        ToggleCounter counter;
        auto service = boost::make_shared<Ostrel::Service>(Ostrel::loggerFilesInWindowsDirectory());
        boost::thread loop([service] { service->run(); });
        const long first = std::min<long>(30, events / 10 + 1);
        while (counter.toggles() < first)
            boost::this_thread::sleep_for(boost::chrono::milliseconds(100));
        early = bench::processResources();
        while (counter.toggles() < events)
            boost::this_thread::sleep_for(boost::chrono::milliseconds(100));
        late = bench::processResources();
        fired = counter.toggles();
        loop.interrupt();
        loop.join();
        report((std::to_string(first) + " events of the run loop").c_str(), early);
    }
    deleteConfigurationKey();
    report((std::to_string(fired) + " events of the run loop").c_str(), late);
    reportGrowth(early, late);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    writeLoggerIni();
    if (argc > 2 && std::strcmp(argv[1], "--loop") == 0)
        return viaRunLoop(std::atol(argv[2]));
    return viaHandler(argc > 1 ? std::atol(argv[1]) : 10000);
}
