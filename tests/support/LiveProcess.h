#pragma once
// A child process whose standard output and error are read while it runs,
// so that a test can wait for a line, look at files meanwhile, and then
// kill, interrupt or let the process end. Destruction ends a process that is
// still running (TerminateProcess) and waits for it, on every path.
// besideThisProgram names a program in the folder of the running one.

#include <windows.h>

#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/chrono.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "support/ProgramFolder.h"

class LiveProcess {
public:
    // Starts the command line with the creation flags; throws
    // std::runtime_error when the process cannot be started.
    explicit LiveProcess(std::wstring commandLine, DWORD creationFlags = 0)
    {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
            throw std::runtime_error("CreatePipe failed");
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        PROCESS_INFORMATION info = {};
        const BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, creationFlags, nullptr,
                                            nullptr, &startup, &info);
        // Only the child may keep a write end, or the output never ends.
        CloseHandle(writeEnd);
        if (!started) {
            const DWORD error = GetLastError();
            CloseHandle(readEnd);
            throw std::runtime_error("CreateProcess failed (error " + std::to_string(error) +
                                     "): " + boost::locale::conv::utf_to_utf<char>(commandLine));
        }
        CloseHandle(info.hThread);
        process = info.hProcess;
        processId = info.dwProcessId;
        output = readEnd;
        reader = boost::thread(&LiveProcess::readOutput, this);
    }

    ~LiveProcess()
    {
        kill();
        CloseHandle(output);
        CloseHandle(process);
    }

    LiveProcess(const LiveProcess&) = delete;
    LiveProcess& operator=(const LiveProcess&) = delete;

    DWORD id() const { return processId; }

    bool running() const { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

    // Ends the process at once, as a crash or the task manager would, and
    // waits until it is gone and all it wrote has been read.
    void kill()
    {
        if (running())
            TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
        joinReader();
    }

    // Waits for the process to end by itself and for the end of its output;
    // returns its exit code, or nothing after the time-out (the process then
    // keeps running).
    bool finish(DWORD timeoutMilliseconds, DWORD* exitCode)
    {
        if (WaitForSingleObject(process, timeoutMilliseconds) != WAIT_OBJECT_0)
            return false;
        joinReader();
        GetExitCodeProcess(process, exitCode);
        return true;
    }

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
    void joinReader()
    {
        if (reader.joinable())
            reader.join();
    }

    void readOutput()
    {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(output, buffer, sizeof buffer, &got, nullptr) && got > 0) {
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

    static std::vector<std::string> linesOf(const std::string& text)
    {
        std::vector<std::string> result;
        std::string::size_type begin = 0;
        for (std::string::size_type end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
            result.push_back(text.substr(begin, end - begin));
        return result;
    }

    HANDLE process = nullptr;
    DWORD processId = 0;
    HANDLE output = nullptr;
    mutable boost::mutex mutex;
    boost::condition_variable changed;
    std::string received;
    bool ended = false;  // the output reached its end
    boost::thread reader;
};

