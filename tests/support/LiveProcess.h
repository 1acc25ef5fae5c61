#pragma once
// The tests' one way to start a child process: LiveProcess owns the process
// and the pipes to it. By default its standard output and error are read
// while it runs, so that a test can wait for a line, look at files
// meanwhile, and then kill, interrupt or let the process end; its standard
// input can be a pipe the test writes to, and its standard output a file
// instead of the pipe. Destruction ends a process that is still running
// (TerminateProcess) and waits for it, on every path.

#include <windows.h>

#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/chrono.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "handle/KernelHandle.h"
#include "support/Lines.h"
#include "support/ProgramFolder.h"
#include "utf/Utf.h"

// How a LiveProcess is started.
struct LaunchOptions {
    DWORD creationFlags = 0;
    // A pipe to the child's standard input (writeInput, closeInput); without
    // it the child has none.
    bool inputPipe = false;
    // Where the child's standard output goes instead of the read pipe: an
    // inheritable handle, which the caller keeps and may close once the
    // process is started. Its standard error then goes to this program's.
    HANDLE outputFile = nullptr;
};

class LiveProcess {
public:
    // Starts the command line; throws std::runtime_error when the process
    // cannot be started.
    explicit LiveProcess(std::wstring commandLine, const LaunchOptions& options = LaunchOptions())
    {
        KernelHandle childInput;
        KernelHandle childOutput;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        if (options.inputPipe) {
            inheritablePipe(&childInput, &input);
            SetHandleInformation(input.get(), HANDLE_FLAG_INHERIT, 0);
            startup.hStdInput = childInput.get();
        }
        if (options.outputFile) {
            startup.hStdOutput = options.outputFile;
            startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        } else {
            inheritablePipe(&output, &childOutput);
            SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0);
            startup.hStdOutput = childOutput.get();
            startup.hStdError = childOutput.get();
        }
        PROCESS_INFORMATION info = {};
        // Under load Wine now and then refuses to create a process with
        // ERROR_INTERNAL_ERROR and creates it when asked again.
        for (int attempt = 1;; ++attempt) {
            if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, options.creationFlags, nullptr,
                               nullptr, &startup, &info))
                break;
            const DWORD error = GetLastError();
            if (error != ERROR_INTERNAL_ERROR || attempt == 3)
                throw std::runtime_error("CreateProcess failed (error " + std::to_string(error) +
                                         "): " + utf::narrow(commandLine));
            Sleep(100 * attempt);
        }
        CloseHandle(info.hThread);
        process = KernelHandle(info.hProcess);
        processId = info.dwProcessId;
        // Only the child may keep its ends, or the output never ends and
        // the input never closes.
        childInput.reset();
        childOutput.reset();
        if (output)
            reader = boost::thread(&LiveProcess::readOutput, this);
        else
            ended = true;
    }

    // Starts the command line with these creation flags and the defaults
    // otherwise.
    LiveProcess(std::wstring commandLine, DWORD creationFlags)
        : LiveProcess(std::move(commandLine), LaunchOptions{creationFlags})
    {
    }

    ~LiveProcess() { kill(); }

    LiveProcess(const LiveProcess&) = delete;
    LiveProcess& operator=(const LiveProcess&) = delete;

    DWORD id() const { return processId; }

    bool running() const { return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT; }

    // Ends the process at once, as a crash or the task manager would, and
    // waits until it is gone and all it wrote has been read.
    void kill()
    {
        if (running())
            TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), INFINITE);
        joinReader();
    }

    // Waits for the process to end by itself and for the end of its output;
    // returns its exit code, or nothing after the time-out (the process then
    // keeps running).
    bool finish(DWORD timeoutMilliseconds, DWORD* exitCode)
    {
        if (WaitForSingleObject(process.get(), timeoutMilliseconds) != WAIT_OBJECT_0)
            return false;
        joinReader();
        GetExitCodeProcess(process.get(), exitCode);
        return true;
    }

    // Writes to the child's standard input pipe; throws std::runtime_error
    // when the pipe is gone.
    void writeInput(const std::string& text)
    {
        DWORD written = 0;
        if (!WriteFile(input.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size())
            throw std::runtime_error("cannot write to the input of process " + std::to_string(processId));
    }

    // Ends the child's standard input, as the end of a file does.
    void closeInput() { input.reset(); }

    // Waits until the output so far satisfies `done`, the output has ended
    // (the process closed it), or the time runs out; returns `done` of the
    // output then.
    bool waitForText(const std::function<bool(const std::string&)>& done, DWORD timeoutMilliseconds)
    {
        boost::mutex::scoped_lock lock(mutex);
        changed.wait_for(lock, boost::chrono::milliseconds(timeoutMilliseconds),
                         [&] { return ended || done(received); });
        return done(received);
    }

    // Waits until a complete line of the output matches the pattern (an
    // ECMAScript regular expression searched in the line). False on time-out.
    bool waitForLine(const std::string& pattern, DWORD timeoutMilliseconds)
    {
        const std::regex expression(pattern);
        return waitForText(
            [&](const std::string& text) {
                for (const std::string& line : linesOf(text))
                    if (std::regex_search(line, expression))
                        return true;
                return false;
            },
            timeoutMilliseconds);
    }

    // The next complete line after those this call returned before, waiting
    // as long as it takes; throws std::runtime_error when the output ends
    // without one.
    std::string nextLine()
    {
        boost::mutex::scoped_lock lock(mutex);
        changed.wait(lock, [&] { return ended || received.find('\n', consumed) != std::string::npos; });
        const std::string::size_type end = received.find('\n', consumed);
        if (end == std::string::npos)
            throw std::runtime_error("process " + std::to_string(processId) + " ended its output without a line");
        const std::string line = received.substr(consumed, end - consumed);
        consumed = end + 1;
        return line;
    }

    // The complete lines written so far, line ends and CRs removed.
    std::vector<std::string> lines() const
    {
        boost::mutex::scoped_lock lock(mutex);
        return linesOf(received);
    }

    // Everything written so far, CRs removed.
    std::string text() const
    {
        boost::mutex::scoped_lock lock(mutex);
        return received;
    }

private:
    // A pipe whose two ends a child inherits; the caller takes the
    // inheritance from the end it keeps.
    static void inheritablePipe(KernelHandle* read, KernelHandle* write)
    {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
            throw std::runtime_error("CreatePipe failed (error " + std::to_string(GetLastError()) + ")");
        *read = KernelHandle(readEnd);
        *write = KernelHandle(writeEnd);
    }

    void joinReader()
    {
        if (reader.joinable())
            reader.join();
    }

    void readOutput()
    {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(output.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
            boost::mutex::scoped_lock lock(mutex);
            for (DWORD i = 0; i < got; ++i)
                if (buffer[i] != '\r')
                    received.push_back(buffer[i]);
            changed.notify_all();
        }
        boost::mutex::scoped_lock lock(mutex);
        ended = true;
        changed.notify_all();
    }

    KernelHandle process;
    DWORD processId = 0;
    KernelHandle input;   // this side of the child's standard input, if piped
    KernelHandle output;  // this side of the child's standard output, if piped
    mutable boost::mutex mutex;
    boost::condition_variable changed;
    std::string received;
    std::string::size_type consumed = 0;  // received up to here went out through nextLine
    bool ended = false;                   // the output reached its end
    boost::thread reader;
};
