// The service framework against Wine's real service manager: the test
// service program is installed with its own "/install", started, controlled
// and stopped through the manager, and removed with "/remove". The status
// reports are followed by polling the manager; the service writes what the
// framework does to it into a log file.

#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <boost/chrono.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/thread.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "handle/KernelHandle.h"
#include "support/Lines.h"
#include "support/LiveProcess.h"
#include "support/RunProgram.h"
#include "support/ServiceManager.h"
#include "support/TestInputs.h"
#include "utf/Utf.h"
#include "windows_service/FrameworkTestNames.h"
#include "windows_service/ServiceHandle.h"
#include "windows_service/WindowsService.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ContainsRegex;
using ::testing::MatchesRegex;

namespace {

// How "sc query" shows a running service.
const char runningState[] = "STATE\\s*:\\s*4\\s+RUNNING";

using utf::narrow;

// A folder with a blank in its name: an unquoted image path would break here.
std::wstring serviceDirectory()
{
    return programDirectory() + L"\\framework test";
}

const wchar_t serviceProgramName[] = L"windows_service_test_service.exe";

std::wstring serviceProgram()
{
    return serviceDirectory() + L"\\" + serviceProgramName;
}

std::wstring eventSourceKey()
{
    return std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + frameworkTest::eventSource;
}

ProgramResult runService(const std::wstring& action)
{
    return runProgram(L"\"" + serviceProgram() + L"\" " + action, timeouts::state);
}

// Stops and deletes whatever an earlier or failed run left behind.
void removeTestServices()
{
    removeService(frameworkTest::firstName, eventSourceKey().c_str());
    removeService(frameworkTest::secondName);
}

// The test services installed by their own "/install" for each test, and
// removed before and after it whatever the test did.
class InstalledServices : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        removeTestServices();
        placeProgram(serviceProgramName, serviceDirectory());
    }

    void SetUp() override
    {
        removeTestServices();
        continueEvent.reset(
            CreateEventW(nullptr, TRUE, FALSE, frameworkTest::continueEventName(frameworkTest::firstName).c_str()));
        ASSERT_TRUE(continueEvent);
        // An exiting service process may still keep the last test's event alive.
        ResetEvent(continueEvent.get());
        std::string testName = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(testName.begin(), testName.end(), '/', '_');  // parameterised names
        logPath = serviceDirectory() + L"\\" + utf::widen(testName) + L".log";
        DeleteFileW(logPath.c_str());
        const ProgramResult installed = runService(L"/install");
        ASSERT_EQ(installed.output, "OstrelFrameworkTest is installed.\nOstrelFrameworkTest2 is installed.\n");
        ASSERT_EQ(installed.exitCode, 0u);
        manager = openManager();
        first = ServiceHandle(OpenServiceW(manager.get(), frameworkTest::firstName, SERVICE_ALL_ACCESS));
        second = ServiceHandle(OpenServiceW(manager.get(), frameworkTest::secondName, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(first);
        ASSERT_TRUE(second);
    }

    void TearDown() override
    {
        SetEvent(continueEvent.get());  // no service stays held
        first = ServiceHandle();
        second = ServiceHandle();
        manager = ServiceHandle();
        removeTestServices();
        continueEvent.reset();
    }

    // Starts the first service with the arguments, its log file first.
    // Wine's StartServiceW may wait for the start sequence, so it runs on a
    // thread of its own while the test watches the service.
    boost::thread startFirst(std::vector<std::wstring> arguments)
    {
        arguments.insert(arguments.begin(), logPath);
        return boost::thread([this, arguments] {
            std::vector<const wchar_t*> argv;
            for (const auto& argument : arguments)
                argv.push_back(argument.c_str());
            if (!StartServiceW(first.get(), DWORD(argv.size()), argv.data()))
                ADD_FAILURE() << "StartService failed: " << GetLastError();
        });
    }

    std::vector<std::string> log() const { return linesOf(readFileBytes(utf::narrow(logPath))); }

    ServiceHandle manager;
    ServiceHandle first;
    ServiceHandle second;
    KernelHandle continueEvent;
    std::wstring logPath;
};

// Read from the service's key: Wine's QueryServiceConfigW leaves the list empty.
std::vector<std::wstring> queryDependencies(const std::wstring& service)
{
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + service;
    wchar_t list[512] = {};
    DWORD size = sizeof list - 2 * sizeof(wchar_t);  // room for the NULs that end the list
    std::vector<std::wstring> names;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, list, &size) !=
        ERROR_SUCCESS)
        return names;
    for (const wchar_t* name = list; *name; name += wcslen(name) + 1)
        names.push_back(name);
    return names;
}

