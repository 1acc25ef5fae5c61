// A program of its own for the framework's tests, hosting two services that
// never collide with the real one. Started by the service manager with
// arguments, a service writes what the framework does to it as lines into a
// file, so that a test can follow it from another process:
//   <log path>   the file the service's standard output (its log lines and
//                the lines below) goes to, appended
//   hold         waits for the event Global\<name>.continue in onStart and
//                again when run() is interrupted, so that the pending
//                states can be observed
//   throw-start  onStart throws
//   throw-run    run() throws as soon as it starts
//   linger       each control handler goes on for a while after the
//                framework's dispatch of the control has returned (for a
//                stop: after SERVICE_STOPPED is reported), then writes
//                "control <code> returned"
// Command line: none (service), /install, /remove, and /install-oversized
// and /remove-empty for the tables the framework must ignore.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include <boost/chrono.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>
#include <boost/throw_exception.hpp>

#include "handle/KernelHandle.h"
#include "windows_service/FrameworkTestNames.h"
#include "windows_service/WindowsService.h"

namespace {

// Long enough for any test, short enough that a forgotten service ends.
const DWORD holdTimeoutMilliseconds = 60000;
// Far beyond the moment a process that does not wait for its handlers ends
// after the stopped report, so that such a process ends under the handler.
const DWORD lingerMilliseconds = 2000;

class FrameworkTestService : public WindowsService {
public:
    FrameworkTestService(const wchar_t* name, const wchar_t* displayName, std::vector<std::wstring> dependencies,
                         const wchar_t* description, const wchar_t* eventSource)
        : name(name),
          display(displayName),
          dependencyNames(std::move(dependencies)),
          descriptionText(description),
          eventSource(eventSource)
    {
    }

    std::wstring serviceName() const override { return name; }
    std::wstring displayName() const override { return display; }
    DWORD startType() const override { return SERVICE_DEMAND_START; }
    std::vector<std::wstring> dependencies() const override { return dependencyNames; }
    std::wstring accountName() const override { return frameworkTest::accountName; }
    boost::optional<std::wstring> password() const override { return boost::none; }
    DWORD controlsAccepted() const override { return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN; }
    std::wstring description() const override { return descriptionText; }
    std::wstring eventSourceName() const override { return eventSource; }

    void onStart(DWORD argc, LPWSTR* argv) override
    {
        for (DWORD i = 1; i < argc; ++i) {
            const std::wstring argument = argv[i];
            if (argument == L"hold")
                hold = true;
            else if (argument == L"throw-start")
                throwInStart = true;
            else if (argument == L"throw-run")
                throwInRun = true;
            else if (argument == L"linger")
                linger = true;
            else
                redirectOutput(argument);
        }
        std::printf("onStart argc=%lu\n", static_cast<unsigned long>(argc));
        // This process is inside a dispatch: a second one must be refused.
        std::printf("nested RegisterServices returned %d\n", RegisterServices(ServiceTable()));
        if (throwInStart)
            throw std::runtime_error("onStart refused on purpose");
        waitIfHeld();
    }

    void run() override
    {
        std::printf("run\n");
        if (throwInRun)
            BOOST_THROW_EXCEPTION(std::runtime_error("run failed on purpose"));
        try {
            for (;;)
                boost::this_thread::sleep_for(boost::chrono::hours(1));
        } catch (const boost::thread_interrupted&) {
            std::printf("run interrupted\n");
            waitIfHeld();
            throw;
        }
    }

    void onStop() override { std::printf("onStop\n"); }

    void onControl(DWORD control) override
    {
        std::printf("control %lu\n", static_cast<unsigned long>(control));
        WindowsService::onControl(control);
        if (linger) {
            Sleep(lingerMilliseconds);
            std::printf("control %lu returned\n", static_cast<unsigned long>(control));
        }
    }

private:
    // A service process has no standard output, and Wine's msvcrt refuses to
    // reopen a stream that has no descriptor (freopen fails): the file's
    // descriptor is put under the stream by hand.
    static void redirectOutput(const std::wstring& path)
    {
        const int descriptor = _wopen(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_TEXT, _S_IREAD | _S_IWRITE);
        if (descriptor < 0)
            return;
        stdout->_file = descriptor;
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
    }

    void waitIfHeld() const
    {
        if (!hold)
            return;
        const KernelHandle event(OpenEventW(SYNCHRONIZE, FALSE, frameworkTest::continueEventName(name).c_str()));
        if (!event) {
            std::printf("no continue event\n");
            return;
        }
        WaitForSingleObject(event.get(), holdTimeoutMilliseconds);
    }

    const std::wstring name;
    const std::wstring display;
    const std::vector<std::wstring> dependencyNames;
    const std::wstring descriptionText;
    const std::wstring eventSource;
    bool hold = false;
    bool throwInStart = false;
    bool throwInRun = false;
    bool linger = false;
};

boost::shared_ptr<WindowsService> firstService()
{
    return boost::make_shared<FrameworkTestService>(frameworkTest::firstName, frameworkTest::firstDisplayName,
                                                    std::vector<std::wstring>(), frameworkTest::firstDescription,
                                                    frameworkTest::eventSource);
}

boost::shared_ptr<WindowsService> secondService()
{
    return boost::make_shared<FrameworkTestService>(
        frameworkTest::secondName, frameworkTest::secondDisplayName,
        std::vector<std::wstring>(std::begin(frameworkTest::secondDependencies),
                                  std::end(frameworkTest::secondDependencies)),
        L"", L"");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ServiceTable table{firstService(), secondService()};
    const std::wstring action = argc > 1 ? argv[1] : L"";
    if (action.empty()) {
        RegisterServices(table);
    } else if (action == L"/install") {
        InstallServices(table);
    } else if (action == L"/remove") {
        RemoveServices(table);
    } else if (action == L"/install-oversized") {
        // Were the limit not checked, each copy would report the service as existing.
        InstallServices(ServiceTable(maxServices + 1, table.front()));
    } else if (action == L"/remove-empty") {
        RemoveServices(ServiceTable());
    }
    return 0;
}
