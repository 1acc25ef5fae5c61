// The engine in this process against the real registry, logger.ini and
// backup file: the run loop, toggles on time, stops, settings changes,
// refused linesets and failing lines.

#include "Ostrel/engine/Service.h"
#include "Ostrel/modebackup/ModeBackup.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread.hpp>

#include "support/BackupFileText.h"
#include "support/ConfigurationKey.h"
#include "support/ConsoleCapture.h"
#include "support/Eventually.h"
#include "support/LoggerIniFixture.h"
#include "support/RegistryFixture.h"
#include "support/SetPhaseHold.h"
#include "support/SettingsSamples.h"
#include "support/ZoneOffset.h"

using namespace Ostrel;
using boost::posix_time::seconds;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::string originalIni = "[Line01]\r\nMode=REC\r\n[Line02]\r\nMode=VOX\r\n[Line03]\r\nMode=OFF\r\n";
using backupfile::declaration;

// A lineset of every minute whose first moment comes `due` from now (a
// second leaves the engine time to start and read it; a moment missed all
// the same comes again a minute later, within timeouts::toggle).
LinesetSettings lineset(const std::string& name, std::vector<std::int32_t> lines, const std::string& mode,
                        boost::posix_time::time_duration interval,
                        boost::posix_time::time_duration due = boost::posix_time::seconds(1))
{
    return minutelyLineset(name, std::move(lines), mode, interval,
                           boost::posix_time::microsec_clock::local_time() + due);
}

void configure(const std::vector<LinesetSettings>& linesets)
{
    auto s = boost::make_shared<Settings>();
    s->linesets = linesets;
    saveSettings(s);
}

// A lineset that does not fire while a test runs: every 23 hours from an
// hour after the program's start (one moment for all, so that two of them
// built apart compare equal).
LinesetSettings idleLineset(const std::string& name, std::vector<std::int32_t> lines, const std::string& mode,
                            int intervalSeconds)
{
    static const boost::posix_time::ptime start = boost::posix_time::second_clock::local_time() +
                                                  boost::posix_time::hours(1);
    LinesetSettings l = minutelyLineset(name, std::move(lines), mode, seconds(intervalSeconds), start);
    l.schedule.periodicHours = 23;
    l.schedule.periodicMinutes = 0;
    l.schedule.periodicStartTime = start;
    return l;
}

// The listing the engine prints for these linesets.
std::string listingOf(const std::vector<LinesetSettings>& linesets)
{
    Settings s;
    s.linesets = linesets;
    std::ostringstream listing;
    s.print(listing);
    return listing.str();
}

// Sections Line01 to Line`count`, each in mode REC.
std::string iniOfLines(int count)
{
    std::string ini;
    for (int line = 1; line <= count; ++line)
        ini += "[" + lineSectionName(line) + "]\r\nMode=REC\r\n";
    return ini;
}

// A pass of the run loop and a margin that a loaded two-core machine keeps:
// a change or an event later than this was late by a whole pass or more.
const boost::posix_time::time_duration aPass = boost::posix_time::milliseconds(250);
const boost::posix_time::time_duration aPassAndAMargin = boost::posix_time::milliseconds(1000);