TEST_F(InstalledServices, InstallRegistersQuotedOwnProcessServices)
{
    struct Expected {
        SC_HANDLE service;
        const wchar_t* name;
        const wchar_t* displayName;
        std::vector<std::wstring> dependencies;
        const wchar_t* description;
    };
    const std::vector<Expected> cases = {
        {first.get(), frameworkTest::firstName, frameworkTest::firstDisplayName, {}, frameworkTest::firstDescription},
        {second.get(), frameworkTest::secondName, frameworkTest::secondDisplayName, {L"RpcSs", L"PlugPlay"}, L""},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(narrow(std::wstring(expected.displayName)));
        const std::vector<BYTE> buffer = queryConfig(expected.service);
        const auto& config = *reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
        EXPECT_EQ(std::wstring(config.lpBinaryPathName), L"\"" + serviceProgram() + L"\"");
        EXPECT_EQ(config.dwServiceType, DWORD(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config.dwStartType, DWORD(SERVICE_DEMAND_START));
        EXPECT_EQ(config.dwErrorControl, DWORD(SERVICE_ERROR_NORMAL));
        EXPECT_EQ(std::wstring(config.lpDisplayName), expected.displayName);
        EXPECT_EQ(std::wstring(config.lpServiceStartName), frameworkTest::accountName);
        EXPECT_EQ(queryDependencies(expected.name), expected.dependencies);
        EXPECT_EQ(queryDescription(expected.service), expected.description);
    }

    wchar_t messageFile[MAX_PATH] = {};
    DWORD size = sizeof messageFile;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, eventSourceKey().c_str(), L"EventMessageFile",
                           RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, messageFile, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(messageFile), serviceProgram());
    DWORD types = 0;
    size = sizeof types;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, eventSourceKey().c_str(), L"TypesSupported", RRF_RT_REG_DWORD, nullptr,
                           &types, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
}

TEST_F(InstalledServices, SecondInstallReportsTheServicesExist)
{
    const ProgramResult again = runService(L"/install");
    EXPECT_EQ(again.output,
              "CreateService failed, GetLastError: 0x00000431\nCreateService failed, GetLastError: 0x00000431\n");
    EXPECT_EQ(again.exitCode, 0u);
}

TEST_F(InstalledServices, TablesBeyondTheLimitsAreIgnored)
{
    // 33 copies of the first service: each would report it exists.
    EXPECT_EQ(runService(L"/install-oversized").output, "");
    EXPECT_EQ(runService(L"/remove-empty").output, "");
    EXPECT_EQ(queryStatus(first.get()).dwCurrentState, DWORD(SERVICE_STOPPED));
}

