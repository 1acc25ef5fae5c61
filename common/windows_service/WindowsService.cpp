#include "windows_service/WindowsService.h"

#include <array>
#include <stdexcept>
#include <utility>

#include <boost/exception/get_error_info.hpp>
#include <boost/exception/info.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/throw_exception.hpp>

#include "logging/Log.h"
#include "utf/Utf.h"

namespace {

using utf::narrow;

// The code Windows itself gives a service that ended through an exception;
// any non-zero code tells the service manager (and its recovery actions)
// that the service failed rather than stopped as asked.
const DWORD failureExitCode = ERROR_EXCEPTION_IN_SERVICE;

// Time for the dispatcher thread to send the answer of a handler that has
// just returned: the answer follows the return at once, and a process that
// ends before it fails the sender's ControlService with ERROR_BROKEN_PIPE
// although the service stopped.
const DWORD controlAnswerMilliseconds = 100;

// The exception being handled (call it inside a catch block), on one line:
// its text and, when it has one, its throw site.
std::string currentException()
{
    try {
        throw;
    } catch (const std::exception& e) {
        std::string text = e.what();
        const char* const* file = boost::get_error_info<boost::throw_file>(e);
        const int* line = boost::get_error_info<boost::throw_line>(e);
        if (file && line)
            text += " (thrown at " + std::string(*file) + "(" + std::to_string(*line) + "))";
        return text;
    } catch (...) {
        return "an exception of unknown type";
    }
}

void checkSlot(std::size_t slot)
{
    if (slot >= maxServices)
        BOOST_THROW_EXCEPTION(
            std::logic_error("Logic error: too many services, RegisterServices should have checked this"));
}

}  // namespace

// The process's one connection to the service manager, behind the plain
// entry points. Its contract: the table changes only inside dispatch(),
// under its lock and while no dispatcher runs (so the entry points read it
// without one), and dispatch() returns only once no control handler runs on
// the table's objects and the last handler's answer has had time to reach
// the manager.
class ServiceDispatcher {
public:
    BOOL dispatch(const ServiceTable& table);
    void serviceMain(std::size_t slot, DWORD argc, LPWSTR* argv);
    void control(std::size_t slot, DWORD control);

private:
    // Counts one handler call as running for its lifetime, on every path out.
    class RunningControl {
    public:
        explicit RunningControl(ServiceDispatcher& owner);
        ~RunningControl();
        RunningControl(const RunningControl&) = delete;
        RunningControl& operator=(const RunningControl&) = delete;

    private:
        ServiceDispatcher& owner;
    };

    void waitForControlHandlers();
    static void joinFailedWorker(WindowsService& service);

    ServiceTable services;
    // Held for the whole dispatch: a second dispatch in the same process is
    // refused at once instead of waiting for the first to end.
    boost::mutex dispatchLock;

    // Control handlers of the current dispatch: how many run now, and
    // whether any has run at all. Wine calls the handlers on a thread of its
    // own and returns from the dispatcher as soon as the last service
    // reports SERVICE_STOPPED, even when that report came from a handler
    // that has yet to return and send its answer to the manager; Windows
    // calls them on the dispatcher's own thread.
    boost::mutex controlLock;
    boost::condition_variable controlsEnded;
    std::size_t runningControls = 0;
    bool controlsDispatched = false;
};

namespace {

ServiceDispatcher dispatcher;

// The system calls service mains and control handlers without a context
// pointer: each slot gets a function of its own that knows its index.
template <std::size_t Slot>
void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv)
{
    dispatcher.serviceMain(Slot, argc, argv);
}

template <std::size_t Slot>
void WINAPI ControlHandlerEntry(DWORD control)
{
    dispatcher.control(Slot, control);
}

template <std::size_t... Slots>
constexpr std::array<LPSERVICE_MAIN_FUNCTIONW, sizeof...(Slots)> serviceMainEntries(std::index_sequence<Slots...>)
{
    return {{&ServiceMainEntry<Slots>...}};
}

template <std::size_t... Slots>
constexpr std::array<LPHANDLER_FUNCTION, sizeof...(Slots)> controlHandlerEntries(std::index_sequence<Slots...>)
{
    return {{&ControlHandlerEntry<Slots>...}};
}

constexpr auto serviceMains = serviceMainEntries(std::make_index_sequence<maxServices>());
constexpr auto controlHandlers = controlHandlerEntries(std::make_index_sequence<maxServices>());

}  // namespace

BOOL ServiceDispatcher::dispatch(const ServiceTable& table)
{
    boost::mutex::scoped_lock lock(dispatchLock, boost::try_to_lock);
    if (!lock.owns_lock() || table.size() > maxServices)
        return FALSE;

    std::vector<std::wstring> names;
    names.reserve(table.size());
    std::array<SERVICE_TABLE_ENTRYW, maxServices + 1> entries = {};  // zero entry ends the table
    for (std::size_t slot = 0; slot < table.size(); ++slot) {
        names.push_back(table[slot]->serviceName());
        entries[slot].lpServiceName = names.back().data();
        entries[slot].lpServiceProc = serviceMainEntry(slot);
    }

    services = table;
    const BOOL result = StartServiceCtrlDispatcherW(entries.data());
    waitForControlHandlers();
    for (const auto& service : services)
        joinFailedWorker(*service);
    services.clear();
    return result;
}

void ServiceDispatcher::serviceMain(std::size_t slot, DWORD argc, LPWSTR* argv)
{
    // Keeps the object alive for the whole start sequence.
    const boost::shared_ptr<WindowsService> service = services[slot];
    service->statusHandle = RegisterServiceCtrlHandlerW(service->serviceName().c_str(), controlHandlerEntry(slot));
    service->serviceMain(argc, argv);
}