// The messages must appear in this order.
void expectInOrder(const std::string& out, const std::vector<std::string>& messages)
{
    std::size_t at = 0;
    for (const std::string& m : messages) {
        const std::size_t found = out.find(m, at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << m << "\nin:\n" << out;
        at = found + m.size();
    }
}

class EngineTest : public ::testing::Test, protected ScopedConfigurationKey, protected ScopedLoggerIni {
protected:
    void SetUp() override { setIni(originalIni); }
    void TearDown() override { stop(); }

    // Starts run() on a thread of its own, as the service framework does.
    void start()
    {
        engineThread = boost::thread([this] { engine->run(); });
    }
    // What the service framework's stop does: interrupt and wait.
    void stop()
    {
        if (engineThread.joinable()) {
            engineThread.interrupt();
            engineThread.join();
        }
    }
    std::string output() const { return console.text(); }
    // Waits until the log holds `wanted` at least `times` times.
    bool logged(const std::string& wanted, std::size_t times = 1) const
    {
        return eventually([&] { return console.count(wanted) >= times; }, timeouts::toggle);
    }
    std::string mode(int line) { return getLineModeFromLoggerINI(line, "<none>", iniPath); }

    // The engine's last settings listing and what it logged after it.
    std::string lastListing() const
    {
        const std::string out = output();
        const std::size_t at = out.rfind("Settings:\n");
        return at == std::string::npos ? std::string() : out.substr(at);
    }
    // Waits until the engine's timetable is built from exactly these
    // linesets (its last listing shows them); how long that took, or
    // not_a_date_time when it never was.
    boost::posix_time::time_duration timeToApply(const std::vector<LinesetSettings>& linesets) const
    {
        const std::string wanted = listingOf(linesets);
        const auto from = boost::posix_time::microsec_clock::local_time();
        if (!eventually([&] { return lastListing().compare(0, wanted.size(), wanted) == 0; }, timeouts::toggle))
            return boost::posix_time::time_duration(boost::posix_time::not_a_date_time);
        return boost::posix_time::microsec_clock::local_time() - from;
    }

    // Runs the start-up repair of a backup without records, then, once
    // `beforeTheToggle` has run, starts a toggle of these lines to CNT on a
    // thread of its own, as the engine's handler does.
    void startToggle(
        std::vector<std::int32_t> lines, boost::posix_time::time_duration interval,
        const std::function<void()>& beforeTheToggle = [] {})
    {
        setBackup(declaration);
        engine->startUp();
        beforeTheToggle();
        auto l = boost::make_shared<LinesetSettings>();
        l->lines = std::move(lines);
        l->mode = "CNT";
        l->interval = interval;
        const auto now = boost::posix_time::microsec_clock::local_time();
        engine->handleScheduleEvent(boost::make_shared<const LinesetToggleEvent>(now, l), nullptr);
    }

    ConsoleCapture console;
    boost::shared_ptr<Service> engine = boost::make_shared<Service>(files(), patientSaves());
    boost::thread engineThread;
};

TEST_F(EngineTest, AStopBeforeTheLoopStillRepairsAndReadsNoSettings)
{
    setIni("[Line01]\r\nMode=CNT\r\n");
    setBackup(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<Line01><current_mode>CNT</current_mode><saved_mode>REC</saved_mode></Line01>");
    configure({lineset("soon", {1}, "X", seconds(1), boost::posix_time::milliseconds(1))});
    // The request is made before run() begins, as when the service is
    // stopped at once.
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    engineThread = boost::thread([&] {
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return go; });
        }
        engine->run();
    });
    engineThread.interrupt();
    {
        std::lock_guard<std::mutex> lock(m);
        go = true;
    }
    cv.notify_all();
    engineThread.join();
    const std::string out = output();
    expectInOrder(out, {"Ostrel started", "Reverting Line01", "Ostrel stopped"});
    EXPECT_THAT(out, Not(HasSubstr("Settings:")));
    EXPECT_EQ(mode(1), "REC");
    EXPECT_EQ(engine->toggleThreadCount(), 0u);
}

TEST_F(EngineTest, ALinesetTogglesOnTimeAndReverts)
{
    configure({lineset("Night", {3, 1}, "CNT", seconds(1))});
    start();
    ASSERT_TRUE(eventually([&] { return mode(1) == "CNT" && mode(3) == "CNT"; }, timeouts::toggle));
    EXPECT_EQ(mode(2), "VOX");
    EXPECT_THAT(backup(), HasSubstr("<Line03><current_mode>CNT</current_mode><saved_mode>OFF</saved_mode></Line03>"));
    ASSERT_TRUE(eventually([&] { return mode(1) == "REC" && mode(3) == "OFF"; }, timeouts::toggle));
    ASSERT_TRUE(eventually([&] { return backup() == declaration; }, timeouts::toggle));
    stop();
    const std::string out = output();
    expectInOrder(out, {"Ostrel started", "Backup file not found, nothing to revert", "Settings:", "name: Night",
                        "lines: 3, 1", "Setting [3, 1] mode to CNT", "Reverting [3, 1]", "Ostrel stopped"});
    EXPECT_THAT(out, Not(HasSubstr("Settings changed")));
    EXPECT_THAT(out, Not(HasSubstr("Interruption requested")));
    EXPECT_EQ(ini(), originalIni);
}