TEST_F(InstalledServices, LifeReportsPendingStatesWithCheckPoints)
{
    std::vector<StatusReport> seen;
    boost::thread starting = startFirst({L"hold"});
    const SERVICE_STATUS_PROCESS startPending = waitForStatus(
        first.get(),
        [](const SERVICE_STATUS_PROCESS& s) {
            return s.dwCurrentState == SERVICE_START_PENDING && s.dwCheckPoint == 1;
        },
        &seen);
    EXPECT_EQ(startPending.dwControlsAccepted, DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    SetEvent(continueEvent.get());
    const SERVICE_STATUS_PROCESS running = waitForState(first.get(), SERVICE_RUNNING, &seen);
    ResetEvent(continueEvent.get());
    starting.join();
    EXPECT_EQ(running.dwCheckPoint, 0u);
    EXPECT_EQ(running.dwControlsAccepted, DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));

    const ProgramResult query = runProgram(L"sc query OstrelFrameworkTest", timeouts::state);
    EXPECT_THAT(query.output, ContainsRegex(runningState));

    // Codes other than stop reach the service and are ignored. The manager
    // refuses to send SERVICE_CONTROL_SHUTDOWN on request (87, as Windows
    // does); the in-process test below covers that one.
    for (DWORD control : {DWORD(SERVICE_CONTROL_INTERROGATE), DWORD(128)}) {
        SERVICE_STATUS status;
        EXPECT_TRUE(ControlService(first.get(), control, &status)) << control << ": " << GetLastError();
        EXPECT_EQ(queryStatus(first.get()).dwCurrentState, DWORD(SERVICE_RUNNING)) << control;
    }

    LiveProcess stopping(L"net stop OstrelFrameworkTest");
    waitForStatus(
        first.get(),
        [](const SERVICE_STATUS_PROCESS& s) { return s.dwCurrentState == SERVICE_STOP_PENDING && s.dwCheckPoint == 2; },
        &seen);
    SetEvent(continueEvent.get());
    const SERVICE_STATUS_PROCESS stopped = waitForState(first.get(), SERVICE_STOPPED, &seen);
    DWORD netStopExit = STILL_ACTIVE;
    EXPECT_TRUE(stopping.finish(timeouts::state, &netStopExit));
    EXPECT_EQ(netStopExit, 0u) << stopping.text();
    EXPECT_EQ(stopped.dwCheckPoint, 0u);
    EXPECT_EQ(stopped.dwWin32ExitCode, DWORD(NO_ERROR));

    // Statuses before the first report of the service are the manager's own.
    const auto ours = std::find(seen.begin(), seen.end(), StatusReport{SERVICE_START_PENDING, 1});
    EXPECT_THAT(std::vector<StatusReport>(ours, seen.end()),
                ElementsAre(StatusReport{SERVICE_START_PENDING, 1}, StatusReport{SERVICE_RUNNING, 0},
                            StatusReport{SERVICE_STOP_PENDING, 2}, StatusReport{SERVICE_STOPPED, 0}));
    EXPECT_THAT(log(), ElementsAre("onStart argc=3", "nested RegisterServices returned 0", "run", "control 4",
                                   "control 128", "control 1", "run interrupted", "onStop"));
}

struct FailureCase {
    const char* name;
    const wchar_t* argument;
    const char* logged;
    bool runs;
};

class FailingService : public InstalledServices, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailingService, ReportsStoppedWithAnExitCodeAndLogsTheCause)
{
    boost::thread starting = startFirst({GetParam().argument});
    // Until the service reports, the manager shows it stopped and never started.
    const SERVICE_STATUS_PROCESS stopped = waitForStatus(first.get(), [](const SERVICE_STATUS_PROCESS& s) {
        return s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode != ERROR_SERVICE_NEVER_STARTED;
    });
    starting.join();
    EXPECT_EQ(stopped.dwWin32ExitCode, DWORD(ERROR_EXCEPTION_IN_SERVICE));

    const std::vector<std::string> lines = log();
    EXPECT_THAT(lines, ::testing::Contains(HasSubstr(GetParam().logged)));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "run"), GetParam().runs ? 1 : 0);
    EXPECT_THAT(lines, ::testing::Not(::testing::Contains("onStop")));

    // The process ended normally: removal finds nothing to stop.
    EXPECT_EQ(runService(L"/remove").output, "OstrelFrameworkTest is removed.\nOstrelFrameworkTest2 is removed.\n");
}

