#include "Ostrel/engine/Service.h"

#include <iostream>
#include <utility>
#include <vector>

#include <boost/bind/bind.hpp>
#include <boost/chrono.hpp>
#include <boost/core/ref.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <boost/throw_exception.hpp>

#include "Ostrel/scheduling/FiringLinesets.h"
#include "Ostrel/settings_registry/SettingsRegistry.h"
#include "Ostrel/timetable_view/LinesetOverlaps.h"
#include "logging/Log.h"
#include "logging/VersionInfo.h"

namespace Ostrel {

namespace {

// The longest wait between two passes, and so the longest a stop request
// waits to be seen. A pass comes sooner when the next event is due before
// the period is over, so that it fires on time, and when the settings watch
// tells of a change.
const boost::posix_time::time_duration pollPeriod = boost::posix_time::milliseconds(250);

// Waits until the next pass is due, in whole milliseconds rounded up so that
// a pass meant for an event never comes before it; true when the settings
// watch ended the wait.
bool waitForNextPass(HANDLE settingsChanged, const boost::posix_time::time_duration& wait)
{
    const DWORD milliseconds = DWORD((wait.total_microseconds() + 999) / 1000);
    const DWORD woken = WaitForSingleObject(settingsChanged, milliseconds);
    if (woken == WAIT_FAILED)
        boost::throw_exception(
            boost::system::system_error(int(GetLastError()), boost::system::system_category(), "WaitForSingleObject"));
    return woken == WAIT_OBJECT_0;
}

// The toggle whose turn at setting lines this thread holds, if the run loop
// fired it: toggleLines lets the next toggle go once its lines are set.
thread_local TurnOrder::Turn* settingTurn = nullptr;

std::string lineText(const LinesetSettings& lineset)
{
    return joinLines(lineset.lines, ", ");
}

// The settings the timetable is built from: the loaded ones without the
// linesets that must never fire, each reported once per load.
boost::shared_ptr<const Settings> usableLinesets(const boost::shared_ptr<const Settings>& loaded)
{
    // Reported here, not in the callback, so that the log names this
    // function.
    std::vector<std::pair<const LinesetSettings*, std::string>> refused;
    const boost::shared_ptr<const Settings> firing = firingLinesets(
        loaded,
        [&](const LinesetSettings& lineset, const std::string& refusal) { refused.emplace_back(&lineset, refusal); });
    for (const auto& entry : refused) {
        const LinesetSettings& lineset = *entry.first;
        // A lineset without a name reads "Lineset [6] ...", one blank.
        const std::string named = lineset.name.empty() ? "Lineset" : "Lineset " + lineset.name;
        LOG_ERROR("%s [%s] is never toggled: %s", named.c_str(), lineText(lineset).c_str(), entry.second.c_str());
    }
    return firing;
}

}  // namespace

Service::Service(const LoggerFiles& files, const ModeBackupOptions& backupOptions)
    : files(files), backupOptions(backupOptions)
{
}

// No toggle thread outlives the engine: each reverts its lines and ends.
Service::~Service()
{
    stopToggles();
}

std::wstring Service::serviceName() const
{
    return L"OstrelService";
}
std::wstring Service::displayName() const
{
    return L"Brevik Ostrel service";
}
DWORD Service::startType() const
{
    return SERVICE_AUTO_START;
}
std::vector<std::wstring> Service::dependencies() const
{
    return {};
}
std::wstring Service::accountName() const
{
    return L"NT AUTHORITY\\SYSTEM";
}
boost::optional<std::wstring> Service::password() const
{
    return boost::none;
}
DWORD Service::controlsAccepted() const
{
    return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
}
std::wstring Service::description() const
{
    return L"Switches the recording mode of groups of logger lines on a timetable.";
}
// The name the log statements report their records under, so that the
// source registered at installation is the one the records name.
std::wstring Service::eventSourceName() const
{
    const logging::VersionInfo version(logging::ownModulePath());
    return boost::locale::conv::utf_to_utf<wchar_t>(version.stringValue("FileDescription"));
}
// A failed start or run() is followed by the start-up repair of a new
// start; a fault that persists stops after two tries a day instead of
// restarting every minute.
RecoveryActions Service::recoveryActions() const
{
    return RecoveryActions{2, 60 * 1000, 24 * 60 * 60};
}

void Service::run()
{
    LOG_INFO("Ostrel started");
    boost::this_thread::disable_interruption noInterruption;
    try {
        bool started = true;
        {
            // The repair may wait for a backup file or a logger.ini that
            // another process holds: a stop ends that wait, the records stay
            // for the next start, and the loop never begins.
            boost::this_thread::restore_interruption interruptible(noInterruption);
            try {
                startUp();
            } catch (const boost::thread_interrupted&) {
                started = false;
            }
        }
        // The settings are read on the first pass and after the watch woke
        // the loop, never on an idle pass.
        bool settingsSignalled = true;
        while (started && !boost::this_thread::interruption_requested()) {
            if (settingsSignalled)
                readSettingsIfChanged();
            scheduler->poll();
            reapEndedToggles();
            modeBackup->retryFailedReverts();
            settingsSignalled = waitForNextPass(settingsWatch->event(), scheduler->waitBeforeNextPoll(pollPeriod));
        }
    } catch (...) {
        // A failure leaves run() only after every toggle has reverted its
        // lines and ended.
        stopToggles();
        throw;
    }

    stopToggles();
    LOG_INFO("Ostrel stopped");
}

void Service::startUp()
{
    modeBackup = boost::make_shared<ModeBackup>(files, backupOptions);
    modeBackup->load();
    modeBackup->restoreAllLines();
    settingsMonitor = boost::make_shared<SettingsMonitor<Settings>>();
    settingsWatch = boost::make_shared<RegWatch>(HKEY_LOCAL_MACHINE, settingsKeyName(), settingsKeyView);
}

void Service::stopToggles()
{
    // A stop of the caller's own must not leave before the reverts it waits
    // for have ended: toggle threads left running would go on using the engine.
    boost::this_thread::disable_interruption untilAllReverted;
    for (auto& thread : toggleThreads) {
        thread->interrupt();
        thread->join();
    }
    toggleThreads.clear();
}

// The watch is armed before the read: a change made while the settings are
// read wakes the next pass, which reads them again.
void Service::readSettingsIfChanged()
{
    settingsWatch->arm();
    boost::shared_ptr<const Settings> fresh;
    if (!settingsMonitor->changed(fresh))
        return;
    if (settings)
        LOG_INFO("Settings changed, restart required...");
    restart(fresh);
}

void Service::restart(const boost::shared_ptr<const Settings>& loaded)
{
    settings = loaded;
    settings->print(std::cout);
    settingsMonitor->setCurrent(settings);
    const boost::shared_ptr<const Settings> usable = usableLinesets(settings);
    schedule = boost::make_shared<Ostrel::Schedule>(usable);
    for (const std::string& warning : overlapWarnings(*usable, localNow()))
        LOG_WARN("%s", warning.c_str());
    scheduler = boost::make_shared<Scheduler>(
        schedule, boost::bind(&Service::handleScheduleEvent, this, boost::placeholders::_1, boost::placeholders::_2),
        schedulerRetryInterval);
    ++timetables;
}

void Service::reapEndedToggles()
{
    toggleThreads.remove_if([](const boost::shared_ptr<boost::thread>& thread) {
        return thread->try_join_for(boost::chrono::milliseconds(0));
    });
}

namespace {

// A toggle thread's body: the toggle sets its lines only once the toggles
// fired before it have set theirs. Its turn passes on however it ends; a
// stop before its turn came ends it with nothing set.
void toggleInTurn(Service& engine, const boost::shared_ptr<TurnOrder::Turn>& turn,
                  const boost::shared_ptr<const LinesetSettings>& lineset)
{
    struct Pass {
        TurnOrder::Turn& turn;
        ~Pass()
        {
            settingTurn = nullptr;
            turn.done();
        }
    } pass{*turn};
    try {
        turn->await();
    } catch (const boost::thread_interrupted&) {
        return;
    }
    settingTurn = turn.get();
    engine.toggleLines(lineset);
}

}  // namespace

void Service::handleScheduleEvent(const boost::shared_ptr<const ScheduleEvent>& due,
                                  const boost::shared_ptr<const ScheduleEvent>&)
{
    const auto toggle = boost::dynamic_pointer_cast<const LinesetToggleEvent>(due);
    if (!toggle)
        return;
    toggleThreads.push_back(
        boost::make_shared<boost::thread>(&toggleInTurn, boost::ref(*this), settingOrder.take(), toggle->lineset));
}

namespace {

// Runs one line's step of a toggle; a failure is logged and the toggle goes
// on with the next line. What the backup recorded stays there, and a revert
// that failed is tried again by the run loop. Interruptions pass.
template <class Step>
void forEachLine(std::vector<std::int32_t>::const_iterator begin, std::vector<std::int32_t>::const_iterator end,
                 const char* what, Step step)
{
    for (; begin != end; ++begin) {
        try {
            step(*begin);
        } catch (const std::exception& e) {
            LOG_ERROR("Can't %s mode of line %d: %s", what, *begin, e.what());
        }
    }
}

}  // namespace

void Service::toggleLines(boost::shared_ptr<const LinesetSettings> lineset)
{
    const std::string lines = lineText(*lineset);
    LOG_INFO("Setting [%s] mode to %s", lines.c_str(), lineset->mode.c_str());
    // The lines whose change has begun: a stop that meets the setting,
    // while a line waits for logger.ini, reverts these at once.
    std::size_t begun = 0;
    const std::vector<std::int32_t>& all = lineset->lines;
    try {
        forEachLine(all.begin(), all.end(), "set", [&](std::int32_t line) {
            ++begun;
            modeBackup->setLineMode(line, lineset->mode);
        });
        if (settingTurn)
            settingTurn->done();
        const boost::int64_t ms = std::max<boost::int64_t>(0, lineset->interval.total_microseconds() / 1000);
        boost::this_thread::sleep_for(boost::chrono::milliseconds(ms));
    } catch (const boost::thread_interrupted&) {
        LOG_INFO("Interruption requested");
    }

    // A stop that comes now, while a line waits for logger.ini or the backup
    // file, must not cut the revert short: every line this toggle changed
    // goes back, however long another program holds the files.
    boost::this_thread::disable_interruption wholeRevert;
    LOG_INFO("Reverting [%s]", lines.c_str());
    forEachLine(all.begin(), all.begin() + begun, "revert", [&](std::int32_t line) { modeBackup->restoreLine(line); });
}

}  // namespace Ostrel