TEST_F(EngineTest, AStopDuringAToggleRevertsAtOnce)
{
    configure({lineset("Long", {1, 2}, "CNT", boost::posix_time::hours(1))});
    start();
    ASSERT_TRUE(eventually([&] { return mode(2) == "CNT"; }, timeouts::toggle));
    stop();
    EXPECT_EQ(ini(), originalIni);
    EXPECT_EQ(backup(), declaration);
    expectInOrder(output(),
                  {"Setting [1, 2] mode to CNT", "Interruption requested", "Reverting [1, 2]", "Ostrel stopped"});
}

// Each change below is one registry write (or a lineset stored beyond
// Count and then Count), so the engine can never read half of it.
TEST_F(EngineTest, EachSettingsChangeIsSeenOnceAndARunningToggleKeepsItsLineset)
{
    LinesetSettings first = lineset("First", {1}, "CNT", seconds(6));
    configure({first});
    start();
    ASSERT_TRUE(eventually([&] { return mode(1) == "CNT"; }, timeouts::toggle));
    // A change while the toggle runs (6 s leave the poll ample time): the
    // running toggle keeps its lineset, so it reverts after its own 6 s, not
    // after the new hour.
    first.interval = boost::posix_time::hours(1);
    setConfigurationDword(L"1", L"Interval", 3600);
    ASSERT_TRUE(logged("Settings changed, restart required..."));
    ASSERT_TRUE(eventually([&] { return mode(1) == "REC"; }, timeouts::toggle)) << output();
    // An edit of a field the schedule's mode does not use is no change. The
    // engine polls several times in the margin before the next change,
    // whose toggle shows that the engine has read it.
    first.schedule.dailyHour = 5;
    setConfigurationDword(L"1", L"DailyHour", 5);
    boost::this_thread::sleep_for(boost::chrono::seconds(2));
    // Lineset 1 is rewritten as it is stored, Count last.
    configure({first, lineset("Second", {2}, "ALT", seconds(1))});
    ASSERT_TRUE(eventually([&] { return mode(2) == "ALT"; }, timeouts::toggle));
    ASSERT_TRUE(eventually([&] { return mode(2) == "VOX"; }, timeouts::toggle));
    stop();
    const std::string out = output();
    EXPECT_EQ(console.count("Settings changed, restart required..."), 2u) << out;
    EXPECT_EQ(console.count("Settings:"), 3u) << out;
    expectInOrder(out, {"name: First", "Setting [1] mode to CNT", "Settings changed, restart required...",
                        "interval: 01:00:00", "Reverting [1]", "Settings changed, restart required...", "name: Second",
                        "Setting [2] mode to ALT"});
    EXPECT_THAT(out, Not(HasSubstr("Interruption requested")));
}

// How the configuration is edited while the engine runs, and what it holds
// in the end. The engine is told of each change by the registry; whatever
// it read meanwhile, its timetable must end up built from the last state.
struct SettingsEdit {
    const char* name;
    std::vector<LinesetSettings> before;  // stored before the start (none: no key)
    std::function<void()> edit;
    std::vector<LinesetSettings> after;
};

void PrintTo(const SettingsEdit& e, std::ostream* os)
{
    *os << e.name;
}

const LinesetSettings night = idleLineset("Night", {1, 2}, "CNT", 30);
const LinesetSettings day = idleLineset("Day", {3}, "VOX", 60);

// Every field of the two linesets changed, one registry write per value,
// Count last, as an editor stores them.
LinesetSettings edited(LinesetSettings l)
{
    l.name += " edited";
    l.mode = "ALT";
    l.interval += seconds(1);
    l.schedule.periodicHours = 22;
    l.lines.push_back(9);
    return l;
}