void ServiceDispatcher::control(std::size_t slot, DWORD control)
{
    const RunningControl running(*this);
    services[slot]->onControl(control);
}

ServiceDispatcher::RunningControl::RunningControl(ServiceDispatcher& owner) : owner(owner)
{
    boost::mutex::scoped_lock lock(owner.controlLock);
    ++owner.runningControls;
    owner.controlsDispatched = true;
}

ServiceDispatcher::RunningControl::~RunningControl()
{
    boost::mutex::scoped_lock lock(owner.controlLock);
    --owner.runningControls;
    owner.controlsEnded.notify_all();
}

// The dispatcher has returned: waits until no handler runs on the objects of
// the table, and gives the last one's answer time to reach the manager
// before the process may end.
void ServiceDispatcher::waitForControlHandlers()
{
    boost::mutex::scoped_lock lock(controlLock);
    controlsEnded.wait(lock, [this] { return runningControls == 0; });
    const bool answerMayBePending = std::exchange(controlsDispatched, false);
    lock.unlock();
    if (answerMayBePending)
        Sleep(controlAnswerMilliseconds);
}

// A worker whose run() failed has reported SERVICE_STOPPED itself and is only
// returning; it is joined before the table lets go of its object.
void ServiceDispatcher::joinFailedWorker(WindowsService& service)
{
    if (service.workerExitCode != NO_ERROR && service.worker && service.worker->joinable())
        service.worker->join();
}

BOOL RegisterServices(const ServiceTable& table)
{
    return dispatcher.dispatch(table);
}

LPSERVICE_MAIN_FUNCTIONW serviceMainEntry(std::size_t slot)
{
    checkSlot(slot);
    return serviceMains[slot];
}

LPHANDLER_FUNCTION controlHandlerEntry(std::size_t slot)
{
    checkSlot(slot);
    return controlHandlers[slot];
}

WindowsService::WindowsService() = default;

WindowsService::~WindowsService() = default;

void WindowsService::onStart(DWORD, LPWSTR*) {}

void WindowsService::onStop() {}

void WindowsService::onControl(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP)
        stop();
}

void WindowsService::setStatus(DWORD state, DWORD exitCode, DWORD waitHint)
{
    boost::mutex::scoped_lock lock(statusLock);
    reportLocked(state, exitCode, waitHint);
}

void WindowsService::reportLocked(DWORD state, DWORD exitCode, DWORD waitHint)
{
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : checkPoint++;
    status.dwControlsAccepted = controlsAccepted();
    SetServiceStatus(statusHandle, &status);
}

bool WindowsService::setStatusUnlessStopped(DWORD state)
{
    boost::mutex::scoped_lock lock(statusLock);
    if (status.dwCurrentState == SERVICE_STOPPED)
        return false;
    reportLocked(state, NO_ERROR, 0);
    return true;
}

DWORD WindowsService::currentState()
{
    boost::mutex::scoped_lock lock(statusLock);
    return status.dwCurrentState;
}

void WindowsService::resetStatus()
{
    boost::mutex::scoped_lock lock(statusLock);
    checkPoint = 1;
    // Reported as a shared-process service although it is installed as one
    // of its own: the framework may host several in one process.
    status.dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    workerExitCode = NO_ERROR;
}

void WindowsService::serviceMain(DWORD argc, LPWSTR* argv)
{
    resetStatus();
    try {
        setStatus(SERVICE_START_PENDING, NO_ERROR, 0);
        onStart(argc, argv);
        worker = std::make_unique<boost::thread>(&WindowsService::runWorker, this);
        // A run() that failed at once has already reported the end.
        setStatusUnlessStopped(SERVICE_RUNNING);
    } catch (...) {
        LOG_ERROR("%s failed to start: %s", narrow(serviceName()).c_str(), currentException().c_str());
        setStatus(SERVICE_STOPPED, failureExitCode, 0);
    }
}

void WindowsService::runWorker()
{
    try {
        run();
    } catch (const boost::thread_interrupted&) {
        // the stop request, let out of run(): a normal end
    } catch (...) {
        LOG_ERROR("%s ended by an exception: %s", narrow(serviceName()).c_str(), currentException().c_str());
        reportWorkerFailure();
    }
}

void WindowsService::reportWorkerFailure()
{
    boost::mutex::scoped_lock lock(statusLock);
    workerExitCode = failureExitCode;
    // A stop under way reports the end itself once it has joined this thread.
    if (status.dwCurrentState != SERVICE_STOP_PENDING && status.dwCurrentState != SERVICE_STOPPED)
        reportLocked(SERVICE_STOPPED, failureExitCode, 0);
}

void WindowsService::stop()
{
    const DWORD previous = currentState();
    try {
        // run() failed and the service has ended already.
        if (!setStatusUnlessStopped(SERVICE_STOP_PENDING))
            return;
        interruptAndJoinWorker();
        onStop();
        boost::mutex::scoped_lock lock(statusLock);
        reportLocked(SERVICE_STOPPED, workerExitCode, 0);
    } catch (...) {
        LOG_ERROR("%s failed to stop: %s", narrow(serviceName()).c_str(), currentException().c_str());
        setStatus(previous, NO_ERROR, 0);
    }
}

void WindowsService::interruptAndJoinWorker()
{
    if (worker && worker->joinable()) {
        worker->interrupt();
        worker->join();
    }
}
