// The engine in this process against the real registry, logger.ini and
// backup file: the run loop, toggles on time, stops, settings changes,
// refused linesets and failing lines.

#include "Ostrel/Service/Service.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread.hpp>

#include "support/ConfigurationKey.h"
#include "support/LoggerIniFixture.h"
#include "support/SetPhaseHold.h"

using namespace Ostrel;
using boost::posix_time::seconds;
using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string originalIni =
    "[Line01]\r\nMode=REC\r\n[Line02]\r\nMode=VOX\r\n[Line03]\r\nMode=OFF\r\n";
const std::string declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

// How long a test waits for something that should take a few polls.
const boost::posix_time::time_duration patience = seconds(15);

bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = boost::posix_time::microsec_clock::local_time() + patience;
    while (!condition()) {
        if (boost::posix_time::microsec_clock::local_time() > deadline)
            return false;
        boost::this_thread::sleep_for(boost::chrono::milliseconds(20));
    }
    return true;
}

// A periodic lineset whose first moment comes `due` from now.
LinesetSettings lineset(const std::string& name, std::vector<std::int32_t> lines, const std::string& mode,
                        boost::posix_time::time_duration interval,
                        boost::posix_time::time_duration due = boost::posix_time::milliseconds(600))
{
    LinesetSettings l;
    l.name = name;
    l.lines = std::move(lines);
    l.mode = mode;
    l.interval = interval;
    l.schedule.scheduleMode = Periodic;
    l.schedule.periodicHours = 1;
    l.schedule.periodicMinutes = 0;
    // The first moment after now is the start plus one period.
    l.schedule.periodicStartTime = boost::posix_time::microsec_clock::local_time() + due - boost::posix_time::hours(1);
    return l;
}

void configure(const std::vector<LinesetSettings>& linesets)
{
    auto s = boost::make_shared<Settings>();
    s->linesets = linesets;
    saveSettings(s);
}