// Many linesets, so that each read of the settings takes a while and the
// writes below land in the middle of reads.
std::vector<LinesetSettings> manyLinesets(int intervalOfTheFirst)
{
    std::vector<LinesetSettings> linesets;
    for (int i = 0; i < 200; ++i)
        linesets.push_back(idleLineset("Lineset " + std::to_string(i), {i % 3 + 1}, "CNT", 30));
    linesets[0].interval = seconds(intervalOfTheFirst);
    return linesets;
}

// The registry view's parent of the settings key, removed with it: the
// watch then has to look further up for the key to be created.
void deleteTheKeyAndItsParent()
{
    deleteConfigurationKey();
    const std::wstring key = settingsKeyName();
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.substr(0, key.rfind(L'\\')).c_str(), settingsKeyView, 0);
}

const SettingsEdit settingsEdits[] = {
    {"KeyAndItsParentCreatedAfterTheStart",
     {},
     [] {
         configure({night, day});
     },
     {night, day}},
    {"KeyDeleted", {night, day}, [] { deleteConfigurationKey(); }, {}},
    {"KeyDeletedAndCreatedAgainAtOnce",
     {night},
     [] {
         deleteConfigurationKey();
         configure({day});
     },
     {day}},
    // The engine has read the key gone before it comes back: its watch must
    // follow the key that is created anew.
    {"KeyDeletedAndCreatedAgainLater",
     {night},
     [] {
         deleteConfigurationKey();
         Sleep(500);
         configure({day});
     },
     {day}},
    {"EveryValueWrittenOneByOne",
     {night, day},
     [] {
         configure({edited(night), edited(day)});
     },
     {edited(night), edited(day)}},
    {"WrittenAgainAndAgainWhileTheSettingsAreRead", manyLinesets(1),
     [] {
         for (DWORD interval = 2; interval <= 40; ++interval) {
             setConfigurationDword(L"1", L"Interval", interval);
             Sleep(5);
         }
     },
     manyLinesets(40)},
};

class SettingsChange : public EngineTest, public ::testing::WithParamInterface<SettingsEdit> {};

TEST_P(SettingsChange, IsAppliedWithinAPassOfItsLastWrite)
{
    const SettingsEdit& e = GetParam();
    if (e.before.empty())
        deleteTheKeyAndItsParent();
    else
        configure(e.before);
    start();
    ASSERT_FALSE(timeToApply(e.before).is_special()) << output();
    e.edit();
    const boost::posix_time::time_duration took = timeToApply(e.after);
    ASSERT_FALSE(took.is_special()) << "never applied; last listing:\n" << lastListing();
    EXPECT_LT(took, aPassAndAMargin);
}

INSTANTIATE_TEST_SUITE_P(Registry, SettingsChange, ::testing::ValuesIn(settingsEdits),
                         [](const ::testing::TestParamInfo<SettingsEdit>& info) {
                             return std::string(info.param.name);
                         });

// The engine noting when each toggle thread begins, by lineset name.
class ClockedEngine : public Service {
public:
    using Service::Service;
    void toggleLines(boost::shared_ptr<const LinesetSettings> lineset) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            begun[lineset->name] = boost::posix_time::microsec_clock::local_time();
        }
        Service::toggleLines(lineset);
    }
    std::map<std::string, boost::posix_time::ptime> begunSoFar()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return begun;
    }

private:
    std::mutex mutex;
    std::map<std::string, boost::posix_time::ptime> begun;
};

