#pragma once
// The engine: repairs logger.ini from the backup left by an earlier run,
// builds the timetable of all linesets from the registry settings, fires
// each due lineset on a toggle thread of its own, rebuilds the timetable when
// the settings change, and on a stop reverts every running toggle.

#include <atomic>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>

#include "Ostrel/modebackup/ModeBackup.h"
#include "Ostrel/scheduling/LinesetSchedule.h"
#include "Ostrel/scheduling/TurnOrder.h"
#include "Ostrel/settings/Settings.h"
#include "Ostrel/settings_registry/SettingsMonitor.h"
#include "registry/RegWatch.h"
#include "scheduler/Scheduler.h"
#include "windows_service/WindowsService.h"

namespace Ostrel {

class Service : public WindowsService {
public:
    // The engine switches the line modes of files.iniPath and keeps its
    // record in files.backupPath.
    explicit Service(const LoggerFiles& files, const ModeBackupOptions& backupOptions = ModeBackupOptions());
    // Interrupts and joins any toggle thread still running (each reverts its
    // lines first): no thread outlives the engine.
    ~Service() override;

    std::wstring serviceName() const override;
    std::wstring displayName() const override;
    DWORD startType() const override;
    std::vector<std::wstring> dependencies() const override;
    std::wstring accountName() const override;
    boost::optional<std::wstring> password() const override;
    DWORD controlsAccepted() const override;
    std::wstring description() const override;
    std::wstring eventSourceName() const override;
    RecoveryActions recoveryActions() const override;

    // Runs until the calling thread is interrupted; then interrupts and
    // joins every toggle thread, so it returns only when all their lines are
    // reverted. Interruption is off inside, except while the start-up
    // repair waits for a file: the request is looked at once per pass, at
    // most a poll period after it was made. The settings are read at the
    // start and whenever the registry tells of a change below their key,
    // which wakes the loop at once. An exception leaves only after every
    // toggle thread has been interrupted and joined.
    void run() override;

    // The Scheduler's handler: starts a toggle thread for a lineset event;
    // ignores every other kind of event. The toggles set their lines one
    // after the other in the order they were fired (ties of the schedule
    // in its order), each thread waiting for the one before.
    virtual void handleScheduleEvent(const boost::shared_ptr<const ScheduleEvent>& due,
                                     const boost::shared_ptr<const ScheduleEvent>& following);

    // A toggle thread's body: sets the lineset's mode on each of its lines,
    // keeps it for the interval (cut short by an interruption), then puts the
    // previous modes back. A line that fails is logged and left to the
    // backup; the other lines go on. An interruption while a line waits for
    // logger.ini in the setting ends the setting there, and the lines begun
    // so far are reverted at once. The revert is never interrupted: it waits
    // for logger.ini and the backup file for as long as they are held. On a
    // thread started by handleScheduleEvent, it lets the next toggle set its
    // lines once its own are set.
    virtual void toggleLines(boost::shared_ptr<const LinesetSettings> lineset);

    // The steps of run() around its loop, public so that tests and
    // benchmarks can drive toggles without it. startUp: the backup of
    // line modes is loaded and every line still recorded in it reverted
    // (a record that fails is logged and stays for the next start); waits
    // for busy files are interruption points.
    // stopToggles: interrupts and joins every toggle thread in the order of
    // starting; an interruption of the caller does not end the wait.
    // reapEndedToggles: drops the toggle threads that have ended, so that
    // handles and memory stay flat over months; called once per pass.
    void startUp();
    void stopToggles();
    void reapEndedToggles();

    // The number of toggle threads not yet reaped. Same thread as run() only.
    std::size_t toggleThreadCount() const { return toggleThreads.size(); }

    // How many timetables run() has built from the settings so far; any
    // thread may ask, to see a settings change take effect.
    unsigned timetablesBuilt() const { return timetables; }

private:
    void readSettingsIfChanged();
    void restart(const boost::shared_ptr<const Settings>& loaded);

    std::list<boost::shared_ptr<boost::thread>> toggleThreads;
    const LoggerFiles files;
    const ModeBackupOptions backupOptions;
    boost::shared_ptr<ModeBackup> modeBackup;
    boost::shared_ptr<const Settings> settings;
    boost::shared_ptr<Ostrel::Schedule> schedule;
    boost::shared_ptr<Scheduler> scheduler;
    boost::shared_ptr<SettingsMonitor<Settings>> settingsMonitor;
    boost::shared_ptr<RegWatch> settingsWatch;
    TurnOrder settingOrder;
    std::atomic<unsigned> timetables{0};
};

}  // namespace Ostrel