std::size_t occurrences(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

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

class EngineTest : public LoggerIniFixture {
protected:
    void SetUp() override
    {
        LoggerIniFixture::SetUp();
        deleteConfigurationKey();
        setIni(originalIni);
        CaptureStdout();
    }
    void TearDown() override
    {
        stop();
        if (!captured)
            GetCapturedStdout();
        deleteConfigurationKey();
        LoggerIniFixture::TearDown();
    }

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
    std::string output()
    {
        captured = true;
        return GetCapturedStdout();
    }
    std::string mode(int line) { return getLineModeFromLoggerINI(line, "<none>"); }

    boost::shared_ptr<Service> engine = boost::make_shared<Service>();
    boost::thread engineThread;
    bool captured = false;
};

TEST_F(EngineTest, AStopBeforeTheLoopStillRepairsAndReadsNoSettings)
{
    setIni("[Line01]\r\nMode=CNT\r\n");
    setBackup("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
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
    ASSERT_TRUE(eventually([&] { return mode(1) == "CNT" && mode(3) == "CNT"; }));
    EXPECT_EQ(mode(2), "VOX");
    EXPECT_THAT(backup(), HasSubstr("<Line03><current_mode>CNT</current_mode><saved_mode>OFF</saved_mode></Line03>"));
    ASSERT_TRUE(eventually([&] { return mode(1) == "REC" && mode(3) == "OFF"; }));
    ASSERT_TRUE(eventually([&] { return backup() == "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"; }));
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
    ASSERT_TRUE(eventually([&] { return mode(2) == "CNT"; }));
    stop();
    EXPECT_EQ(ini(), originalIni);
    EXPECT_EQ(backup(), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n");
    expectInOrder(output(), {"Setting [1, 2] mode to CNT", "Interruption requested", "Reverting [1, 2]",
                             "Ostrel stopped"});
}

TEST_F(EngineTest, EachSettingsChangeIsSeenOnceAndARunningToggleKeepsItsLineset)
{
    LinesetSettings toggled = lineset("First", {1}, "CNT", seconds(2));
    configure({toggled});
    start();
    ASSERT_TRUE(eventually([&] { return mode(1) == "CNT"; }));
    // A change while the toggle runs: its lineset and interval stand.
    LinesetSettings changed = lineset("Second", {2}, "ALT", seconds(1), boost::posix_time::hours(2));
    configure({changed});
    ASSERT_TRUE(eventually([&] { return mode(1) == "REC"; }));
    // An edit of a field the schedule's mode does not use is no change.
    changed.schedule.dailyHour = 5;
    configure({changed});
    boost::this_thread::sleep_for(boost::chrono::milliseconds(800));
    stop();
    const std::string out = output();
    EXPECT_EQ(occurrences(out, "Settings changed, restart required..."), 1u) << out;
    EXPECT_EQ(occurrences(out, "Settings:"), 2u);
    expectInOrder(out, {"name: First", "Setting [1] mode to CNT", "Settings changed, restart required...",
                        "name: Second", "Reverting [1]"});
    EXPECT_EQ(mode(2), "VOX");
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
    ASSERT_TRUE(eventually([&] { return mode(2) == "OK"; }));
    ASSERT_TRUE(eventually([&] { return mode(2) == "VOX"; }));
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
    ASSERT_TRUE(eventually([&] { return mode(2) == "CNT"; }));
    ASSERT_TRUE(eventually([&] { return mode(2) == "VOX"; }));
    // The engine goes on: a later change is still seen.
    configure({lineset("Later", {2}, "CNT", seconds(1), boost::posix_time::hours(3))});
    boost::this_thread::sleep_for(boost::chrono::milliseconds(800));
    stop();
    const std::string out = output();
    EXPECT_THAT(out, HasSubstr("ERROR: [Ostrel::{anonymous}::forEachLine] : Can't set mode of line 1: Key not found: Mode"));
    // Nothing was recorded for line 1, so its revert has nothing to do.
    EXPECT_THAT(out, Not(HasSubstr("Can't revert mode of line 1")));
    EXPECT_THAT(out, HasSubstr("Settings changed, restart required..."));
    EXPECT_EQ(backup(), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n");
}

TEST_F(EngineTest, ARevertThatFailsLeavesTheRecordForTheNextStart)
{
    configure({lineset("Broken", {1}, "CNT", boost::posix_time::milliseconds(1500))});
    start();
    ASSERT_TRUE(eventually([&] { return mode(1) == "CNT"; }));
    const std::string broken = "[Line01]\r\nMode=CNT\r\n[Line02\r\n";
    setIni(broken);  // the logging application damaged its file meanwhile
    boost::this_thread::sleep_for(boost::chrono::milliseconds(2500));  // past the revert
    stop();
    EXPECT_THAT(output(), HasSubstr("ERROR: [Ostrel::{anonymous}::forEachLine] : Can't revert mode of line 1: Syntax error."));
    EXPECT_EQ(ini(), broken);
    EXPECT_THAT(backup(), HasSubstr("<Line01><current_mode>CNT</current_mode><saved_mode>REC</saved_mode></Line01>"));
    // Once the file is mended, the next start puts the mode back.
    setIni("[Line01]\r\nMode=CNT\r\n");
    ModeBackup next(iniPath);
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
    const auto now = boost::posix_time::microsec_clock::local_time();
    engine->handleScheduleEvent(boost::make_shared<const LinesetToggleEvent>(now, quick("A", 1)), nullptr);
    engine->handleScheduleEvent(boost::make_shared<const LinesetToggleEvent>(now, quick("B", 2)), nullptr);
    engine->handleScheduleEvent(boost::make_shared<const LinesetToggleEvent>(now, longOne), nullptr);
    // An event of another kind starts no thread.
    engine->handleScheduleEvent(boost::make_shared<const ScheduleEvent>(now), nullptr);
    EXPECT_EQ(engine->toggleThreadCount(), 3u);
    ASSERT_TRUE(eventually([&] { return mode(3) == "LONG"; }));
    ASSERT_TRUE(eventually([&] {
        engine->reapEndedToggles();
        return engine->toggleThreadCount() == 1;
    }));
    EXPECT_EQ(mode(1), "REC");
    EXPECT_EQ(mode(2), "VOX");
    engine->stopToggles();
    EXPECT_EQ(engine->toggleThreadCount(), 0u);
    EXPECT_EQ(ini(), originalIni);
    expectInOrder(output(), {"Setting [3] mode to LONG", "Interruption requested", "Reverting [3]"});
}

// A stop that meets the setting while a line waits for logger.ini: the
// lines begun so far are reverted (the revert waits for logger.ini), the
// ones after are never touched.
TEST_F(EngineTest, AStopWhileALineWaitsInTheSettingRevertsTheLinesBegun)
{
    setBackup(declaration);
    engine->startUp();
    SetPhaseHold hold(iniPath, backupPath);
    hold.holdSaves();
    auto l = boost::make_shared<LinesetSettings>();
    l->lines = {1, 2, 3};
    l->mode = "CNT";
    l->interval = boost::posix_time::hours(1);
    const auto now = boost::posix_time::microsec_clock::local_time();
    engine->handleScheduleEvent(boost::make_shared<const LinesetToggleEvent>(now, l), nullptr);
    ASSERT_TRUE(hold.stopBefore("Line01"));
    hold.releaseIni();
    ASSERT_TRUE(hold.stopBefore("Line02"));  // line 1 written, line 2 recorded
    hold.releaseSaves();
    EXPECT_THAT(backup(), HasSubstr("<Line01>"));
    EXPECT_THAT(backup(), HasSubstr("<Line02>"));
    boost::thread stopping([&] { engine->stopToggles(); });
    hold.releaseIni();
    stopping.join();
    EXPECT_EQ(ini(), originalIni);
    EXPECT_EQ(backup(), declaration);
    expectInOrder(output(), {"Setting [1, 2, 3] mode to CNT", "Interruption requested", "Reverting [1, 2, 3]"});
}

// run() that fails while a toggle runs: the toggle reverts and ends before
// the failure leaves run().
class FailingEngine : public Service {
public:
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
    auto failing = boost::make_shared<FailingEngine>();
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
    l->interval = seconds(-5);
    engine->toggleLines(l);
    EXPECT_EQ(ini(), originalIni);
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