// Eight events at moments a little more than a pass apart. A loop that
// slept a flat pass would fire them an eighth of a second late on average,
// and one that polled once a second half a second late.
TEST_F(EngineTest, EventsFireWithinAFractionOfAPassOfTheirMoments)
{
    const auto clocked = boost::make_shared<ClockedEngine>(files());
    engine = clocked;
    start();
    ASSERT_TRUE(logged("No linesets"));
    const int events = 8;
    const auto first = boost::posix_time::microsec_clock::local_time() + seconds(1);
    std::vector<LinesetSettings> linesets;
    for (int i = 0; i < events; ++i) {
        linesets.push_back(minutelyLineset("E" + std::to_string(i), {i % 3 + 1}, "CNT", seconds(0),
                                           first + boost::posix_time::milliseconds(310 * i)));
    }
    configure(linesets);
    ASSERT_TRUE(eventually([&] { return clocked->begunSoFar().size() == std::size_t(events); }, timeouts::toggle))
        << output();
    const auto begun = clocked->begunSoFar();
    std::vector<double> late;
    for (const LinesetSettings& l : linesets) {
        // The moments come every minute: a moment missed at the start fires
        // a minute later, which is no lateness of the loop.
        const auto sinceFirst = begun.at(l.name) - (l.schedule.periodicStartTime + boost::posix_time::minutes(1));
        late.push_back(double(sinceFirst.total_milliseconds() % 60000));
        EXPECT_LT(late.back(), double(aPass.total_milliseconds())) << l.name;
    }
    const double mean = std::accumulate(late.begin(), late.end(), 0.0) / events;
    EXPECT_LT(mean, aPass.total_milliseconds() / 4.0) << ::testing::PrintToString(late);
}

// Pairs of linesets due at one moment, each pair sharing a line and each
// lineset with a line of its own that shows when its setting is done. In
// the order of the schedule the second of a pair sets the shared line last,
// so its mode stays there. Rounds of several pairs, to catch a race.
TEST_F(EngineTest, LinesetsDueAtOneMomentSetTheirLinesInTheOrderOfTheSchedule)
{
    const int pairs = 4;
    const std::string ini = iniOfLines(3 * pairs);
    setIni(ini);
    start();
    for (int round = 0; round < 4; ++round) {
        const auto moment = boost::posix_time::microsec_clock::local_time() + boost::posix_time::milliseconds(800);
        std::vector<LinesetSettings> linesets;
        for (int p = 0; p < pairs; ++p) {
            const int shared = 3 * p + 1;
            linesets.push_back(minutelyLineset("First", {shared, shared + 1}, "FIRST", seconds(1), moment));
            linesets.push_back(minutelyLineset("Second", {shared, shared + 2}, "SECOND", seconds(1), moment));
        }
        configure(linesets);
        ASSERT_TRUE(eventually(
            [&] {
                for (int p = 0; p < pairs; ++p)
                    if (mode(3 * p + 2) != "FIRST" || mode(3 * p + 3) != "SECOND")
                        return false;
                return true;
            },
            timeouts::toggle))
            << output();
        for (int p = 0; p < pairs; ++p)
            EXPECT_EQ(mode(3 * p + 1), "SECOND") << "round " << round << ", pair " << p;
        ASSERT_TRUE(eventually([&] { return this->ini() == ini; }, timeouts::toggle)) << output();
    }
    stop();
    // And the log tells the same order, pair after pair.
    std::vector<std::string> order;
    for (int round = 0; round < 4; ++round) {
        for (int p = 0; p < pairs; ++p) {
            order.push_back("Setting [" + std::to_string(3 * p + 1) + ", " + std::to_string(3 * p + 2) + "]");
            order.push_back("Setting [" + std::to_string(3 * p + 1) + ", " + std::to_string(3 * p + 3) + "]");
        }
    }
    expectInOrder(output(), order);
}

TEST(EngineZone, TheTestsRunInAZoneWithAHalfHourOffsetFromUtc)
{
    expectAZoneWithAHalfHourOffset();
    // The C runtime's local time, which the engine's clock reads, agrees.
    const auto local = boost::posix_time::microsec_clock::local_time();
    const auto utc = boost::posix_time::microsec_clock::universal_time();
    EXPECT_GT(std::abs((local - utc).total_seconds() % 3600), 1700);
}