INSTANTIATE_TEST_SUITE_P(
    StartAndRun, FailingService,
    ::testing::Values(FailureCase{"StartThrows", L"throw-start",
                                  "OstrelFrameworkTest failed to start: onStart refused on purpose", false},
                      FailureCase{"RunThrows", L"throw-run",
                                  "OstrelFrameworkTest ended by an exception: run failed on purpose (thrown at ",
                                  true}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(InstalledServices, SecondSlotRunsUnderNetStartAndStop)
{
    EXPECT_EQ(runProgram(L"net start OstrelFrameworkTest2", timeouts::state).exitCode, 0u);
    waitForState(second.get(), SERVICE_RUNNING);
    EXPECT_THAT(runProgram(L"sc query OstrelFrameworkTest2", timeouts::state).output, ContainsRegex(runningState));
    // The first slot's service is not started along with it.
    EXPECT_EQ(queryStatus(first.get()).dwCurrentState, DWORD(SERVICE_STOPPED));

    // Stop reaches the second object only through the second control handler.
    EXPECT_EQ(runProgram(L"net stop OstrelFrameworkTest2", timeouts::state).exitCode, 0u);
    const SERVICE_STATUS_PROCESS stopped = waitForState(second.get(), SERVICE_STOPPED);
    EXPECT_EQ(stopped.dwWin32ExitCode, DWORD(NO_ERROR));
}

TEST_F(InstalledServices, RemoveStopsARunningServiceFirst)
{
    boost::thread starting = startFirst({});
    waitForState(first.get(), SERVICE_RUNNING);
    starting.join();

    const ProgramResult removed = runService(L"/remove");
    EXPECT_THAT(removed.output, MatchesRegex("Stopping OstrelFrameworkTest\\.\\.*\n"
                                             "OstrelFrameworkTest is stopped\\.\n"
                                             "OstrelFrameworkTest is removed\\.\n"
                                             "OstrelFrameworkTest2 is removed\\.\n"));
    EXPECT_EQ(removed.exitCode, 0u);
    EXPECT_THAT(log(), ElementsAre("onStart argc=2", "nested RegisterServices returned 0", "run", "control 1",
                                   "run interrupted", "onStop"));
    EXPECT_FALSE(eventSourceExists(eventSourceKey().c_str()));
}

// Wine's dispatcher returns as soon as the last service reports
// SERVICE_STOPPED, which the stop handler does before it returns: the
// process must still wait for that handler and let its answer reach the
// manager.
TEST_F(InstalledServices, ProcessEndsOnlyAfterTheStopHandlerHasReturned)
{
    boost::thread starting = startFirst({L"linger"});
    waitForState(first.get(), SERVICE_RUNNING);
    starting.join();

    const ProgramResult stopping = runProgram(L"net stop OstrelFrameworkTest", timeouts::state);
    EXPECT_EQ(stopping.exitCode, 0u) << stopping.output;
    EXPECT_EQ(waitForState(first.get(), SERVICE_STOPPED).dwWin32ExitCode, DWORD(NO_ERROR));
    waitForServiceProcesses();
    EXPECT_THAT(log(), ElementsAre("onStart argc=3", "nested RegisterServices returned 0", "run", "control 1",
                                   "run interrupted", "onStop", "control 1 returned"));
}

TEST_F(InstalledServices, RemoveOfStoppedServicesPrintsOnlyTheRemoval)
{
    ASSERT_TRUE(eventSourceExists(eventSourceKey().c_str()));
    first = ServiceHandle();
    second = ServiceHandle();
    const ProgramResult removed = runService(L"/remove");
    EXPECT_EQ(removed.output, "OstrelFrameworkTest is removed.\nOstrelFrameworkTest2 is removed.\n");
    EXPECT_FALSE(eventSourceExists(eventSourceKey().c_str()));
    EXPECT_FALSE(ServiceHandle(OpenServiceW(manager.get(), frameworkTest::firstName, SERVICE_QUERY_STATUS)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));

    EXPECT_EQ(runService(L"/remove").output,
              "OpenService failed, GetLastError: 0x00000424\nOpenService failed, GetLastError: 0x00000424\n");
}

// The framework's own checks, in this process, without the service manager.

TEST(ServiceEntryTables, SlotsBeyondTheLastThrow)
{
    std::vector<LPSERVICE_MAIN_FUNCTIONW> mains;
    std::vector<LPHANDLER_FUNCTION> handlers;
    for (std::size_t slot = 0; slot < maxServices; ++slot) {
        mains.push_back(serviceMainEntry(slot));
        handlers.push_back(controlHandlerEntry(slot));
    }
    std::sort(mains.begin(), mains.end());
    std::sort(handlers.begin(), handlers.end());
    EXPECT_EQ(std::unique(mains.begin(), mains.end()), mains.end()) << "each slot has a function of its own";
    EXPECT_EQ(std::unique(handlers.begin(), handlers.end()), handlers.end());

    const std::string text = "Logic error: too many services, RegisterServices should have checked this";
    for (std::size_t slot : {maxServices, maxServices + 1, std::size_t(1000)}) {
        try {
            serviceMainEntry(slot);
            ADD_FAILURE() << "service main of slot " << slot;
        } catch (const std::logic_error& e) {
            EXPECT_EQ(e.what(), text);
        }
        try {
            controlHandlerEntry(slot);
            ADD_FAILURE() << "control handler of slot " << slot;
        } catch (const std::logic_error& e) {
            EXPECT_EQ(e.what(), text);
        }
    }
}

// A service run by calling the framework directly: its status reports go
// nowhere (no status handle), its steps are recorded in order.
class RecordingService : public WindowsService {
public:
    explicit RecordingService(bool throwInStart = false) : throwInStart(throwInStart) {}

    std::wstring serviceName() const override { return L"OstrelFrameworkInProcess"; }
    std::wstring displayName() const override { return serviceName(); }
    DWORD startType() const override { return SERVICE_DEMAND_START; }
    std::vector<std::wstring> dependencies() const override { return {}; }
    std::wstring accountName() const override { return frameworkTest::accountName; }
    boost::optional<std::wstring> password() const override { return boost::none; }
    DWORD controlsAccepted() const override { return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN; }

    void onStart(DWORD, LPWSTR*) override
    {
        record("onStart");
        if (throwInStart)
            throw std::runtime_error("refused");
    }
    void run() override
    {
        record("run");
        try {
            for (;;)
                boost::this_thread::sleep_for(boost::chrono::hours(1));
        } catch (const boost::thread_interrupted&) {
            record("interrupted");
        }
    }
    void onStop() override { record("onStop"); }

    void waitForRun()
    {
        boost::mutex::scoped_lock lock(mutex);
        changed.wait(lock, [this] { return std::find(steps.begin(), steps.end(), "run") != steps.end(); });
    }
    std::vector<std::string> recorded()
    {
        boost::mutex::scoped_lock lock(mutex);
        return steps;
    }

private:
    void record(const std::string& step)
    {
        boost::mutex::scoped_lock lock(mutex);
        steps.push_back(step);
        changed.notify_all();
    }

    const bool throwInStart;
    boost::mutex mutex;
    boost::condition_variable changed;
    std::vector<std::string> steps;
};

wchar_t inProcessName[] = L"OstrelFrameworkInProcess";
LPWSTR inProcessArgv[] = {inProcessName};

TEST(ServiceSequences, OnlyTheStopControlEndsRunAndStopWaitsForIt)
{
    RecordingService service;
    service.serviceMain(1, inProcessArgv);
    service.waitForRun();
    for (DWORD control : {DWORD(SERVICE_CONTROL_SHUTDOWN), DWORD(SERVICE_CONTROL_INTERROGATE),
                          DWORD(SERVICE_CONTROL_PAUSE), DWORD(128)})
        service.onControl(control);
    EXPECT_THAT(service.recorded(), ElementsAre("onStart", "run"));
    service.onControl(SERVICE_CONTROL_STOP);
    EXPECT_THAT(service.recorded(), ElementsAre("onStart", "run", "interrupted", "onStop"));
    // Stopped: a further stop finds nothing to do.
    service.onControl(SERVICE_CONTROL_STOP);
    EXPECT_THAT(service.recorded(), ElementsAre("onStart", "run", "interrupted", "onStop"));
}

TEST(ServiceSequences, FailedStartNeverRunsAndNeedsNoStop)
{
    RecordingService service(true);
    service.serviceMain(1, inProcessArgv);
    service.stop();
    EXPECT_THAT(service.recorded(), ElementsAre("onStart"));
}

TEST(RegisterServicesRefusal, MoreThan32ServicesNeverReachTheManager)
{
    const ServiceTable table(maxServices + 1, boost::make_shared<RecordingService>());
    // The dispatcher itself would fail here too, with 1063, after a while.
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(RegisterServices(table), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
}

}  // namespace
