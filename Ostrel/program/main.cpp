// The process entry: run as the service under the service control manager
// (no argument), install or remove it, run the engine in the foreground,
// check what the engine would make of the settings, or tell what the
// running service has switched.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <iostream>
#include <string>

#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "Ostrel/engine/Service.h"
#include "Ostrel/program/Check.h"
#include "Ostrel/program/Status.h"
#include "Ostrel/settings_registry/SettingsRegistry.h"
#include "logging/Log.h"
#include "windows_service/WindowsService.h"

namespace {

// The engine of "/console", run on a thread of its own so that Ctrl+C,
// Ctrl+Break or closing the console can stop it like a service stop: the
// running toggles then revert before the process ends.
struct ConsoleEngine {
    boost::thread thread;
    std::shared_future<void> ended;
    std::atomic<bool> stopping{false};
};

// What the console control handler reaches. The system calls the handler
// on a thread of its own at any moment, also while runInConsole returns:
// the engine is handed over and taken back under the lock, and taken back
// only once no handler uses it any more. Plain Windows objects that need
// no destruction, so that a handler running while the process exits still
// finds them whole.
SRWLOCK consoleLock = SRWLOCK_INIT;
CONDITION_VARIABLE handlerLeft = CONDITION_VARIABLE_INIT;
ConsoleEngine* consoleEngine = nullptr;  // under consoleLock
unsigned handlersRunning = 0;            // under consoleLock

// One handler's use of the console engine: none when it was taken back.
class ConsoleEngineUse {
public:
    ConsoleEngineUse()
    {
        AcquireSRWLockExclusive(&consoleLock);
        engine = consoleEngine;
        if (engine)
            ++handlersRunning;
        ReleaseSRWLockExclusive(&consoleLock);
    }
    ~ConsoleEngineUse()
    {
        if (!engine)
            return;
        AcquireSRWLockExclusive(&consoleLock);
        --handlersRunning;
        ReleaseSRWLockExclusive(&consoleLock);
        WakeAllConditionVariable(&handlerLeft);
    }
    ConsoleEngineUse(const ConsoleEngineUse&) = delete;
    ConsoleEngineUse& operator=(const ConsoleEngineUse&) = delete;

    ConsoleEngine* get() const { return engine; }

private:
    ConsoleEngine* engine;
};

// A second Ctrl+C while the first one's stop still waits (a revert waiting
// for a logger.ini that another process holds) ends the process at once,
// as Ctrl+C does without a handler; the backup keeps what was not reverted
// for the next start.
void endAtOnce()
{
    LOG_WARN("Stopped at once; lines not yet reverted are reverted at the next start");
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
}

BOOL WINAPI onConsoleControl(DWORD event)
{
    const ConsoleEngineUse use;
    ConsoleEngine* const engine = use.get();
    // The engine has ended: the default handling ends the process.
    if (!engine)
        return FALSE;
    const bool keyboard = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    if (engine->stopping.exchange(true) && keyboard)
        endAtOnce();
    engine->thread.interrupt();
    // Closing the console (or the session's end) ends the process once this
    // handler returns, so it returns only when the engine has reverted its
    // lines. Ctrl+C and Ctrl+Break return at once, the main thread waiting
    // for the engine: handlers run one at a time, and a second Ctrl+C must
    // reach this one.
    if (!keyboard)
        engine->ended.wait();
    return TRUE;
}

// The console control handler, in place for the object's lifetime with the
// engine handed to it; the end waits for the handlers still running.
class ConsoleControl {
public:
    explicit ConsoleControl(ConsoleEngine& engine)
    {
        AcquireSRWLockExclusive(&consoleLock);
        consoleEngine = &engine;
        ReleaseSRWLockExclusive(&consoleLock);
        SetConsoleCtrlHandler(onConsoleControl, TRUE);
    }
    ~ConsoleControl()
    {
        SetConsoleCtrlHandler(onConsoleControl, FALSE);
        AcquireSRWLockExclusive(&consoleLock);
        consoleEngine = nullptr;
        while (handlersRunning > 0)
            SleepConditionVariableSRW(&handlerLeft, &consoleLock, INFINITE, 0);
        ReleaseSRWLockExclusive(&consoleLock);
    }
    ConsoleControl(const ConsoleControl&) = delete;
    ConsoleControl& operator=(const ConsoleControl&) = delete;
};

void runInConsole(WindowsService& engine)
{
    std::promise<void> done;
    ConsoleEngine console{boost::thread(), done.get_future().share()};
    console.thread = boost::thread([&engine, &done] {
        try {
            engine.run();
        } catch (const std::exception& e) {
            LOG_ERROR("The engine stopped on an error: %s", e.what());
        }
        done.set_value();
    });
    const ConsoleControl control(console);
    console.thread.join();
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // The one place that asks Windows where the files are.
    const Ostrel::LoggerFiles files = Ostrel::loggerFilesInWindowsDirectory();
    Ostrel::ModeBackupOptions backupOptions;
    backupOptions.backupWait = Ostrel::backupWaitSetting(backupOptions.backupWait);
    ServiceTable table{boost::make_shared<Ostrel::Service>(files, backupOptions)};
    const std::wstring action = argc > 1 ? argv[1] : L"";
    // Only "/check" and "/status" tell something by their exit codes: 1
    // when a lineset will never fire or none is configured, or when the
    // service is not running or the backup holds a line no toggle explains.
    int exitCode = 0;
    if (argc < 2)
        RegisterServices(table);
    else if (action == L"/install" || action == L"-install")
        InstallServices(table);
    else if (action == L"/remove" || action == L"-remove")
        RemoveServices(table);
    else if (action == L"/console")
        runInConsole(*table.front());
    else if (action == L"/check")
        exitCode = Ostrel::checkSettings(std::cout) ? 0 : 1;
    else if (action == L"/status")
        exitCode = Ostrel::showStatus(table.front()->serviceName(), files, std::cout) ? 0 : 1;
    table.clear();
    return exitCode;
}