TEST_F(EngineTest, RefusedLinesetsAreReportedAtEachLoadAndNeverFire)
{
    LinesetSettings zeroPeriod = lineset("Zero", {1}, "CNT", seconds(1));
    zeroPeriod.schedule.periodicHours = 0;
    zeroPeriod.schedule.periodicMinutes = 0;
    LinesetSettings negativeDaily = lineset("Negative", {2}, "CNT", seconds(1));
    negativeDaily.schedule.scheduleMode = Daily;
    negativeDaily.schedule.dailyHour = -1;
    LinesetSettings forged = lineset("Forged", {3}, "CNT\r\n[Line09]\r\nMode=X", seconds(1));
    LinesetSettings unnamed = lineset("", {2}, "CNT\nMode=X", seconds(1));
    LinesetSettings good = lineset("Good", {2}, "OK", seconds(1), boost::posix_time::milliseconds(1200));
    configure({zeroPeriod, negativeDaily, forged, unnamed, good});
    start();
    ASSERT_TRUE(eventually([&] { return mode(2) == "OK"; }, timeouts::toggle));
    ASSERT_TRUE(eventually([&] { return mode(2) == "VOX"; }, timeouts::toggle));
    stop();
    const std::string out = output();
    EXPECT_THAT(out, HasSubstr("ERROR: [Ostrel::{anonymous}::usableLinesets] : Lineset Zero [1] is never toggled"));
    EXPECT_THAT(out, HasSubstr("Lineset Negative [2] is never toggled"));
    EXPECT_THAT(out, HasSubstr("Lineset Forged [3] is never toggled: its mode contains a line break"));
    EXPECT_THAT(out, HasSubstr("] : Lineset [2] is never toggled: its mode contains a line break"));
    EXPECT_THAT(out, Not(HasSubstr("Setting [1]")));
    EXPECT_THAT(out, Not(HasSubstr("Setting [3]")));
    EXPECT_EQ(ini(), originalIni);
}

TEST_F(EngineTest, AFailingLineIsLoggedAndTheOthersAreToggled)
{
    setIni("[Line01]\r\nGain=1\r\n[Line02]\r\nMode=VOX\r\n");  // Line01 has no Mode
    configure({lineset("Mixed", {1, 2}, "CNT", seconds(1))});
    start();
    ASSERT_TRUE(eventually([&] { return mode(2) == "CNT"; }, timeouts::toggle));
    ASSERT_TRUE(eventually([&] { return mode(2) == "VOX"; }, timeouts::toggle));
    // The engine goes on: a later change is still seen and toggles.
    configure({lineset("Later", {2}, "LAT", seconds(1))});
    ASSERT_TRUE(eventually([&] { return mode(2) == "LAT"; }, timeouts::toggle)) << output();
    stop();
    const std::string out = output();
    EXPECT_THAT(out,
                HasSubstr("ERROR: [Ostrel::{anonymous}::forEachLine] : Can't set mode of line 1: Key not found: Mode"));
    // Nothing was recorded for line 1, so its revert has nothing to do.
    EXPECT_THAT(out, Not(HasSubstr("Can't revert mode of line 1")));
    EXPECT_THAT(out, HasSubstr("Settings changed, restart required..."));
    EXPECT_EQ(backup(), declaration);
}

TEST_F(EngineTest, ARevertThatFailsLeavesTheRecordForTheNextStart)
{
    configure({lineset("Broken", {1}, "CNT", boost::posix_time::milliseconds(1500))});
    start();
    ASSERT_TRUE(eventually([&] { return mode(1) == "CNT"; }, timeouts::toggle));
    const std::string broken = "[Line01]\r\nMode=CNT\r\n[Line02\r\n";
    setIni(broken);  // the logging application damaged its file meanwhile
    ASSERT_TRUE(logged("ERROR: [Ostrel::{anonymous}::forEachLine] : Can't revert mode of line 1: Syntax error."))
        << output();
    stop();
    EXPECT_EQ(ini(), broken);
    EXPECT_THAT(backup(), HasSubstr("<Line01><current_mode>CNT</current_mode><saved_mode>REC</saved_mode></Line01>"));
    // Once the file is mended, the next start puts the mode back.
    setIni("[Line01]\r\nMode=CNT\r\n");
    ModeBackup next(files());
    next.load();
    next.restoreAllLines();
    EXPECT_EQ(mode(1), "REC");
}

