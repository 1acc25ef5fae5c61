#pragma once
// A small framework that runs objects derived from WindowsService as Windows
// services: it connects a table of them to the service control manager,
// reports their status, runs each one's run() on a worker thread of its own,
// stops it by interrupting and joining that thread, and installs or removes
// the services from the command line.

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

// What the service manager does when a service fails (its process ends
// without reporting SERVICE_STOPPED, or it reports SERVICE_STOPPED with a
// non-zero exit code): restart it `restartDelayMilliseconds` after each of
// its first `restarts` failures, and do nothing on later ones until
// `resetPeriodSeconds` have passed without a failure. No restarts: the
// installation leaves the manager's default, no action.
struct RecoveryActions {
    DWORD restarts = 0;
    DWORD restartDelayMilliseconds = 0;
    DWORD resetPeriodSeconds = 0;
};

class WindowsService {
public:
    WindowsService();
    // Destroys the worker thread object: a thread still running is detached,
    // not stopped.
    virtual ~WindowsService();
    WindowsService(const WindowsService&) = delete;
    WindowsService& operator=(const WindowsService&) = delete;

    // Identity, as given to CreateServiceW and the dispatcher.
    virtual std::wstring serviceName() const = 0;
    virtual std::wstring displayName() const = 0;
    virtual DWORD startType() const = 0;
    // Names of the services this one depends on; the framework builds the
    // double-NUL-terminated list. Empty: no dependencies.
    virtual std::vector<std::wstring> dependencies() const = 0;
    virtual std::wstring accountName() const = 0;
    // none: no password (a null pointer to CreateServiceW).
    virtual boost::optional<std::wstring> password() const = 0;
    // dwControlsAccepted of every status report.
    virtual DWORD controlsAccepted() const = 0;

    // The service's work, on the worker thread. Returns (or lets
    // boost::thread_interrupted out) when the thread is interrupted by stop().
    // Any other exception ends the service: it is logged and the service
    // reports SERVICE_STOPPED with ERROR_EXCEPTION_IN_SERVICE.
    virtual void run() = 0;
    // Called in the start sequence before the worker thread starts, with the
    // arguments given to the service (argv[0] is the service name). An
    // exception makes the service report SERVICE_STOPPED with
    // ERROR_EXCEPTION_IN_SERVICE; run() is then never called.
    virtual void onStart(DWORD argc, LPWSTR* argv);
    // Called in the stop sequence after the worker thread has ended.
    virtual void onStop();
    // Control dispatch, on the dispatcher's thread: SERVICE_CONTROL_STOP
    // calls stop(); every other code is ignored.
    virtual void onControl(DWORD control);

    // Optional parts of the installation. Empty (the default): not set.
    // The description is shown by the service manager beside the display
    // name; the event source is registered under the Application event log
    // with this executable as its message file and removed with the service.
    virtual std::wstring description() const;
    virtual std::wstring eventSourceName() const;
    // Set at installation; the default has no restarts.
    virtual RecoveryActions recoveryActions() const;

    // Reports a status to the service control manager: the state, the
    // Win32 exit code and the wait hint; pending states carry the next check
    // point, SERVICE_RUNNING and SERVICE_STOPPED carry 0. Failures of the
    // report are ignored; never throws.
    void setStatus(DWORD state, DWORD exitCode, DWORD waitHint);
    // The start sequence: SERVICE_START_PENDING, onStart, the worker thread,
    // SERVICE_RUNNING. Never throws; a failure is logged and reported as
    // SERVICE_STOPPED with a non-zero exit code.
    void serviceMain(DWORD argc, LPWSTR* argv);
    // The stop sequence: SERVICE_STOP_PENDING, interrupt and join the worker
    // thread (waits until run() has returned), onStop, SERVICE_STOPPED. When
    // it throws, the state before the stop is reported again. Does nothing
    // once the service has reported SERVICE_STOPPED. Never throws.
    void stop();

private:
    // The dispatch hands the service its status handle and joins a failed
    // worker before it lets go of the object.
    friend class ServiceDispatcher;

    // Under statusLock: the status fields and check point a start begins with.
    void resetStatus();
    // The worker thread's body: run() and the report of its failure.
    void runWorker();
    // Under statusLock: records the failure of run() and reports
    // SERVICE_STOPPED with it, unless a stop under way will.
    void reportWorkerFailure();
    // Interrupts the worker thread and waits until run() has returned.
    void interruptAndJoinWorker();
    // Under statusLock: store and send the status.
    void reportLocked(DWORD state, DWORD exitCode, DWORD waitHint);
    // Reports `state` unless SERVICE_STOPPED has already been reported;
    // returns whether it reported.
    bool setStatusUnlessStopped(DWORD state);
    DWORD currentState();

    DWORD checkPoint = 0;
    SERVICE_STATUS status = {};
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    std::unique_ptr<boost::thread> worker;
    boost::mutex statusLock;
    // Exit code that the end of the stop sequence reports: set by a worker
    // whose run() failed while the stop was already under way.
    DWORD workerExitCode = NO_ERROR;
};

// The services the framework runs, installs or removes; the index of a
// service is its slot in the entry-point tables.
typedef std::vector<boost::shared_ptr<WindowsService>> ServiceTable;

// The most services one process can host: the number of entry points.
constexpr std::size_t maxServices = 32;

// Connects the table to the service control manager and runs its services
// until every one of them has stopped and no control handler runs any more
// (after a control, it also waits a moment for the handler's answer to
// reach the manager, so that the process can end). Returns the result of
// StartServiceCtrlDispatcherW (non-zero for success), or 0 at once when a
// dispatch already runs in this process or the table has more than
// maxServices entries. Outside the service manager the dispatcher fails
// (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT; under Wine only after ~10 s).
BOOL RegisterServices(const ServiceTable& table);

// Install or remove every service of the table in table order, printing
// the outcome of each on standard output. A table of more than maxServices
// entries (for removal also an empty one) is ignored. Never throw.
void InstallServices(const ServiceTable& table);
void RemoveServices(const ServiceTable& table);

// Creates one service of this executable (own process, quoted image path,
// error control normal), sets its description and registers its event
// source when these are not empty, and sets its recovery actions, with the
// failure-actions flag, when they restart. Prints "<name> is installed." or
// the failing call with its GetLastError() value; after the creation a
// failing part is printed and the others are still set. Never throws.
void InstallService(const std::wstring& name, const std::wstring& displayName, DWORD startType,
                    const std::vector<std::wstring>& dependencies, const std::wstring& accountName,
                    const boost::optional<std::wstring>& password, const std::wstring& description = std::wstring(),
                    const std::wstring& eventSourceName = std::wstring(),
                    const RecoveryActions& recovery = RecoveryActions());
// Stops the service if it runs (waiting while it reports SERVICE_STOP_PENDING),
// deletes it and, when given, removes its event source. Prints the outcome.
// Never throws.
void RemoveService(const std::wstring& name, const std::wstring& eventSourceName = std::wstring());

// The plain entry points for the service at `slot` of the table being
// dispatched: the service main function and the control handler. Throw
// std::logic_error for a slot of maxServices or more.
LPSERVICE_MAIN_FUNCTIONW serviceMainEntry(std::size_t slot);
LPHANDLER_FUNCTION controlHandlerEntry(std::size_t slot);
