#pragma once
// The real OstrelService.exe run in the foreground ("/console") as a child
// process, found in the folder of the running program (a target that uses
// it depends on OstrelService). Its output is drained on a thread of its own
// into a buffer, so the engine never blocks on a full pipe and callers can
// wait for a log line. kill() ends it as a crash would: TerminateProcess,
// no revert. Destruction kills it if it still runs.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

class ServiceProcess {
public:
    ServiceProcess()
    {
        SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE childOutput = INVALID_HANDLE_VALUE;
        if (!CreatePipe(&output_, &childOutput, &inheritable, 0))
            throw std::runtime_error("ServiceProcess: CreatePipe failed");
        SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
        HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                     OPEN_EXISTING, 0, nullptr);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nothing;
        startup.hStdOutput = childOutput;
        startup.hStdError = childOutput;
        PROCESS_INFORMATION process = {};
        std::string commandLine = "\"" + programPath() + "\" /console";
        const BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                            &startup, &process);
        CloseHandle(childOutput);
        CloseHandle(nothing);
        if (!started) {
            CloseHandle(output_);
            throw std::runtime_error("ServiceProcess: cannot start " + programPath());
        }
        CloseHandle(process.hThread);
        process_ = process.hProcess;
        reader_ = std::thread([this] { drain(); });
    }

    ~ServiceProcess()
    {
        kill();
        CloseHandle(process_);
        CloseHandle(output_);
    }

    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // Ends the process at once and waits until it is gone and its output read.
    void kill()
    {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
            TerminateProcess(process_, 9);
        WaitForSingleObject(process_, exitWaitMs);
        if (reader_.joinable())
            reader_.join();
    }

    bool running() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

    HANDLE handle() const { return process_; }

    // Everything the program has written so far, CR removed.
    std::string output() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

    // Waits until the output holds `text` at or after offset `from`; false
    // when the time ran out or the program ended without writing it.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout, std::size_t from = 0)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return text_.find(text, std::min(from, text_.size())) != std::string::npos || ended_;
        }) && text_.find(text, std::min(from, text_.size())) != std::string::npos;
    }

    // How often `text` occurs in the output.
    std::size_t count(const std::string& text) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t n = 0;
        for (std::size_t at = text_.find(text); at != std::string::npos; at = text_.find(text, at + text.size()))
            ++n;
        return n;
    }

private:
    static constexpr DWORD exitWaitMs = 30000;

    static std::string programPath()
    {
        char self[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string folder(self, length);
        return folder.substr(0, folder.find_last_of("\\/") + 1) + "OstrelService.exe";
    }

    void drain()
    {
        char block[4096];
        DWORD got = 0;
        while (ReadFile(output_, block, sizeof block, &got, nullptr) && got > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (DWORD i = 0; i < got; ++i)
                if (block[i] != '\r')
                    text_ += block[i];
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    HANDLE process_ = INVALID_HANDLE_VALUE;
    HANDLE output_ = INVALID_HANDLE_VALUE;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
    bool ended_ = false;
};