TEST_F(EngineTest, EndedTogglesAreReapedAndStopJoinsTheRestInOrder)
{
    engine->startUp();
    auto quick = [](const char* name, int line) {
        auto l = boost::make_shared<LinesetSettings>();
        l->name = name;
        l->lines = {line};
        l->mode = name;
        return l;
    };
    auto longOne = quick("LONG", 3);
    longOne->interval = boost::posix_time::hours(1);
    // Started after the one of line 3, on a lower line: joined after it.
    auto longTwo = quick("TWO", 2);
    longTwo->interval = boost::posix_time::hours(1);
    const auto now = boost::posix_time::microsec_clock::local_time();
    engine->handleScheduleEvent(boost::make_shared<const LinesetToggleEvent>(now, quick("A", 1)), nullptr);
    engine->handleScheduleEvent(boost::make_shared<const LinesetToggleEvent>(now, longOne), nullptr);
    engine->handleScheduleEvent(boost::make_shared<const LinesetToggleEvent>(now, longTwo), nullptr);
    // An event of another kind starts no thread.
    engine->handleScheduleEvent(boost::make_shared<const ScheduleEvent>(now), nullptr);
    EXPECT_EQ(engine->toggleThreadCount(), 3u);
    ASSERT_TRUE(eventually([&] { return mode(3) == "LONG" && mode(2) == "TWO"; }, timeouts::toggle));
    ASSERT_TRUE(eventually(
        [&] {
            engine->reapEndedToggles();
            return engine->toggleThreadCount() == 2;
        },
        timeouts::toggle));
    EXPECT_EQ(mode(1), "REC");
    engine->stopToggles();
    EXPECT_EQ(engine->toggleThreadCount(), 0u);
    EXPECT_EQ(ini(), originalIni);
    // Each is interrupted only once the one before has reverted and ended.
    expectInOrder(output(), {"Setting [3] mode to LONG", "Interruption requested", "Reverting [3]",
                             "Interruption requested", "Reverting [2]"});
}

// Where a stop meets the setting: its first line's change waits for
// logger.ini, held by another process, or, holding logger.ini, for the save
// of its record.
struct SettingHeld {
    const char* name;
    std::function<void(SetPhaseHold&)> hold;     // before the toggle starts
    std::function<bool(SetPhaseHold&)> waiting;  // the change waits there
};

class StopDuringTheSetting : public EngineTest, public ::testing::WithParamInterface<SettingHeld> {};

// The stop ends the wait: no line changes, and the lines after are never
// touched.
TEST_P(StopDuringTheSetting, ChangesNoLine)
{
    SetPhaseHold hold(iniPath, backupPath);
    startToggle({1, 2, 3}, boost::posix_time::hours(1), [&] { GetParam().hold(hold); });
    ASSERT_TRUE(GetParam().waiting(hold));
    engine->stopToggles();
    hold.releaseIni();
    hold.releaseSaves();
    EXPECT_EQ(ini(), originalIni);
    EXPECT_EQ(backup(), declaration);
    expectInOrder(output(), {"Setting [1, 2, 3] mode to CNT", "Interruption requested", "Reverting [1, 2, 3]"});
}

INSTANTIATE_TEST_SUITE_P(Moments, StopDuringTheSetting,
                         ::testing::Values(SettingHeld{"WaitingForLoggerIni",
                                                       [](SetPhaseHold& hold) {
                                                           hold.holdIni();
                                                           return true;
                                                       },
                                                       [](SetPhaseHold&) { return true; }},
                                           SettingHeld{"WaitingForItsRecord",
                                                       [](SetPhaseHold& hold) {
                                                           hold.holdSaves();
                                                           return true;
                                                       },
                                                       [](SetPhaseHold& hold) { return hold.saveHeld("Line01"); }}),
                         [](const ::testing::TestParamInfo<SettingHeld>& info) {
                             return std::string(info.param.name);
                         });

// How the engine is stopped while a toggle reverts.
struct RevertStop {
    const char* name;
    std::function<void(boost::shared_ptr<Service>&)> stop;
};

class StopDuringTheRevert : public EngineTest, public ::testing::WithParamInterface<RevertStop> {};

// A stop that meets the revert while it waits for logger.ini, held by
// another process, lets it wait: every line goes back and no record stays.
TEST_P(StopDuringTheRevert, WaitsForLoggerIniAndRevertsEveryLine)
{
    SetPhaseHold hold(iniPath, backupPath);
    // The interval leaves time to hold the saves once both lines are set.
    startToggle({1, 2}, boost::posix_time::seconds(5));
    ASSERT_TRUE(hold.recorded("Line01") && hold.recorded("Line02"));
    hold.holdSaves();
    ASSERT_TRUE(hold.revertWaitsBetween("Line01", "Line02"));

    boost::thread stopping([&] { GetParam().stop(engine); });
    // Time for the stop to reach the toggle; an interrupted revert ends at once.
    EXPECT_FALSE(stopping.try_join_for(boost::chrono::milliseconds(1500))) << "the stop cut the revert short";
    hold.releaseIni();
    stopping.join();
    EXPECT_EQ(ini(), originalIni);
    EXPECT_EQ(backup(), declaration);
    expectInOrder(output(), {"Setting [1, 2] mode to CNT", "Reverting [1, 2]"});
}

INSTANTIATE_TEST_SUITE_P(
    Stops, StopDuringTheRevert,
    ::testing::Values(RevertStop{"StopToggles", [](boost::shared_ptr<Service>& e) { e->stopToggles(); }},
                      RevertStop{"EngineDestroyed", [](boost::shared_ptr<Service>& e) { e.reset(); }}),
    [](const ::testing::TestParamInfo<RevertStop>& info) { return std::string(info.param.name); });

// run() that fails while a toggle runs: the toggle reverts and ends before
// the failure leaves run().
class FailingEngine : public Service {
public:
    using Service::Service;
    void handleScheduleEvent(const boost::shared_ptr<const ScheduleEvent>& due,
                             const boost::shared_ptr<const ScheduleEvent>& following) override
    {
        Service::handleScheduleEvent(due, following);
        throw std::runtime_error("the timetable failed");
    }
};

TEST_F(EngineTest, AFailureLeavesRunOnlyAfterEveryToggleRevertedAndEnded)
{
    configure({lineset("Long", {1, 2}, "CNT", boost::posix_time::hours(1))});
    auto failing = boost::make_shared<FailingEngine>(files());
    std::string error;
    boost::thread running([&] {
        try {
            failing->run();
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    ASSERT_TRUE(running.try_join_for(boost::chrono::seconds(30)));
    EXPECT_EQ(error, "the timetable failed");
    EXPECT_EQ(failing->toggleThreadCount(), 0u);
    EXPECT_EQ(ini(), originalIni);
    EXPECT_EQ(backup(), declaration);
    expectInOrder(output(), {"Setting [1, 2] mode to CNT", "Interruption requested", "Reverting [1, 2]"});
}

TEST_F(EngineTest, AnIntervalOfZeroRevertsAtOnceWithoutInterruption)
{
    engine->startUp();
    auto l = boost::make_shared<LinesetSettings>();
    l->lines = {1, 2};
    l->mode = "CNT";
    l->interval = seconds(0);
    const std::time_t longAgo = 1000000000;  // 2001
    boost::filesystem::last_write_time(iniPath, longAgo);
    engine->toggleLines(l);
    // Set and reverted: written (its time moved on), and back as it was.
    EXPECT_GT(boost::filesystem::last_write_time(iniPath), longAgo);
    EXPECT_EQ(ini(), originalIni);
    EXPECT_EQ(backup(), declaration);  // each record made and dropped
    const std::string out = output();
    expectInOrder(out, {"Setting [1, 2] mode to CNT", "Reverting [1, 2]"});
    EXPECT_THAT(out, Not(HasSubstr("Interruption requested")));
}

TEST_F(EngineTest, AnEmptyLinesetTouchesNoLine)
{
    engine->startUp();
    auto l = boost::make_shared<LinesetSettings>();
    l->mode = "CNT";
    engine->toggleLines(l);
    EXPECT_EQ(ini(), originalIni);
    expectInOrder(output(), {"Setting [] mode to CNT", "Reverting []"});
}

}  // namespace
